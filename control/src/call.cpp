// Call: the Python face of one handed-over call. Only the handler bridge
// creates instances; Python code cannot.
#include "classes.hpp"

namespace fenwix::py {

namespace {

struct CallObject {
  PyObject_HEAD
};

void call_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot call_slots[] = {
    {Py_tp_doc, const_cast<char*>("A handed-over SIP call. Async methods return awaitables.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(call_dealloc)},
    {0, nullptr},
};

PyType_Spec call_spec = {
    "fenwix_control.Call",
    sizeof(CallObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    call_slots,
};

}  // namespace

bool add_call_class(PyObject* module) {
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &call_spec, nullptr));
  if (!type) return false;
  return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) == 0;
}

}  // namespace fenwix::py
