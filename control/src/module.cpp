// The fenwix_control module: its definition, its execution step and the
// module-level functions.
#include "binding.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "lifecycle.hpp"
#include "unless_closed.hpp"

namespace fenwix::py {

namespace {

// ---------------------------------------------------------------------------
// Transfer helpers

bool is_transfer_verdict(PyObject* kind) {
  return PyUnicode_EqualToUTF8AndSize(kind, "TransferProgress", 16) ||
         PyUnicode_EqualToUTF8AndSize(kind, "TransferCompleted", 17) ||
         PyUnicode_EqualToUTF8AndSize(kind, "TransferFailed", 14);
}

// event[key], with every failure swallowed: the event may be anything.
Ref lookup_item(PyObject* event, PyObject* key) {
  PyObject* value = nullptr;
  if (PyDict_CheckExact(event)) {
    if (PyDict_GetItemRef(event, key, &value) < 0) PyErr_Clear();
  } else {
    value = PyObject_GetItem(event, key);
    if (value == nullptr) PyErr_Clear();
  }
  return Ref::steal(value);
}

PyObject* transfer_outcome(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<1> kSignature{"transfer_outcome", {required("event")}};
  PyObject* event = nullptr;
  if (!parse_args(kSignature, args, nargs, kwnames, event)) return nullptr;
  Ref kind = lookup_item(event, names().kind);
  if (!kind || !PyUnicode_Check(kind.get()) || !is_transfer_verdict(kind.get())) Py_RETURN_NONE;
  Ref payload = lookup_item(event, names().payload);
  if (!payload) Py_RETURN_NONE;
  return payload.release();
}

PyObject* is_transfer_final(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<1> kSignature{"is_transfer_final", {required("kind")}};
  StrObject kind;
  if (!parse_args(kSignature, args, nargs, kwnames, kind)) return nullptr;
  const bool final = PyUnicode_EqualToUTF8AndSize(kind.object, "TransferCompleted", 17) ||
                     PyUnicode_EqualToUTF8AndSize(kind.object, "TransferFailed", 14);
  return Py_NewRef(final ? Py_True : Py_False);
}

PyObject* mark_going_away(PyObject*, PyObject*) {
  mark_interpreter_going_away();
  Py_RETURN_NONE;
}

PyMethodDef g_is_transfer_final_def = {
    "is_transfer_final",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(is_transfer_final)),
    METH_FASTCALL | METH_KEYWORDS,
    "is_transfer_final(kind)\n"
    "--\n"
    "\n"
    "True if ``kind`` is \"TransferCompleted\" or \"TransferFailed\" (exactly, case\n"
    "included), False for every other string.\n"
    "\n"
    "This is the signal to stop waiting after ``refer()`` / ``transfer()``: the\n"
    "verb's own reply only says that the REFER went on the wire, and exactly one\n"
    "final event arrives per transfer (RFC 3515 section 2.4.4: zero or more\n"
    "\"TransferProgress\", then one \"TransferCompleted\" or \"TransferFailed\")::\n"
    "\n"
    "    await call.transfer(\"sip:desk@example.com\")\n"
    "    while (event := await call.next_event()) is not None:\n"
    "        if is_transfer_final(event[\"kind\"]):\n"
    "            break\n"};

PyMethodDef g_transfer_outcome_def = {
    "transfer_outcome",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(transfer_outcome)),
    METH_FASTCALL | METH_KEYWORDS,
    "transfer_outcome(event)\n"
    "--\n"
    "\n"
    "The verdict on one of our own transfers carried by ``event``, else None.\n"
    "\n"
    "For an event whose \"kind\" is \"TransferProgress\", \"TransferCompleted\" or\n"
    "\"TransferFailed\" this is its \"payload\" (with \"stage\", \"refer_to\", \"status\",\n"
    "\"reason\" and \"attempt\"), the very object, not a copy. Anything else gives\n"
    "None, \"TransferRequested\" included: that is an inbound REFER somebody else\n"
    "asked for, not a verdict on one of ours. A malformed event gives None too;\n"
    "this function never raises for its argument::\n"
    "\n"
    "    outcome = transfer_outcome(await call.next_event())\n"
    "    if outcome is not None:\n"
    "        print(outcome[\"status\"], outcome[\"reason\"])\n"};

PyMethodDef g_mark_going_away_def = {
    "_mark_interpreter_going_away", mark_going_away, METH_NOARGS,
    "_mark_interpreter_going_away()\n"
    "--\n"
    "\n"
    "The atexit hook that stops background tasks from re-entering Python.\n"
    "\n"
    "It is registered when the module is imported, so that it runs before the\n"
    "interpreter tears anything down. From then on no handler is called and no\n"
    "event is delivered, and an awaitable that still has to convert a reply\n"
    "fails with ControlError instead. Calling it again changes nothing.\n"};

// ---------------------------------------------------------------------------
// Module execution

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  Ref function = Ref::steal(PyCFunction_NewEx(def, module, module_name));
  if (!function) return false;
  return PyModule_AddObjectRef(module, def->ml_name, function.get()) == 0;
}

bool register_going_away_hook(PyObject* module, PyObject* module_name) {
  Ref hook = Ref::steal(PyCFunction_NewEx(&g_mark_going_away_def, module, module_name));
  if (!hook) return false;
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  Ref registered = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  if (!registered) return false;
  return PyModule_AddObjectRef(module, g_mark_going_away_def.ml_name, hook.get()) == 0;
}

int exec_module(PyObject* module) {
  if (!init_names() || !init_unless_closed_type()) return -1;
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;

  if (!add_client_class(module)) return -1;
  if (!add_server_class(module)) return -1;
  if (!add_call_class(module)) return -1;
  PyObject* control_error = control_error_type();
  if (control_error == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "ControlError", control_error) < 0) return -1;
  if (!add_function(module, module_name.get(), &g_is_transfer_final_def)) return -1;
  if (!add_function(module, module_name.get(), &g_transfer_outcome_def)) return -1;
  if (!register_going_away_hook(module, module_name.get())) return -1;

  PyObject* all = Py_BuildValue("[ssssss]", "ControlClient", "ControlServer", "Call",
                                "ControlError", "is_transfer_final", "transfer_outcome");
  if (all == nullptr) return -1;
  return PyModule_Add(module, "__all__", all);
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // Process-wide state (the exception type, the going-away flag, the
    // per-loop channels) is shared by every module object, which a second
    // interpreter must not see.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "fenwix_control",
    "",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace fenwix::py

PyMODINIT_FUNC PyInit_fenwix_control() { return PyModuleDef_Init(&fenwix::py::g_module); }
