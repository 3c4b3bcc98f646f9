// Keeping background threads out of an interpreter that is shutting down.
//
// The module's atexit hook sets one process-wide flag. Background code that
// wants to call into Python checks it, checks that the interpreter is
// initialised, takes the interpreter lock and checks the flag again: the hook
// runs with the lock held, so the second check is authoritative. Once the
// flag is set nothing of ours enters the interpreter from a background
// thread again.
#pragma once

#include "binding.hpp"

#include <atomic>
#include <optional>
#include <type_traits>
#include <utility>

namespace fenwix::py {

// Set by `_mark_interpreter_going_away()` (the atexit hook); never cleared.
// Read from any thread without the interpreter lock.
extern std::atomic<bool> INTERPRETER_GOING_AWAY;

inline bool interpreter_going_away() noexcept {
  return INTERPRETER_GOING_AWAY.load(std::memory_order_seq_cst);
}
void mark_interpreter_going_away() noexcept;

// Whether background code may enter the interpreter at all right now: the
// flag is unset and the interpreter reports itself initialised. A first,
// lock-free check; `attach_if_running` repeats the flag check under the lock.
inline bool interpreter_usable() noexcept {
  return !interpreter_going_away() && Py_IsInitialized();
}

// Runs `f` with the interpreter lock held, from any thread (re-entrantly: a
// thread that already holds the lock keeps it), unless the interpreter is
// going away or not initialised; then `f` does not run and the result is
// empty (false for an `f` returning void). Deferred references are released
// while the lock is held. `f` must not let a Python error escape unhandled:
// whatever it leaves set is reported as unraisable.
template <class F>
auto attach_if_running(F&& f) {
  using R = std::invoke_result_t<F&>;
  using Out = std::conditional_t<std::is_void_v<R>, bool, std::optional<R>>;
  if (!interpreter_usable()) return Out{};
  const PyGILState_STATE state = PyGILState_Ensure();
  if (interpreter_going_away()) {
    PyGILState_Release(state);
    return Out{};
  }
  release_deferred_refs();
  Out out{};
  if constexpr (std::is_void_v<R>) {
    f();
    out = true;
  } else {
    out.emplace(f());
  }
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  PyGILState_Release(state);
  return out;
}

}  // namespace fenwix::py
