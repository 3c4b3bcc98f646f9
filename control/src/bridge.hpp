// The asyncio bridge: background work hands its outcomes to futures on the
// application's event loop.
//
// A method that starts background work captures the loop (`capture_loop`),
// creates a future on it (`Pending::create`) and returns the future. The
// background work keeps the `Completion` and resolves it from whatever
// thread it finishes on with a `Converter`: a C++ callable that builds the
// Python result later, on the loop's thread, with the interpreter lock held.
// Network threads therefore never wait for the lock to deliver a result.
//
// Outcomes go onto a per-loop queue as C++ values. The loop is woken once per
// batch, only when the queue goes from empty to non-empty: through an eventfd
// registered once per loop with `loop.add_reader` (no interpreter lock needed
// to wake it), or, for a loop without `add_reader`, through
// `loop.call_soon_threadsafe` from a helper thread. The loop's thread then
// converts every queued outcome and resolves its future, skipping futures
// that are already done (cancelled). Outcomes for a loop that has been
// closed, or that no longer exists, are dropped silently.
//
//   PyObject* Call_hangup(...) {
//     ... parse arguments ...
//     auto pending = Pending::create();
//     if (!pending) return nullptr;                // no running loop
//     call.sip(SipVerb::Hangup, std::move(args),
//              [done = std::move(pending->completion)](Result<Json> r) mutable {
//                std::move(done).resolve(none_outcome(std::move(r)));
//              });
//     return pending->future.release();
//   }
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "binding.hpp"
#include "errors.hpp"
#include "json_convert.hpp"
#include "lifecycle.hpp"

#include "fenwix/proto/error.hpp"
#include "fenwix/proto/json.hpp"

namespace fenwix::py {

// The delivery queue of one event loop (defined in bridge.cpp). Shared by
// every completion and loop context for that loop; thread-safe.
class LoopChannel;
using ChannelPtr = std::shared_ptr<LoopChannel>;

// Builds the Python outcome of a completed operation on the loop's thread
// with the lock held: a new reference to the result, or null with a Python
// error set, which becomes the future's exception. Move-only; it may be
// destroyed on any thread without having run (its captures must allow that:
// C++ values and AnyThreadRef only).
using Converter = std::move_only_function<PyObject*()>;
// Work to run on the loop's thread with the lock held. A Python error it
// leaves set is reported as unraisable.
using LoopTask = std::move_only_function<void()>;
// Runs when a future is cancelled, on the loop's thread, with the lock
// released; it must be quick and must not call into Python.
using CancelHook = std::move_only_function<void()>;

// A loop to deliver to, as captured on the calling thread.
struct LoopHandle {
  Ref loop;
  ChannelPtr channel;
};

// The loop and context that run() / serve() capture for dispatching
// handlers: the loop, a copy of the caller's contextvars context, and the
// loop's channel. Shared by reference counting; may be released on any
// thread.
struct LoopContext {
  AnyThreadRef loop;
  AnyThreadRef context;
  ChannelPtr channel;

  // A handle for `Pending::create`. Needs the lock.
  LoopHandle handle() const { return LoopHandle{loop.clone(), channel}; }
};
using LoopContextPtr = std::shared_ptr<const LoopContext>;

// The loop that a method called on this thread works with: inside a
// handler dispatch on a background thread (a live `DispatchScope`), the loop
// captured for that dispatch; otherwise the loop running in this thread.
// Without either, asyncio's own RuntimeError ("no running event loop") is
// raised and nullopt returned. Needs the lock.
std::optional<LoopHandle> capture_loop();

// `capture_loop` plus a copy of the current context (contextvars). Null with
// a Python error set on failure. Needs the lock.
LoopContextPtr capture_loop_context();

// Makes `capture_loop` on this thread return the given dispatch's loop for
// the scope's lifetime. Scopes nest; each restores the previous one.
class DispatchScope {
 public:
  explicit DispatchScope(LoopContextPtr context);
  ~DispatchScope();
  DispatchScope(const DispatchScope&) = delete;
  DispatchScope& operator=(const DispatchScope&) = delete;

 private:
  LoopContextPtr previous_;
};

// The right to resolve one future exactly once, from any thread, without
// the lock. Move-only. Destroying it unresolved cancels the future (on the
// loop's thread), so an awaitable whose background work vanished never
// hangs.
class Completion {
 public:
  Completion() noexcept = default;
  Completion(ChannelPtr channel, AnyThreadRef future) noexcept
      : channel_(std::move(channel)), future_(std::move(future)) {}
  Completion(Completion&& other) noexcept = default;
  Completion& operator=(Completion&& other) noexcept;
  Completion(const Completion&) = delete;
  Completion& operator=(const Completion&) = delete;
  ~Completion() { abandon(); }

  // Queues the outcome; `convert` runs later on the loop's thread, unless
  // the future is done by then (it is then destroyed unrun). Any thread.
  void resolve(Converter convert) &&;

  // Resolves the future now, converting on this thread, as the queued
  // delivery would have. Needs the lock, and a future nobody else has seen
  // yet (made by this call, not yet returned, no callbacks): setting its
  // result then schedules nothing on its loop, so any thread may do it.
  void resolve_in_place(Converter convert) &&;

  // Still holds a future to resolve.
  explicit operator bool() const noexcept { return static_cast<bool>(channel_); }

 private:
  void abandon() noexcept;
  ChannelPtr channel_;
  AnyThreadRef future_;
};

// A future created with `loop.create_future()` and the completion that
// resolves it.
struct Pending {
  Ref future;
  Completion completion;

  // On the loop `capture_loop()` finds. With `on_cancel`, the hook runs if
  // the future is cancelled (a done-callback is attached only then: most
  // operations need none). nullopt with a Python error set on failure.
  // Needs the lock.
  static std::optional<Pending> create(CancelHook on_cancel = {});
  static std::optional<Pending> create(const LoopHandle& loop, CancelHook on_cancel = {});
};

// Attaches a cancellation hook to a future made by `Pending::create`, for
// operations that learn only after starting whether they need one. The hook
// runs as the one given to `create` does. False with a Python error set on
// failure. Needs the lock.
bool add_cancel_hook(PyObject* future, CancelHook on_cancel);

// Runs `task` on the channel's loop thread with the lock held, after the
// outcomes queued before it. Any thread, no lock needed. Dropped (destroyed
// unrun) if the loop is closed or gone.
void run_on_loop(const ChannelPtr& channel, LoopTask task);

// ---------------------------------------------------------------------------
// Converters for the usual outcomes

// Raises `to_pyerr(error)`.
Converter error_outcome(fenwix::ControlError error);

// None on success, the ControlError on failure.
Converter none_outcome(fenwix::Result<fenwix::Json> result);

// A converter that builds a value from a reply, honouring the going-away
// flag when it runs: once `_mark_interpreter_going_away()` has run it raises
// `interpreter_gone()` instead of calling `build` (a callable returning a
// `Ref`, null with a Python error set on failure).
template <class Build>
Converter value_outcome(Build build) {
  return [build = std::move(build)]() mutable -> PyObject* {
    if (interpreter_going_away()) {
      Ref gone = interpreter_gone();
      if (gone) PyErr_SetRaisedException(gone.release());
      return nullptr;
    }
    return build().release();
  };
}

// The reply's result converted with `json_to_py` (through `value_outcome`),
// or the ControlError on failure.
Converter json_outcome(fenwix::Result<fenwix::Json> result);

// ---------------------------------------------------------------------------
// Observability for tests

struct BridgeStats {
  std::uint64_t wakeups;   // eventfd writes and call_soon_threadsafe requests
  std::uint64_t drains;    // batches delivered
  std::uint64_t channels;  // loops with a channel
};
BridgeStats bridge_stats();

}  // namespace fenwix::py
