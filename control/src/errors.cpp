#include "errors.hpp"

#include <atomic>

#include "lifecycle.hpp"

namespace fenwix::py {

namespace {

constexpr const char* kControlErrorDoc =
    "Raised when a control command is rejected (carrying a stable `.code`) or the "
    "connection fails.";

constexpr std::string_view kInterpreterGone =
    "the Python interpreter shut down while this command was in flight";

// One type for the whole process: every module object and every thread sees
// the same class, so `except fenwix_control.ControlError` always matches.
std::atomic<PyObject*> g_control_error{nullptr};

Ref new_control_error(std::string_view message) {
  PyObject* type = control_error_type();
  if (type == nullptr) return {};
  Ref text = str_from_utf8(message);
  if (!text) return {};
  return Ref::steal(PyObject_CallOneArg(type, text.get()));
}

}  // namespace

PyObject* control_error_type() {
  PyObject* type = g_control_error.load(std::memory_order_acquire);
  if (type != nullptr) return type;
  PyObject* created = PyErr_NewExceptionWithDoc("fenwix_control.ControlError", kControlErrorDoc,
                                                PyExc_Exception, nullptr);
  if (created == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!g_control_error.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    // Another thread won the race; its type is the one everybody uses.
    Ref duplicate = Ref::steal(created);
    return expected;
  }
  return created;
}

Ref str_from_utf8(std::string_view text) {
  return Ref::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace"));
}

Ref to_pyerr(const fenwix::ControlError& error) {
  Ref exception = new_control_error(fenwix::to_string(error));
  if (!exception) return {};
  // Python code may already be tearing the interpreter down; an exception
  // without `code` is what callers then get.
  if (!interpreter_usable()) return exception;
  Ref code;
  if (const auto* remote = error.as<fenwix::error::Remote>()) {
    code = str_from_utf8(fenwix::wire_name(remote->code));
  } else {
    code = Ref::borrow(Py_None);
  }
  if (!code || PyObject_SetAttr(exception.get(), names().code, code.get()) < 0) PyErr_Clear();
  return exception;
}

Ref interpreter_gone() { return new_control_error(kInterpreterGone); }

}  // namespace fenwix::py
