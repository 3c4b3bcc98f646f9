#include "unless_closed.hpp"

#include <new>

namespace fenwix::py {

namespace {

struct UnlessClosedObject {
  PyObject_HEAD
  PyObject* awaitable;
  ClosedFlag closed;
};

std::atomic<PyTypeObject*> g_type{nullptr};

UnlessClosedObject* as_wrapper(PyObject* self) { return reinterpret_cast<UnlessClosedObject*>(self); }

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_wrapper(self)->awaitable);
  return 0;
}

int wrapper_clear(PyObject* self) {
  Py_CLEAR(as_wrapper(self)->awaitable);
  return 0;
}

void wrapper_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  wrapper_clear(self);
  as_wrapper(self)->closed.~ClosedFlag();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* wrapper_await(PyObject* self) {
  UnlessClosedObject* wrapper = as_wrapper(self);
  if (wrapper->awaitable == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "UnlessClosed has no awaitable");
    return nullptr;
  }
  // Read once: a coroutine that has started runs to its end even if its
  // object is closed meanwhile.
  if (!wrapper->closed || !wrapper->closed->load(std::memory_order_seq_cst)) {
    return PyObject_CallMethodNoArgs(wrapper->awaitable, names().dunder_await);
  }
  PyObject* close = nullptr;
  if (PyObject_GetOptionalAttr(wrapper->awaitable, names().close, &close) < 0) return nullptr;
  if (close != nullptr) {
    Ref close_ref = Ref::steal(close);
    Ref ignored = Ref::steal(PyObject_CallNoArgs(close_ref.get()));
    if (!ignored) return nullptr;
  }
  Ref empty = Ref::steal(PyTuple_New(0));
  if (!empty) return nullptr;
  return PyObject_GetIter(empty.get());
}

PyType_Slot wrapper_slots[] = {
    {Py_tp_doc, const_cast<char*>("Runs a handler's awaitable unless its owner was closed first.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(wrapper_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(wrapper_clear)},
    {Py_am_await, reinterpret_cast<void*>(wrapper_await)},
    {0, nullptr},
};

PyType_Spec wrapper_spec = {
    "fenwix_control.UnlessClosed",
    sizeof(UnlessClosedObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    wrapper_slots,
};

}  // namespace

bool init_unless_closed_type() {
  if (g_type.load(std::memory_order_acquire) != nullptr) return true;
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&wrapper_spec));
  if (type == nullptr) return false;
  PyTypeObject* expected = nullptr;
  // Kept for the rest of the process: wrappers may outlive any module object.
  if (!g_type.compare_exchange_strong(expected, type, std::memory_order_acq_rel)) {
    Ref duplicate = Ref::steal(reinterpret_cast<PyObject*>(type));
  }
  return true;
}

Ref make_unless_closed(Ref awaitable, ClosedFlag closed) {
  PyTypeObject* type = g_type.load(std::memory_order_acquire);
  if (type == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "fenwix_control is not initialised");
    return {};
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return {};
  UnlessClosedObject* wrapper = as_wrapper(self);
  new (&wrapper->closed) ClosedFlag(std::move(closed));
  wrapper->awaitable = awaitable.release();
  return Ref::steal(self);
}

}  // namespace fenwix::py
