// The handler bridges: how the call model's handler slots reach the
// application's Python handlers.
//
// run() / serve() snapshot the handlers registered with on_call and
// on_app_event and build one bridge for each, bound to the event loop and
// contextvars context captured at that moment and to the owner's `closed`
// flag. Installed on a facade, a bridge turns every dispatched call into
// `handler(call)` with a new Python Call, and every application event into
// `handler(event, payload)`.
//
// How a handler runs:
//   - a coroutine function is called on the captured loop's thread (calling
//     it only creates the coroutine);
//   - anything else is called on a worker of the blocking pool, with the
//     interpreter lock held and inside a dispatch scope, so that verbs it
//     calls work with the captured loop; it never stalls network I/O;
//   - whatever awaitable a handler returns is wrapped in UnlessClosed and
//     started as an asyncio task on the captured loop, in the captured
//     context.
// Nothing is called once the owner is closed, once the interpreter is going
// away, or once the captured loop is closed. An exception from a handler or
// from its task is printed as an unhandled exception is (sys.excepthook);
// asyncio's CancelledError is not printed. The bridges never report an
// error to the call model.
#pragma once

#include <optional>

#include "binding.hpp"
#include "bridge.hpp"
#include "unless_closed.hpp"

#include "fenwix/client/sip.hpp"

namespace fenwix::py {

// The bridges built from one run() / serve() snapshot. Either may be empty
// (no handler was registered); installing leaves the facade's slot for an
// empty one as it was. Copyable; may be copied and destroyed on any thread.
struct HandlerBridges {
  fenwix::AppEventHandler app_event;
  fenwix::CallHandler call;

  // Installs the application-event bridge, then the per-call bridge. Any
  // thread, no lock needed.
  void install_on(const fenwix::FacadePtr& facade) const;
  bool empty() const { return !app_event && !call; }
};

// Builds the bridges for the given handlers (null or None: none). Needs the
// lock; nullopt with a Python error set on failure.
std::optional<HandlerBridges> make_handler_bridges(PyObject* call_handler,
                                                   PyObject* app_event_handler,
                                                   LoopContextPtr loop, ClosedFlag closed);

// Prints `exception` the way the interpreter prints an unhandled exception:
// through sys.excepthook (a traceback on standard error by default).
// asyncio's CancelledError is not printed. Needs the lock.
void print_unhandled(Ref exception);

}  // namespace fenwix::py
