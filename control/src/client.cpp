// ControlClient: the connection shape in which the application dials the
// switch.
#include "classes.hpp"

namespace fenwix::py {

namespace {

struct ClientObject {
  PyObject_HEAD
};

void client_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

constexpr const char* kClientDoc =
    "ControlClient(app, token, url=None, protocol=1, reply_timeout_ms=10000, "
    "reconnect_backoff_ms=1000)\n"
    "--\n"
    "\n"
    "A control connection that the application opens to the switch, supervised:\n"
    "a lost connection is re-established and the calls that survived it are\n"
    "handed to the handler again.\n"
    "\n"
    "Construct it, register a handler by decorating a coroutine function with the\n"
    "client's ``on_call``, then ``await client.run()``::\n"
    "\n"
    "    client = ControlClient(\"demo\", token)\n"
    "\n"
    "    @client.on_call\n"
    "    async def handle(call):\n"
    "        await call.answer()\n"
    "\n"
    "    await client.run()\n";

PyType_Slot client_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClientDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
    {0, nullptr},
};

PyType_Spec client_spec = {
    "fenwix_control.ControlClient",
    sizeof(ClientObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    client_slots,
};

}  // namespace

bool add_client_class(PyObject* module) {
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &client_spec, nullptr));
  if (!type) return false;
  return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) == 0;
}

}  // namespace fenwix::py
