// ControlClient: the connection shape in which the application dials the
// switch.
//
// The Python object holds one shared ClientInner; every task it starts
// holds another, so the state outlives the object while work is in flight.
// The library client is made on demand, by whichever awaitable first needs
// the switch, under an asynchronous mutex so that concurrent callers share
// one attempt; once made it is never replaced. Commands issued after that
// skip the mutex and go straight to the library client from the calling
// thread: sending never blocks, and the reply comes back through the
// asyncio bridge.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>

#include "bridge.hpp"
#include "classes.hpp"
#include "client_hooks.hpp"
#include "errors.hpp"
#include "handlers.hpp"
#include "json_convert.hpp"
#include "lifecycle.hpp"
#include "owner.hpp"
#include "unless_closed.hpp"

#include "fenwix/client/async.hpp"
#include "fenwix/client/runtime.hpp"

namespace fenwix::py {

namespace {

namespace asio = boost::asio;
using fenwix::Json;
using fenwix::Result;
using fenwix::SipClient;

#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

struct ClientInner {
  explicit ClientInner(fenwix::ClientConfig c) : config(std::move(c)) {}

  const fenwix::ClientConfig config;
  const ClosedFlag closed = make_closed_flag();
  // The library client: filled by the first successful connection, under
  // `slot_mutex`, and never changed afterwards.
  fenwix::AsyncMutex slot_mutex;
  std::optional<SipClient> client;
  // `&*client` once it is filled, for the callers that need no mutex.
  std::atomic<const SipClient*> connected{nullptr};
  // Held by the run() that drives supervision: one loop at a time.
  fenwix::AsyncMutex supervision;
  HandlerSlot handler;
  HandlerSlot app_event_handler;
};
using InnerPtr = std::shared_ptr<ClientInner>;

struct ClientObject {
  PyObject_HEAD
  InnerPtr inner;
};

const InnerPtr& inner_of(PyObject* self) { return reinterpret_cast<ClientObject*>(self)->inner; }

// ---------------------------------------------------------------------------
// Connection on demand

// SipClient::connect, with the handler bridges installed on the new facade
// before the hello goes out where the library offers that, so that a call
// the switch hands over right after the hello is not dropped for want of a
// handler. Without that hook they are installed as soon as the attempt
// succeeds.
template <class Client = SipClient>
asio::awaitable<Result<Client>> connect_client(fenwix::ClientConfig config,
                                               const HandlerBridges* bridges) {
  if constexpr (requires(fenwix::ClientConfig c, std::function<void(const fenwix::FacadePtr&)> p) {
                  Client::connect(std::move(c), std::move(p));
                }) {
    if (bridges != nullptr && !bridges->empty()) {
      // Named, not a temporary inside the co_await expression: g++ 12
      // destroys such temporaries twice across the suspension.
      std::function<void(const fenwix::FacadePtr&)> prepare =
          [bridges = *bridges](const fenwix::FacadePtr& facade) { bridges.install_on(facade); };
      Result<Client> client = co_await Client::connect(std::move(config), std::move(prepare));
      co_return client;
    }
  }
  Result<Client> client = co_await Client::connect(std::move(config));
  if (client && bridges != nullptr) bridges->install_on(client->facade());
  co_return client;
}

// The library client, connecting if there is none yet. `bridges` (if any)
// are installed on the facade of a client this call connects, and
// `*installed` then says so.
asio::awaitable<Result<SipClient>> ensure_client(InnerPtr inner,
                                                 const HandlerBridges* bridges = nullptr,
                                                 bool* installed = nullptr) {
  if (const SipClient* client = inner->connected.load(std::memory_order_acquire)) {
    co_return *client;
  }
  fenwix::AsyncMutex::Guard guard = co_await inner->slot_mutex.lock();
  if (inner->client) co_return *inner->client;
  Result<SipClient> client = co_await connect_client(inner->config, bridges);
  if (!client) co_return client;  // nothing stored: the next caller tries afresh
  if (installed != nullptr) *installed = bridges != nullptr;
  inner->client.emplace(*client);
  inner->connected.store(&*inner->client, std::memory_order_release);
  co_return client;
}

asio::awaitable<void> connect_then(InnerPtr inner, ClientReady then) {
  then(co_await ensure_client(std::move(inner)));
}

void with_client(const InnerPtr& inner, ClientReady then) {
  if (const SipClient* client = inner->connected.load(std::memory_order_acquire)) {
    asio::post(fenwix::runtime(),
               [client = *client, then = std::move(then)]() mutable { then(std::move(client)); });
    return;
  }
  asio::co_spawn(fenwix::runtime(), connect_then(inner, std::move(then)), asio::detached);
}

// Sends one command through the library client, connecting first if need
// be; the reply's result resolves `done` (whose future is `future`) through
// `json_outcome`. A command whose future is cancelled while the connection
// is still being made is never sent.
bool send_on_client(const InnerPtr& inner, PyObject* future, std::optional<std::string> module,
                    std::string_view verb, Json target, Json args, Completion done) {
  fenwix::ReplyHandler reply = [done = std::move(done)](Result<Json> result) mutable {
    std::move(done).resolve(json_outcome(std::move(result)));
  };
  if (const SipClient* client = inner->connected.load(std::memory_order_acquire)) {
    client->command(std::move(module), verb, std::move(target), std::move(args), std::move(reply));
    return true;
  }
  std::shared_ptr<std::atomic<bool>> cancelled;
  try {
    cancelled = std::make_shared<std::atomic<bool>>(false);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  if (!add_cancel_hook(future, [cancelled] { cancelled->store(true); })) return false;
  with_client(inner, [cancelled, module = std::move(module), verb = std::string(verb),
                      target = std::move(target), args = std::move(args),
                      reply = std::move(reply)](Result<SipClient> client) mutable {
    if (cancelled->load()) return;
    if (!client) return reply(fenwix::fail(std::move(client.error())));
    client->command(std::move(module), verb, std::move(target), std::move(args), std::move(reply));
  });
  return true;
}

void shutdown_client(const ClientInner& inner) {
  // A filled slot never changes, so a shut-down request needs no lock; an
  // attempt still in progress is left alone, and its connection stays up.
  if (const SipClient* client = inner.connected.load(std::memory_order_acquire)) {
    client->shutdown();
  }
}

Converter none_value() {
  return []() -> PyObject* { return Py_NewRef(Py_None); };
}

// ---------------------------------------------------------------------------
// The type

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Signature<6> kSignature{
      "ControlClient",
      {required("app"), required("token"), optional("url"), optional("protocol"),
       optional("reply_timeout_ms"), optional("reconnect_backoff_ms")}};
  std::string app;
  std::string token;
  std::optional<std::string> url;
  std::uint32_t protocol = 1;
  std::uint64_t reply_timeout_ms = 10000;
  std::uint64_t reconnect_backoff_ms = 1000;
  if (!parse_new_args(kSignature, args, kwargs, app, token, url, protocol, reply_timeout_ms,
                      reconnect_backoff_ms)) {
    return nullptr;
  }
  fenwix::ClientConfig config;
  if (url) config.url = std::move(*url);
  config.app = std::move(app);
  config.token = std::move(token);
  config.protocol = protocol;
  config.reply_timeout = fenwix::duration_from_ms(reply_timeout_ms);
  config.reconnect_backoff = fenwix::duration_from_ms(reconnect_backoff_ms);

  InnerPtr inner;
  try {
    inner = std::make_shared<ClientInner>(std::move(config));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<ClientObject*>(self)->inner) InnerPtr(std::move(inner));
  return self;
}

int client_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (const InnerPtr& inner = inner_of(self)) {
    if (int err = inner->handler.traverse(visit, arg)) return err;
    if (int err = inner->app_event_handler.traverse(visit, arg)) return err;
  }
  return 0;
}

int client_clear(PyObject* self) {
  if (const InnerPtr& inner = inner_of(self)) {
    inner->handler.clear();
    inner->app_event_handler.clear();
  }
  return 0;
}

void client_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  reinterpret_cast<ClientObject*>(self)->inner.~InnerPtr();
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Methods

PyObject* client_on_call(PyObject* self, PyObject* handler) {
  inner_of(self)->handler.set(handler);
  return Py_NewRef(handler);
}

PyObject* client_on_app_event(PyObject* self, PyObject* handler) {
  inner_of(self)->app_event_handler.set(handler);
  return Py_NewRef(handler);
}

PyObject* client_connect(PyObject* self, PyObject*) {
  std::optional<Pending> pending = Pending::create();
  if (!pending) return nullptr;
  with_client(inner_of(self),
              [done = std::move(pending->completion)](Result<SipClient> client) mutable {
                std::move(done).resolve(client ? none_value()
                                               : error_outcome(std::move(client.error())));
              });
  return pending->future.release();
}

PyObject* client_describe(PyObject* self, PyObject*) {
  std::optional<Pending> pending = Pending::create();
  if (!pending) return nullptr;
  if (!send_on_client(inner_of(self), pending->future.get(), std::nullopt, "describe", nullptr,
                      nullptr, std::move(pending->completion))) {
    return nullptr;
  }
  return pending->future.release();
}

PyObject* client_command(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static constexpr Signature<4> kSignature{
      "command", {required("verb"), optional("module"), optional("target"), optional("args")}};
  StrObject verb;
  std::optional<std::string> module;
  PyObject* target = nullptr;
  PyObject* command_args = nullptr;
  if (!parse_args(kSignature, args, nargs, kwnames, verb, module, target, command_args)) {
    return nullptr;
  }
  Py_ssize_t verb_size = 0;
  const char* verb_data = PyUnicode_AsUTF8AndSize(verb.object, &verb_size);
  if (verb_data == nullptr) return nullptr;
  std::optional<Json> json_target = optional_json(target);
  if (!json_target) return nullptr;
  std::optional<Json> json_args = optional_json(command_args);
  if (!json_args) return nullptr;
  std::optional<Pending> pending = Pending::create();
  if (!pending) return nullptr;
  if (!send_on_client(inner_of(self), pending->future.get(), std::move(module),
                      std::string_view(verb_data, static_cast<std::size_t>(verb_size)),
                      std::move(*json_target), std::move(*json_args),
                      std::move(pending->completion))) {
    return nullptr;
  }
  return pending->future.release();
}

// The body of run(): connect if need be, install the bridges, supervise.
asio::awaitable<Result<void>> supervise(InnerPtr inner, HandlerBridges bridges) {
  bool installed = false;
  Result<SipClient> client = co_await ensure_client(inner, &bridges, &installed);
  if (!client) co_return fenwix::fail(std::move(client.error()));
  if (!installed) bridges.install_on(client->facade());
  // Two supervision loops on one client would fight over its connection; a
  // second run() waits its turn here, and takes over if the first one is
  // cancelled.
  fenwix::AsyncMutex::Guard turn = co_await inner->supervision.lock();
  co_return co_await client->run();
}

PyObject* client_run(PyObject* self, PyObject*) {
  const InnerPtr& inner = inner_of(self);
  LoopContextPtr loop = capture_loop_context();
  if (!loop) return nullptr;
  Ref handler = inner->handler.clone();
  Ref app_event_handler = inner->app_event_handler.clone();
  std::optional<HandlerBridges> bridges =
      make_handler_bridges(handler.get(), app_event_handler.get(), loop, inner->closed);
  if (!bridges) return nullptr;
  inner->closed->store(false, std::memory_order_seq_cst);
  return start_cancellable(loop->handle(), supervise(inner, std::move(*bridges)));
}

PyObject* client_shutdown(PyObject* self, PyObject*) {
  shutdown_client(*inner_of(self));
  Py_RETURN_NONE;
}

void close_client(ClientInner& inner) {
  inner.closed->store(true, std::memory_order_seq_cst);
  shutdown_client(inner);
  inner.handler.clear();
  inner.app_event_handler.clear();
}

PyObject* client_close(PyObject* self, PyObject*) {
  close_client(*inner_of(self));
  Py_RETURN_NONE;
}

PyObject* client_aenter(PyObject* self, PyObject*) {
  return resolved_future([object = AnyThreadRef(Ref::borrow(self))]() mutable -> PyObject* {
    return object.take().release();
  });
}

PyObject* client_aexit(PyObject* self, PyObject* const*, Py_ssize_t, PyObject* kwnames) {
  if (!accept_any_positional("__aexit__", kwnames)) return nullptr;
  close_client(*inner_of(self));
  return resolved_future([]() -> PyObject* { return Py_NewRef(Py_False); });
}

// Filled in by add_client_class: originate, defined elsewhere, comes right
// after command.
PyMethodDef g_methods[14] = {
    {"on_call", client_on_call, METH_O,
     "on_call($self, handler)\n"
     "--\n"
     "\n"
     "Register the handler for handed-over calls and return it, so that this works\n"
     "as a decorator.\n"
     "\n"
     "The handler is called with one Call for every call the switch hands over,\n"
     "including a call handed over again after the connection was re-established\n"
     "(then ``call.is_reattached`` is True). It may be a coroutine function, run as\n"
     "a task on the event loop that was running when ``run()`` was called, or a\n"
     "plain function, run on a worker thread. A new handler replaces the previous\n"
     "one and takes effect at the next ``run()``."},
    {"on_app_event", client_on_app_event, METH_O,
     "on_app_event($self, handler)\n"
     "--\n"
     "\n"
     "Register the handler for application events and return it, so that this\n"
     "works as a decorator.\n"
     "\n"
     "These are the events an application opts into with ``control.apps[].events``\n"
     "on the switch (``RegistrationChanged``, ``DialogStateChanged``): they concern\n"
     "no channel, so they never reach an ``on_call`` handler. The handler is\n"
     "called as ``handler(event, payload)`` with the event name and its payload\n"
     "dict, and may be a coroutine function. A new handler replaces the previous\n"
     "one and takes effect at the next ``run()``."},
    {"connect", client_connect, METH_NOARGS,
     "connect($self)\n"
     "--\n"
     "\n"
     "Connect to the switch now (upgrade and hello), resolving to None. Once\n"
     "connected, further calls resolve at once. Everything that needs the\n"
     "switch connects on demand, so calling this is optional."},
    {"describe", client_describe, METH_NOARGS,
     "describe($self)\n"
     "--\n"
     "\n"
     "Ask the switch for the schema of its registered adapters: their verbs,\n"
     "targets, arguments and the events they can cause."},
    {"command", FASTCALL(client_command), METH_FASTCALL | METH_KEYWORDS,
     "command($self, verb, module=None, target=None, args=None)\n"
     "--\n"
     "\n"
     "The generic `{module, verb, target, args}` primitive: send one command\n"
     "exactly as written and resolve to the reply's `result`. A module of None\n"
     "leaves the frame's \"module\" out; target and args of None are sent as null."},
    {nullptr, nullptr, 0, nullptr},  // originate
    {"run", client_run, METH_NOARGS,
     "run($self)\n"
     "--\n"
     "\n"
     "Connect if need be, hand calls and application events to the registered\n"
     "handlers, and supervise the connection: a lost connection is re-established\n"
     "at once, a failed attempt is retried after the back-off, and the calls that\n"
     "survived are handed to the handler again. Resolves to None once the client\n"
     "is shut down; raises ControlError if the first connection fails or the\n"
     "switch refuses the token. Cancelling it stops supervision only."},
    {"shutdown", client_shutdown, METH_NOARGS,
     "shutdown($self)\n"
     "--\n"
     "\n"
     "Stop the client and unblock ``run``: supervision ends and the connection is\n"
     "closed, failing the commands still waiting for a reply. A shut-down client\n"
     "does not connect again."},
    {"close", client_close, METH_NOARGS,
     "close($self)\n"
     "--\n"
     "\n"
     "Shut the client down and stop dispatching into Python: no handler is called\n"
     "any more, a handler coroutine that has not started yet never runs, and the\n"
     "registered handlers are dropped.\n"
     "\n"
     "``run()`` is backed by a background task that nothing joins, and both it and\n"
     "any handler still dispatching re-enter Python to deliver results. Closing\n"
     "before the interpreter exits leaves nothing in flight for the interpreter's\n"
     "shutdown guard to decline, so prefer ``close()`` or ``async with`` to letting\n"
     "the process exit with ``run()`` in flight."},
    {"__aenter__", client_aenter, METH_NOARGS,
     "__aenter__($self)\n"
     "--\n"
     "\n"
     "Resolve to the client itself, without connecting:\n"
     "``async with ControlClient(...) as client:`` closes the client on the way out,\n"
     "including on an exception or a cancellation."},
    {"__aexit__", FASTCALL(client_aexit), METH_FASTCALL | METH_KEYWORDS,
     "__aexit__($self, *_args)\n"
     "--\n"
     "\n"
     "Close the client and resolve to False, so that an exception raised in the\n"
     "block propagates."},
    {nullptr, nullptr, 0, nullptr},
};

// After the "command" entry; the table keeps one spare slot for it.
void insert_originate() {
  static const bool done = [] {
    constexpr std::size_t kAfterCommand = 5;
    const PyMethodDef* originate = client_originate_method();
    if (originate != nullptr) {
      g_methods[kAfterCommand] = *originate;
    } else {
      // Close the gap so the table has no hole.
      for (std::size_t i = kAfterCommand; i + 1 < std::size(g_methods); ++i) {
        g_methods[i] = g_methods[i + 1];
      }
    }
    return true;
  }();
  (void)done;
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

PyType_Slot g_client_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClientDoc)},
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(client_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(client_clear)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_client_spec = {
    "fenwix_control.ControlClient",
    sizeof(ClientObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    g_client_slots,
};

}  // namespace

void with_connected_client(PyObject* client, ClientReady then) {
  with_client(inner_of(client), std::move(then));
}

bool add_client_class(PyObject* module) {
  insert_originate();
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &g_client_spec, nullptr));
  if (!type) return false;
  return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) == 0;
}

}  // namespace fenwix::py
