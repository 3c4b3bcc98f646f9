// What ControlClient and ControlServer share: the stored handlers, the
// long-running awaitables whose cancellation stops their coroutine, and the
// small awaitables of `async with`.
#pragma once

#include <mutex>
#include <optional>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "binding.hpp"
#include "bridge.hpp"

#include "fenwix/proto/error.hpp"

namespace fenwix::py {

// One handler registered with on_call / on_app_event. Set, cleared and
// cloned with the interpreter lock held (the mutex only makes that safe
// without the global lock); may be destroyed on any thread.
class HandlerSlot {
 public:
  void set(PyObject* handler);
  // The stored handler, a new reference, or empty.
  Ref clone() const;
  void clear();
  // tp_traverse's visit of the stored handler.
  int traverse(visitproc visit, void* arg) const;

 private:
  mutable std::mutex mutex_;
  AnyThreadRef handler_;
};

// Starts `body` on a strand of its own and returns a future on `loop` that
// resolves to None, or raises the ControlError `body` ended with (or a
// SystemError if it ended with an exception it was not cancelled by). Cancelling
// the future cancels the coroutine: a cancellation signal is emitted on the
// coroutine's strand, and it stops at its next suspension point. Null with a
// Python error set on failure. Needs the lock.
PyObject* start_cancellable(const LoopHandle& loop,
                            boost::asio::awaitable<fenwix::Result<void>> body);

// A future on the loop `capture_loop()` finds, already given its outcome.
// Null with a Python error set on failure. Needs the lock.
PyObject* resolved_future(Converter outcome);

// parse_args for a tp_new, whose arguments come as a tuple and a dict.
template <std::size_t N, class... Outs>
bool parse_new_args(const Signature<N>& signature, PyObject* args, PyObject* kwargs,
                    Outs&... outs) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  const Py_ssize_t nkw = kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0;
  std::vector<PyObject*> stack;
  stack.reserve(static_cast<std::size_t>(nargs + nkw));
  for (Py_ssize_t i = 0; i < nargs; ++i) stack.push_back(PyTuple_GET_ITEM(args, i));
  Ref kwnames;
  if (nkw > 0) {
    kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) return false;
    Py_ssize_t pos = 0;
    Py_ssize_t k = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
      stack.push_back(value);
    }
  }
  return parse_args(signature, stack.data(), nargs, kwnames.get(), outs...);
}

// Ignores positional arguments, as __aexit__(*_args) does: an error for
// keyword arguments only.
bool accept_any_positional(const char* function, PyObject* kwnames);

}  // namespace fenwix::py
