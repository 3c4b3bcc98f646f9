// ControlServer: the connection shape in which the switch dials the
// application, one connection per call.
//
// The Python object holds one shared ServerInner; every task it starts
// holds another. The listener is bound on demand, by bind() or serve(),
// under a lock so that concurrent callers share one listener; once bound it
// stays for as long as the state lives.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include <boost/asio/post.hpp>

#include "bridge.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "handlers.hpp"
#include "lifecycle.hpp"
#include "owner.hpp"
#include "unless_closed.hpp"

#include "fenwix/client/quote.hpp"
#include "fenwix/client/runtime.hpp"

namespace fenwix::py {

namespace {

namespace asio = boost::asio;
using fenwix::Result;
using fenwix::SipServer;

#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

struct ServerInner {
  explicit ServerInner(fenwix::ServerConfig c) : config(std::move(c)) {}

  const fenwix::ServerConfig config;
  const ClosedFlag closed = make_closed_flag();
  // The library server: filled by the first successful bind, under
  // `slot_mutex`, and never changed afterwards. Binding is a few system
  // calls, so a plain mutex held across it is enough to make concurrent
  // callers share one listener.
  std::mutex slot_mutex;
  std::optional<SipServer> server;
  std::atomic<const SipServer*> bound{nullptr};  // `&*server` once filled
  HandlerSlot handler;
  mutable std::mutex addr_mutex;
  std::optional<std::string> local_addr;
};
using InnerPtr = std::shared_ptr<ServerInner>;

struct ServerObject {
  PyObject_HEAD
  InnerPtr inner;
};

const InnerPtr& inner_of(PyObject* self) { return reinterpret_cast<ServerObject*>(self)->inner; }

// ---------------------------------------------------------------------------
// Bind on demand

// The library server, binding the listener if there is none yet. A failure
// stores nothing, so the next caller tries again. Runs on a runtime thread.
Result<SipServer> ensure_server(ServerInner& inner) {
  if (const SipServer* server = inner.bound.load(std::memory_order_acquire)) return *server;
  std::lock_guard lock(inner.slot_mutex);
  if (inner.server) return *inner.server;
  Result<SipServer> server = SipServer::bind(inner.config);
  if (!server) return server;
  Result<fenwix::SocketAddress> address = server->local_addr();
  // A server whose address cannot be read is dropped, closing its listener.
  if (!address) return fenwix::fail(std::move(address.error()));
  {
    std::lock_guard addr_lock(inner.addr_mutex);
    inner.local_addr = address->to_string();
  }
  inner.server.emplace(*server);
  inner.bound.store(&*inner.server, std::memory_order_release);
  return server;
}

std::optional<std::string> read_local_addr(const ServerInner& inner) {
  std::lock_guard lock(inner.addr_mutex);
  return inner.local_addr;
}

// The body of serve(): bind if need be, install the bridge, accept.
asio::awaitable<Result<void>> serve_body(InnerPtr inner, HandlerBridges bridges) {
  Result<SipServer> server = ensure_server(*inner);
  if (!server) co_return fenwix::fail(std::move(server.error()));
  bridges.install_on(server->facade());
  co_return co_await server->run();
}

// ---------------------------------------------------------------------------
// The type

PyObject* server_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Signature<4> kSignature{
      "ControlServer",
      {required("app"), required("token"), optional("bind"), optional("reply_timeout_ms")}};
  std::string app;
  std::string token;
  std::optional<std::string> bind;
  std::uint64_t reply_timeout_ms = 10000;
  if (!parse_new_args(kSignature, args, kwargs, app, token, bind, reply_timeout_ms)) {
    return nullptr;
  }
  fenwix::ServerConfig config;
  config.app = std::move(app);
  config.token = std::move(token);
  config.reply_timeout = fenwix::duration_from_ms(reply_timeout_ms);
  if (bind) {
    auto address = fenwix::SocketAddress::parse(*bind);
    if (!address) {
      const std::string message =
          "invalid bind address " + fenwix::quote(*bind) + ": " + address.error();
      Ref text = str_from_utf8(message);
      if (text) PyErr_SetObject(PyExc_ValueError, text.get());
      return nullptr;
    }
    config.bind = std::move(*address);
  }

  InnerPtr inner;
  try {
    inner = std::make_shared<ServerInner>(std::move(config));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<ServerObject*>(self)->inner) InnerPtr(std::move(inner));
  return self;
}

int server_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (const InnerPtr& inner = inner_of(self)) return inner->handler.traverse(visit, arg);
  return 0;
}

int server_clear(PyObject* self) {
  if (const InnerPtr& inner = inner_of(self)) inner->handler.clear();
  return 0;
}

void server_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  reinterpret_cast<ServerObject*>(self)->inner.~InnerPtr();
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Methods

PyObject* server_on_call(PyObject* self, PyObject* handler) {
  inner_of(self)->handler.set(handler);
  return Py_NewRef(handler);
}

PyObject* server_bind(PyObject* self, PyObject*) {
  std::optional<Pending> pending = Pending::create();
  if (!pending) return nullptr;
  asio::post(fenwix::runtime(), [inner = inner_of(self),
                                 done = std::move(pending->completion)]() mutable {
    Result<SipServer> server = ensure_server(*inner);
    if (!server) return std::move(done).resolve(error_outcome(std::move(server.error())));
    std::move(done).resolve([address = read_local_addr(*inner)]() -> PyObject* {
      return address ? str_from_utf8(*address).release() : Py_NewRef(Py_None);
    });
  });
  return pending->future.release();
}

PyObject* server_local_addr(PyObject* self, void*) {
  std::optional<std::string> address = read_local_addr(*inner_of(self));
  if (!address) Py_RETURN_NONE;
  return str_from_utf8(*address).release();
}

PyObject* server_serve(PyObject* self, PyObject*) {
  const InnerPtr& inner = inner_of(self);
  LoopContextPtr loop = capture_loop_context();
  if (!loop) return nullptr;
  Ref handler = inner->handler.clone();
  std::optional<HandlerBridges> bridges =
      make_handler_bridges(handler.get(), nullptr, loop, inner->closed);
  if (!bridges) return nullptr;
  inner->closed->store(false, std::memory_order_seq_cst);
  return start_cancellable(loop->handle(), serve_body(inner, std::move(*bridges)));
}

void close_server(ServerInner& inner) {
  inner.closed->store(true, std::memory_order_seq_cst);
  inner.handler.clear();
}

PyObject* server_close(PyObject* self, PyObject*) {
  close_server(*inner_of(self));
  Py_RETURN_NONE;
}

PyObject* server_aenter(PyObject* self, PyObject*) {
  return resolved_future([object = AnyThreadRef(Ref::borrow(self))]() mutable -> PyObject* {
    return object.take().release();
  });
}

PyObject* server_aexit(PyObject* self, PyObject* const*, Py_ssize_t, PyObject* kwnames) {
  if (!accept_any_positional("__aexit__", kwnames)) return nullptr;
  close_server(*inner_of(self));
  return resolved_future([]() -> PyObject* { return Py_NewRef(Py_False); });
}

#define FENWIX_SERVE_BODY                                                          \
  "Bind if needed, register the handler bridge, then run the accept loop\n"      \
  "forever, accepting each per-call dial the switch makes. Runs until the\n"     \
  "awaitable is cancelled or the listener fails (then it raises ControlError);\n" \
  "calls already accepted keep running when it stops."

PyMethodDef g_methods[] = {
    {"on_call", server_on_call, METH_O,
     "on_call($self, handler)\n"
     "--\n"
     "\n"
     "Register the handler for the calls the switch dials in with, and return it,\n"
     "so that this works as a decorator. It reuses the same Call handle and\n"
     "dispatch as ``ControlClient.on_call``: a coroutine function runs as a task on\n"
     "the event loop that was running when ``serve()`` was called, a plain function\n"
     "on a worker thread. A new handler replaces the previous one and takes effect\n"
     "at the next ``serve()``."},
    {"bind", server_bind, METH_NOARGS,
     "bind($self)\n"
     "--\n"
     "\n"
     "Bind the listener (idempotent), resolving to the bound address string such\n"
     "as \"127.0.0.1:54321\". Useful when binding to port 0, to learn the ephemeral\n"
     "port before the switch dials in."},
    {"serve", server_serve, METH_NOARGS,
     "serve($self)\n"
     "--\n"
     "\n" FENWIX_SERVE_BODY},
    {"run", server_serve, METH_NOARGS,
     "run($self)\n"
     "--\n"
     "\n"
     "An alias for ``serve``.\n"
     "\n" FENWIX_SERVE_BODY},
    {"close", server_close, METH_NOARGS,
     "close($self)\n"
     "--\n"
     "\n"
     "Drop the registered handler so that no further accepted call is dispatched\n"
     "into Python, including one accepted while ``serve()`` is still running; a\n"
     "handler coroutine that has not started yet never runs. The listener stays\n"
     "open. Close before the interpreter goes away rather than leaving dispatches\n"
     "for the interpreter's shutdown guard to decline."},
    {"__aenter__", server_aenter, METH_NOARGS,
     "__aenter__($self)\n"
     "--\n"
     "\n"
     "Resolve to the server itself, without binding:\n"
     "``async with ControlServer(...) as server:`` closes the server on the way\n"
     "out, including on an exception or a cancellation."},
    {"__aexit__", FASTCALL(server_aexit), METH_FASTCALL | METH_KEYWORDS,
     "__aexit__($self, *_args)\n"
     "--\n"
     "\n"
     "Close the server and resolve to False, so that an exception raised in the\n"
     "block propagates."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"local_addr", server_local_addr, nullptr,
     "The bound address once ``bind`` (or ``serve``) has run, else None. With a\n"
     "port-0 bind this is where the switch dials.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

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
    "    await server.serve()\n"
    "\n"
    "``bind`` is a literal socket address, an IPv4 address with a port or a\n"
    "bracketed IPv6 address with a port; it defaults to 0.0.0.0:8790.\n";

PyType_Slot g_server_slots[] = {
    {Py_tp_doc, const_cast<char*>(kServerDoc)},
    {Py_tp_new, reinterpret_cast<void*>(server_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(server_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(server_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(server_clear)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

PyType_Spec g_server_spec = {
    "fenwix_control.ControlServer",
    sizeof(ServerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    g_server_slots,
};

}  // namespace

bool add_server_class(PyObject* module) {
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &g_server_spec, nullptr));
  if (!type) return false;
  return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) == 0;
}

}  // namespace fenwix::py
