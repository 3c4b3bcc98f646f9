// The `closed` flag of a ControlClient or ControlServer, and UnlessClosed,
// the wrapper that keeps handler coroutines of a closed object from running.
#pragma once

#include <atomic>
#include <memory>

#include "binding.hpp"

namespace fenwix::py {

// One per ControlClient / ControlServer object, shared by reference with the
// handler bridges it installs and every UnlessClosed they create. Read and
// written from any thread without the interpreter lock, always with
// sequentially consistent ordering. True after close(), false again after
// the next run() / serve().
using ClosedFlag = std::shared_ptr<std::atomic<bool>>;

inline ClosedFlag make_closed_flag() { return std::make_shared<std::atomic<bool>>(false); }

// Creates the (unexported, not constructible from Python) UnlessClosed type
// once per process. Called by module execution; false with a Python error
// set on failure.
bool init_unless_closed_type();

// Wraps the awaitable a handler returned. Awaiting the wrapper reads the
// flag once, when the event loop first awaits it: unset, it is the wrapped
// object's own `__await__()` (results and exceptions pass through); set, the
// wrapped object's `close()` is called if it has one (so a coroutine is
// closed without ever running) and awaiting completes at once with None.
// Needs the lock; null with a Python error set on failure.
Ref make_unless_closed(Ref awaitable, ClosedFlag closed);

}  // namespace fenwix::py
