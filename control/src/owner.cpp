#include "owner.hpp"

#include <atomic>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include "fenwix/client/runtime.hpp"

namespace fenwix::py {

namespace asio = boost::asio;

void HandlerSlot::set(PyObject* handler) {
  AnyThreadRef replaced(Ref::borrow(handler));
  {
    std::lock_guard lock(mutex_);
    std::swap(handler_, replaced);
  }
  // The old handler is released here, outside the lock: its finaliser may
  // run Python code that comes back to this object.
}

Ref HandlerSlot::clone() const {
  std::lock_guard lock(mutex_);
  return handler_.clone();
}

void HandlerSlot::clear() {
  AnyThreadRef dropped;
  {
    std::lock_guard lock(mutex_);
    std::swap(handler_, dropped);
  }
}

int HandlerSlot::traverse(visitproc visit, void* arg) const {
  std::lock_guard lock(mutex_);
  Py_VISIT(handler_.get());
  return 0;
}

namespace {

// The strand a cancellable coroutine runs on and the signal that cancels
// it. Signals are not thread-safe: it is only ever emitted on the strand,
// where the coroutine and its completion run too.
struct Cancellation {
  explicit Cancellation(asio::strand<asio::io_context::executor_type> s) : strand(std::move(s)) {}
  asio::strand<asio::io_context::executor_type> strand;
  asio::cancellation_signal signal;
  std::atomic<bool> requested{false};  // the future was cancelled
};

// The outcome of a background task that ended with an exception nobody
// asked for: a SystemError naming it.
Converter failed_task_outcome(const std::exception_ptr& failure) {
  std::string what = "unknown exception";
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
  }
  return [what = std::move(what)]() -> PyObject* {
    PyErr_Format(PyExc_SystemError, "a background task failed: %s", what.c_str());
    return nullptr;
  };
}

}  // namespace

PyObject* start_cancellable(const LoopHandle& loop, asio::awaitable<fenwix::Result<void>> body) {
  std::shared_ptr<Cancellation> cancellation;
  try {
    cancellation = std::make_shared<Cancellation>(asio::make_strand(fenwix::runtime()));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  }
  std::optional<Pending> pending = Pending::create(loop, [cancellation] {
    cancellation->requested.store(true, std::memory_order_release);
    asio::post(cancellation->strand,
               [cancellation] { cancellation->signal.emit(asio::cancellation_type::all); });
  });
  if (!pending) return nullptr;
  auto strand = cancellation->strand;
  auto slot = cancellation->signal.slot();
  asio::co_spawn(
      strand, std::move(body),
      asio::bind_cancellation_slot(
          slot, [cancellation = std::move(cancellation), done = std::move(pending->completion)](
                    std::exception_ptr failure, fenwix::Result<void> result) mutable {
            if (failure) {
              // Cancelled: the future is cancelled already, and dropping
              // `done` leaves it so. Anything else failed inside the task
              // (out of memory, a system error); that must not pass for a
              // cancellation the application never asked for.
              if (cancellation->requested.load(std::memory_order_acquire)) return;
              try {
                std::move(done).resolve(failed_task_outcome(failure));
              } catch (...) {
                // No memory even for that: dropping `done` cancels the future.
              }
              return;
            }
            std::move(done).resolve(result ? Converter([] { return Py_NewRef(Py_None); })
                                           : error_outcome(std::move(result.error())));
          }));
  return pending->future.release();
}

PyObject* resolved_future(Converter outcome) {
  std::optional<Pending> pending = Pending::create();
  if (!pending) return nullptr;
  std::move(pending->completion).resolve(std::move(outcome));
  return pending->future.release();
}

bool accept_any_positional(const char* function, PyObject* kwnames) {
  if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) return true;
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
               PyTuple_GET_ITEM(kwnames, 0));
  return false;
}

}  // namespace fenwix::py
