#include "handlers.hpp"

#include <atomic>
#include <memory>
#include <utility>

#include <boost/asio/post.hpp>

#include "call.hpp"
#include "errors.hpp"
#include "json_convert.hpp"
#include "lifecycle.hpp"

#include "fenwix/client/runtime.hpp"

namespace fenwix::py {

namespace {

namespace asio = boost::asio;

// ---------------------------------------------------------------------------
// What asyncio gives us, looked up once and kept for the process

PyObject* intern(const char* text) {
  // Interned names live as long as the interpreter; never released.
  return PyUnicode_InternFromString(text);
}

PyObject* asyncio_attr(std::atomic<PyObject*>& cache, const char* name) {
  PyObject* value = cache.load(std::memory_order_acquire);
  if (value != nullptr) return value;
  Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
  if (!asyncio) return nullptr;
  Ref found = Ref::steal(PyObject_GetAttrString(asyncio.get(), name));
  if (!found) return nullptr;
  PyObject* expected = nullptr;
  if (cache.compare_exchange_strong(expected, found.get(), std::memory_order_acq_rel)) {
    return found.release();
  }
  return expected;
}

std::atomic<PyObject*> g_ensure_future{nullptr};
std::atomic<PyObject*> g_cancelled_error{nullptr};

PyObject* ensure_future() { return asyncio_attr(g_ensure_future, "ensure_future"); }
PyObject* cancelled_error() { return asyncio_attr(g_cancelled_error, "CancelledError"); }

Ref raised() { return Ref::steal(PyErr_GetRaisedException()); }

// ---------------------------------------------------------------------------
// One snapshot handler and what calling it needs

struct Target {
  AnyThreadRef handler;
  LoopContextPtr loop;
  ClosedFlag closed;
  // Calling the handler only creates a coroutine, so it is called on the
  // loop's thread instead of a blocking worker.
  bool on_loop;

  bool owner_closed() const { return closed->load(std::memory_order_seq_cst); }
};
using TargetPtr = std::shared_ptr<const Target>;

// A plain `async def` function (or a method bound to one). Anything else,
// including callables marked as coroutine functions whose call runs code of
// its own, is called on a worker.
bool is_coroutine_function(PyObject* handler) {
  PyObject* function = handler;
  if (PyMethod_Check(function)) function = PyMethod_GET_FUNCTION(function);
  if (!PyFunction_Check(function)) return false;
  auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(function));
  return (code->co_flags & CO_COROUTINE) != 0;
}

// ---------------------------------------------------------------------------
// Handler tasks on the loop

// Done-callback of every handler task: retrieves the task's outcome, so
// asyncio never complains that an exception went unretrieved, and prints an
// exception the handler ended with.
PyObject* handler_task_done(PyObject*, PyObject* task) {
  if (interpreter_going_away()) Py_RETURN_NONE;
  static PyObject* const cancelled_name = intern("cancelled");
  static PyObject* const exception_name = intern("exception");
  if (cancelled_name == nullptr || exception_name == nullptr) return nullptr;
  Ref cancelled = Ref::steal(PyObject_CallMethodNoArgs(task, cancelled_name));
  if (!cancelled) return nullptr;
  const int is_cancelled = PyObject_IsTrue(cancelled.get());
  if (is_cancelled != 0) return is_cancelled < 0 ? nullptr : Py_NewRef(Py_None);
  Ref exception = Ref::steal(PyObject_CallMethodNoArgs(task, exception_name));
  if (!exception) return nullptr;
  if (exception.get() != Py_None) print_unhandled(std::move(exception));
  Py_RETURN_NONE;
}

PyMethodDef g_task_done_def = {
    "_handler_done", handler_task_done, METH_O,
    "_handler_done(task)\n--\n\nReport how a handler's task ended."};

PyObject* task_done_callback() {
  static std::atomic<PyObject*> cached{nullptr};
  PyObject* callback = cached.load(std::memory_order_acquire);
  if (callback != nullptr) return callback;
  Ref made = Ref::steal(PyCFunction_New(&g_task_done_def, nullptr));
  if (!made) return nullptr;
  PyObject* expected = nullptr;
  if (cached.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) {
    return made.release();
  }
  return expected;
}

// Starts `wrapper` (an UnlessClosed) as a task, in the captured context, on
// the loop whose thread this is. Failures are printed.
void start_task(const Target& target, Ref wrapper) {
  PyObject* context = target.loop->context.get();
  PyObject* ensure = ensure_future();
  PyObject* on_done = task_done_callback();
  if (ensure == nullptr || on_done == nullptr) return print_unhandled(raised());
  // The task copies the current context when it is created, so the handler
  // runs in a copy of the context run() / serve() captured.
  if (PyContext_Enter(context) < 0) return print_unhandled(raised());
  Ref task = Ref::steal(PyObject_CallOneArg(ensure, wrapper.get()));
  Ref failure = task ? Ref() : raised();
  if (PyContext_Exit(context) < 0) PyErr_Clear();
  if (!task) return print_unhandled(std::move(failure));
  Ref added =
      Ref::steal(PyObject_CallMethodOneArg(task.get(), names().add_done_callback, on_done));
  if (!added) print_unhandled(raised());
}

// Calls the handler and starts what it returns, if anything is to be
// awaited. `on_loop_thread` says whether this is the loop's thread; if not,
// the task is started there.
void invoke(const TargetPtr& target, PyObject* const* args, std::size_t nargs,
            bool on_loop_thread) {
  if (target->owner_closed()) return;
  Ref result = Ref::steal(PyObject_Vectorcall(target->handler.get(), args, nargs, nullptr));
  if (!result) return print_unhandled(raised());
  const int awaitable = PyObject_HasAttrWithError(result.get(), names().dunder_await);
  if (awaitable < 0) return print_unhandled(raised());
  if (awaitable == 0) return;
  Ref wrapper = make_unless_closed(std::move(result), target->closed);
  if (!wrapper) return print_unhandled(raised());
  if (on_loop_thread) return start_task(*target, std::move(wrapper));
  // A loop closed meanwhile drops the task, and the wrapper with it.
  run_on_loop(target->loop->channel,
              [target, wrapper = AnyThreadRef(std::move(wrapper))]() mutable {
                if (interpreter_going_away()) return;
                start_task(*target, wrapper.take());
              });
}

bool loop_closed(const Target& target) {
  static PyObject* const is_closed_name = intern("is_closed");
  if (is_closed_name == nullptr) {
    PyErr_Clear();
    return true;
  }
  Ref closed = Ref::steal(PyObject_CallMethodNoArgs(target.loop->loop.get(), is_closed_name));
  const int is_closed = closed ? PyObject_IsTrue(closed.get()) : -1;
  if (is_closed < 0) PyErr_Clear();
  return is_closed != 0;
}

// Runs `call_with(invoke_args)` for a handler that is not a coroutine
// function: on a blocking worker, with the lock, inside a dispatch scope (so
// that verbs called by the handler use the captured loop) and in a copy of
// the captured context. `make_args(use)` builds the handler's arguments and
// passes them to `use(args, nargs)`.
template <class MakeArgs>
void run_on_worker(TargetPtr target, MakeArgs make_args) {
  asio::post(fenwix::blocking_pool(), [target = std::move(target),
                                       make_args = std::move(make_args)]() mutable {
    attach_if_running([&] {
      if (target->owner_closed() || loop_closed(*target)) return;
      DispatchScope scope(target->loop);
      Ref context = Ref::steal(PyContext_Copy(target->loop->context.get()));
      if (!context || PyContext_Enter(context.get()) < 0) return print_unhandled(raised());
      make_args([&](PyObject* const* args, std::size_t nargs) {
        invoke(target, args, nargs, false);
      });
      if (PyContext_Exit(context.get()) < 0) PyErr_Clear();
    });
  });
}

// The same for a coroutine function, on the loop's thread. A closed loop
// drops the work unrun.
template <class MakeArgs>
void run_on_loop_thread(TargetPtr target, MakeArgs make_args) {
  ChannelPtr channel = target->loop->channel;
  run_on_loop(channel, [target = std::move(target), make_args = std::move(make_args)]() mutable {
    if (interpreter_going_away() || target->owner_closed()) return;
    make_args([&](PyObject* const* args, std::size_t nargs) {
      invoke(target, args, nargs, true);
    });
  });
}

template <class MakeArgs>
void dispatch(TargetPtr target, MakeArgs make_args) {
  // Declining here keeps the interpreter lock off the network thread.
  if (target->owner_closed() || !interpreter_usable()) return;
  if (target->on_loop) {
    run_on_loop_thread(std::move(target), std::move(make_args));
  } else {
    run_on_worker(std::move(target), std::move(make_args));
  }
}

// The facade awaits what a call handler returns; the bridge has nothing to
// wait for, since the handler runs elsewhere, and never reports an error.
asio::awaitable<fenwix::Result<void>> handed_over() { co_return fenwix::Result<void>{}; }

void dispatch_call(const TargetPtr& target, fenwix::Call call) {
  dispatch(target, [call = std::move(call)](auto&& use) mutable {
    Ref py_call = Ref::steal(new_call_object(std::move(call)));
    if (!py_call) return print_unhandled(raised());
    PyObject* args[] = {py_call.get()};
    use(args, 1);
  });
}

void dispatch_app_event(const TargetPtr& target, fenwix::AppEvent event) {
  dispatch(target, [event = std::move(event)](auto&& use) mutable {
    // A payload that cannot be converted is reported and the handler is
    // not called.
    Ref payload = json_to_py(event.payload);
    if (!payload) return print_unhandled(raised());
    Ref name = str_from_utf8(event.frame.event);
    if (!name) return print_unhandled(raised());
    PyObject* args[] = {name.get(), payload.get()};
    use(args, 2);
  });
}

TargetPtr make_target(PyObject* handler, const LoopContextPtr& loop, const ClosedFlag& closed) {
  try {
    return std::make_shared<const Target>(
        Target{AnyThreadRef(Ref::borrow(handler)), loop, closed, is_coroutine_function(handler)});
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  }
}

}  // namespace

void HandlerBridges::install_on(const fenwix::FacadePtr& facade) const {
  if (app_event) facade->set_app_handler(app_event);
  if (call) facade->set_handler(call);
}

std::optional<HandlerBridges> make_handler_bridges(PyObject* call_handler,
                                                   PyObject* app_event_handler,
                                                   LoopContextPtr loop, ClosedFlag closed) {
  // Looked up now, on the application's thread, so that a dispatch never
  // has to import anything.
  if (ensure_future() == nullptr || cancelled_error() == nullptr || task_done_callback() == nullptr) {
    return std::nullopt;
  }
  HandlerBridges bridges;
  if (app_event_handler != nullptr) {
    TargetPtr target = make_target(app_event_handler, loop, closed);
    if (!target) return std::nullopt;
    bridges.app_event = [target](fenwix::AppEvent event) {
      dispatch_app_event(target, std::move(event));
    };
  }
  if (call_handler != nullptr) {
    TargetPtr target = make_target(call_handler, loop, closed);
    if (!target) return std::nullopt;
    bridges.call = [target](fenwix::Call call) {
      dispatch_call(target, std::move(call));
      return handed_over();
    };
  }
  return bridges;
}

void print_unhandled(Ref exception) {
  if (!exception) {
    PyErr_Clear();
    return;
  }
  PyObject* cancelled = cancelled_error();
  if (cancelled == nullptr) {
    PyErr_Clear();
  } else if (PyErr_GivenExceptionMatches(exception.get(), cancelled)) {
    return;
  }
  // What PyErr_Print does, except that SystemExit is printed like anything
  // else: ending the process from a worker thread would tear the
  // interpreter down under the application's feet.
  PyObject* hook = PySys_GetObject("excepthook");  // borrowed
  if (hook != nullptr && hook != Py_None) {
    Ref traceback = Ref::steal(PyException_GetTraceback(exception.get()));
    PyObject* args[] = {reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get(),
                        traceback ? traceback.get() : Py_None};
    Ref printed = Ref::steal(PyObject_Vectorcall(hook, args, 3, nullptr));
    if (printed) return;
    Ref hook_error = raised();
    PySys_WriteStderr("Error in sys.excepthook:\n");
    PyErr_DisplayException(hook_error.get());
    PySys_WriteStderr("\nOriginal exception was:\n");
  } else {
    PySys_WriteStderr("sys.excepthook is missing\n");
  }
  PyErr_DisplayException(exception.get());
  PyErr_Clear();
}

}  // namespace fenwix::py
