// ControlServer: the connection shape in which the switch dials the
// application, one connection per call.
#include "classes.hpp"

namespace fenwix::py {

namespace {

struct ServerObject {
  PyObject_HEAD
};

void server_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

constexpr const char* kServerDoc =
    "ControlServer(app, token, bind=None, reply_timeout_ms=10000)\n"
    "--\n"
    "\n"
    "The per-call-connect control server: the switch dials the application, so\n"
    "this is a WebSocket server.\n"
    "\n"
    "Construct it, register a handler by decorating a coroutine function with the\n"
    "server's ``on_call``, then ``await server.serve()``. Each accepted connection\n"
    "owns exactly one call, and its first frame is a pushed ``StasisStart``::\n"
    "\n"
    "    server = ControlServer(\"demo\", token, bind=\"127.0.0.1:8790\")\n"
    "\n"
    "    @server.on_call\n"
    "    async def handle(call):\n"
    "        await call.answer()\n"
    "\n"
    "    await server.serve()\n";

PyType_Slot server_slots[] = {
    {Py_tp_doc, const_cast<char*>(kServerDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(server_dealloc)},
    {0, nullptr},
};

PyType_Spec server_spec = {
    "fenwix_control.ControlServer",
    sizeof(ServerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    server_slots,
};

}  // namespace

bool add_server_class(PyObject* module) {
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &server_spec, nullptr));
  if (!type) return false;
  return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) == 0;
}

}  // namespace fenwix::py
