#include "bridge.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>
#include <vector>

#include "fenwix/client/runtime.hpp"

namespace fenwix::py {

namespace {

std::atomic<std::uint64_t> g_wakeups{0};
std::atomic<std::uint64_t> g_drains{0};

// One queued item: an outcome for a future (`convert` empty: cancel it), or
// a task (`future` empty).
struct Delivery {
  AnyThreadRef future;
  Converter convert;
  LoopTask task;
};

void request_wake_from_helper(ChannelPtr channel);

}  // namespace

// ---------------------------------------------------------------------------
// LoopChannel

class LoopChannel : public std::enable_shared_from_this<LoopChannel> {
 public:
  explicit LoopChannel(const void* loop_identity) : loop_identity_(loop_identity) {}
  ~LoopChannel() {
    if (event_fd_ >= 0) ::close(event_fd_);
  }
  LoopChannel(const LoopChannel&) = delete;
  LoopChannel& operator=(const LoopChannel&) = delete;

  // Sets up the wake-up on the loop; on the loop's thread, with the lock.
  bool attach(PyObject* loop);

  // Any thread, no lock needed.
  void post(Delivery delivery) noexcept;

  // The loop's thread, with the lock.
  void drain();

  // No more deliveries; what is queued is dropped. Any thread.
  void close_delivery() noexcept;

  bool closed() const noexcept { return closed_.load(std::memory_order_acquire); }
  const void* loop_identity() const noexcept { return loop_identity_; }

  // Fallback wake-up: asks the loop to drain soon. With the lock.
  void schedule_drain();

  // The weak reference to the loop, given up when the loop dies.
  Ref take_loop_weakref() { return loop_weakref_.take(); }

 private:
  void wake() noexcept;

  const void* const loop_identity_;
  std::mutex mutex_;
  std::vector<Delivery> queue_;
  std::atomic<bool> closed_{false};
  int event_fd_ = -1;
  AnyThreadRef loop_weakref_;    // a weakref to the loop, whose callback forgets the loop
  AnyThreadRef strong_loop_;     // only for a loop that takes no weak references
  AnyThreadRef drain_callable_;  // only without an eventfd, for call_soon_threadsafe
};

namespace {

// ---------------------------------------------------------------------------
// Python callables backed by C++ state

// The callables asyncio holds for us (the reader callback, weakref and
// done callbacks) are built-in functions whose `self` is a capsule owning
// the C++ state; the capsule's destructor tells us when asyncio let go.

constexpr const char* kChannelCapsule = "fenwix_control.channel";
constexpr const char* kHookCapsule = "fenwix_control.cancel_hook";

struct ChannelBox {
  std::weak_ptr<LoopChannel> channel;
  bool closes_on_release;  // the loop's reader registration: its end means the loop closed
};

void channel_box_destructor(PyObject* capsule) {
  auto* box = static_cast<ChannelBox*>(PyCapsule_GetPointer(capsule, kChannelCapsule));
  if (box == nullptr) {
    PyErr_Clear();
    return;
  }
  // A closed selector loop drops its reader registrations, and only then
  // does this callable go; so the loop can never drain again.
  if (box->closes_on_release) {
    if (ChannelPtr channel = box->channel.lock()) channel->close_delivery();
  }
  delete box;
}

void hook_destructor(PyObject* capsule) {
  auto* hook = static_cast<CancelHook*>(PyCapsule_GetPointer(capsule, kHookCapsule));
  if (hook == nullptr) {
    PyErr_Clear();
    return;
  }
  delete hook;
}

ChannelPtr channel_of(PyObject* capsule) {
  auto* box = static_cast<ChannelBox*>(PyCapsule_GetPointer(capsule, kChannelCapsule));
  if (box == nullptr) return nullptr;
  return box->channel.lock();
}

PyObject* drain_entry(PyObject* capsule, PyObject*) {
  ChannelPtr channel = channel_of(capsule);
  if (channel == nullptr) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  try {
    channel->drain();
  } catch (...) {
    // Nothing in a drain throws but allocation; the batch is gone either way.
  }
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  Py_RETURN_NONE;
}

void forget_loop(const ChannelPtr& channel);

PyObject* loop_gone_entry(PyObject* capsule, PyObject*) {
  ChannelPtr channel = channel_of(capsule);
  if (channel == nullptr) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  forget_loop(channel);
  Py_RETURN_NONE;
}

PyObject* future_done_entry(PyObject* capsule, PyObject* future) {
  auto* hook = static_cast<CancelHook*>(PyCapsule_GetPointer(capsule, kHookCapsule));
  if (hook == nullptr || !*hook) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  CancelHook run = std::move(*hook);
  *hook = nullptr;
  Ref cancelled = Ref::steal(PyObject_CallMethodNoArgs(future, names().cancelled));
  if (!cancelled) return nullptr;
  const int is_cancelled = PyObject_IsTrue(cancelled.get());
  if (is_cancelled < 0) return nullptr;
  if (is_cancelled) {
    // The hook reaches into the background runtime, which may take its own
    // locks; never hold the interpreter lock across that.
    GilRelease unlocked;
    try {
      run();
    } catch (...) {
    }
  }
  Py_RETURN_NONE;
}

PyMethodDef g_drain_def = {
    "_deliver", drain_entry, METH_NOARGS,
    "_deliver()\n--\n\nDeliver the outcomes queued for this event loop."};
PyMethodDef g_loop_gone_def = {
    "_loop_gone", loop_gone_entry, METH_O,
    "_loop_gone(ref)\n--\n\nForget an event loop that no longer exists."};
PyMethodDef g_future_done_def = {
    "_future_done", future_done_entry, METH_O,
    "_future_done(future)\n--\n\nRun the cancellation hook of a cancelled future."};

Ref channel_callable(PyMethodDef* def, const ChannelPtr& channel, bool closes_on_release) {
  auto* box = new (std::nothrow) ChannelBox{channel, closes_on_release};
  if (box == nullptr) {
    PyErr_NoMemory();
    return {};
  }
  Ref capsule = Ref::steal(PyCapsule_New(box, kChannelCapsule, channel_box_destructor));
  if (!capsule) {
    delete box;
    return {};
  }
  return Ref::steal(PyCFunction_New(def, capsule.get()));
}

// ---------------------------------------------------------------------------
// Channels by loop identity

// Heap-allocated and never destroyed, like everything background threads
// may still touch while the process exits.
struct ChannelRegistry {
  std::mutex mutex;
  std::unordered_map<const void*, ChannelPtr> by_loop;
};

ChannelRegistry& registry() {
  static ChannelRegistry* instance = new ChannelRegistry;
  return *instance;
}

void forget_loop(const ChannelPtr& channel) {
  ChannelPtr removed;
  {
    ChannelRegistry& reg = registry();
    std::lock_guard lock(reg.mutex);
    auto it = reg.by_loop.find(channel->loop_identity());
    if (it != reg.by_loop.end() && it->second == channel) {
      removed = std::move(it->second);
      reg.by_loop.erase(it);
    }
  }
  channel->close_delivery();
  // This runs inside the weak reference's own callback; it is released
  // later rather than from under its caller.
  defer_release(channel->take_loop_weakref());
}

// The channel of `loop`, creating it (and registering the wake-up) on first
// use. On the loop's thread, with the lock.
ChannelPtr channel_for(PyObject* loop) {
  thread_local const void* cached_loop = nullptr;
  thread_local std::weak_ptr<LoopChannel> cached_channel;
  if (cached_loop == loop) {
    ChannelPtr channel = cached_channel.lock();
    if (channel && !channel->closed()) return channel;
  }
  ChannelRegistry& reg = registry();
  ChannelPtr channel;
  {
    std::lock_guard lock(reg.mutex);
    auto it = reg.by_loop.find(loop);
    if (it != reg.by_loop.end() && !it->second->closed()) channel = it->second;
  }
  if (!channel) {
    channel = std::make_shared<LoopChannel>(loop);
    if (!channel->attach(loop)) return nullptr;
    // A replaced (closed) channel is released after unlocking: releasing it
    // may run Python code, which may come back here.
    ChannelPtr replaced;
    std::lock_guard lock(reg.mutex);
    ChannelPtr& slot = reg.by_loop[loop];
    replaced = std::exchange(slot, channel);
  }
  cached_loop = loop;
  cached_channel = channel;
  return channel;
}

// ---------------------------------------------------------------------------
// Fallback wake-ups

// Loops without add_reader are woken with call_soon_threadsafe, which needs
// the interpreter lock. Network threads must not wait for it, so they hand
// the request to this one helper thread, started on first use and never
// stopped.
struct WakeHelper {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<ChannelPtr> requests;
  bool started = false;
};

WakeHelper& wake_helper() {
  static WakeHelper* instance = new WakeHelper;
  return *instance;
}

void wake_helper_main() {
  fenwix::block_all_signals();
  WakeHelper& helper = wake_helper();
  for (;;) {
    ChannelPtr channel;
    {
      std::unique_lock lock(helper.mutex);
      helper.ready.wait(lock, [&] { return !helper.requests.empty(); });
      channel = std::move(helper.requests.front());
      helper.requests.pop_front();
    }
    // Once the interpreter is going away the request is dropped: nothing
    // will run that loop again anyway.
    attach_if_running([&] { channel->schedule_drain(); });
    channel.reset();
  }
}

void request_wake_from_helper(ChannelPtr channel) {
  WakeHelper& helper = wake_helper();
  {
    std::lock_guard lock(helper.mutex);
    helper.requests.push_back(std::move(channel));
    if (!helper.started) {
      try {
        std::thread(wake_helper_main).detach();
        helper.started = true;
      } catch (...) {
        // No thread to be had: the request waits for the next attempt.
      }
    }
  }
  helper.ready.notify_one();
}

// asyncio.get_running_loop, looked up once.
PyObject* get_running_loop_function() {
  static std::atomic<PyObject*> cached{nullptr};
  PyObject* function = cached.load(std::memory_order_acquire);
  if (function != nullptr) return function;
  Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
  if (!asyncio) return nullptr;
  Ref found = Ref::steal(PyObject_GetAttrString(asyncio.get(), "get_running_loop"));
  if (!found) return nullptr;
  PyObject* expected = nullptr;
  if (cached.compare_exchange_strong(expected, found.get(), std::memory_order_acq_rel)) {
    return found.release();
  }
  return expected;
}

thread_local LoopContextPtr t_dispatch;

}  // namespace

bool LoopChannel::attach(PyObject* loop) {
  Ref on_gone = channel_callable(&g_loop_gone_def, shared_from_this(), false);
  if (!on_gone) return false;
  PyObject* weakref = PyWeakref_NewRef(loop, on_gone.get());
  if (weakref != nullptr) {
    loop_weakref_ = AnyThreadRef(Ref::steal(weakref));
  } else {
    // A loop type without weak references: keep it for good rather than
    // risk mistaking a later loop at the same address for it.
    PyErr_Clear();
    strong_loop_ = AnyThreadRef(Ref::borrow(loop));
  }

  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd >= 0) {
    // The registration's end means that the loop closed, but only once it
    // exists: a refused add_reader must not close the channel.
    Ref reader = channel_callable(&g_drain_def, shared_from_this(), false);
    if (!reader) {
      ::close(fd);
      return false;
    }
    Ref fd_object = Ref::steal(PyLong_FromLong(fd));
    if (!fd_object) {
      ::close(fd);
      return false;
    }
    Ref added = Ref::steal(
        PyObject_CallMethodObjArgs(loop, names().add_reader, fd_object.get(), reader.get(), nullptr));
    if (added) {
      event_fd_ = fd;
      auto* box = static_cast<ChannelBox*>(
          PyCapsule_GetPointer(PyCFunction_GET_SELF(reader.get()), kChannelCapsule));
      if (box != nullptr) box->closes_on_release = true;
      return true;
    }
    // No add_reader on this loop (NotImplementedError, or none at all).
    PyErr_Clear();
    ::close(fd);
  }
  Ref drain = channel_callable(&g_drain_def, shared_from_this(), false);
  if (!drain) return false;
  drain_callable_ = AnyThreadRef(std::move(drain));
  return true;
}

void LoopChannel::post(Delivery delivery) noexcept {
  bool wake_needed = false;
  {
    std::lock_guard lock(mutex_);
    if (closed_.load(std::memory_order_relaxed)) {
      // Dropped below, outside the lock: its destructors may run Python.
    } else {
      try {
        wake_needed = queue_.empty();
        queue_.push_back(std::move(delivery));
      } catch (const std::bad_alloc&) {
        wake_needed = false;
      }
    }
  }
  if (wake_needed) wake();
}

void LoopChannel::wake() noexcept {
  g_wakeups.fetch_add(1, std::memory_order_relaxed);
  if (event_fd_ >= 0) {
    const std::uint64_t one = 1;
    // EAGAIN means the counter is saturated: the loop is woken anyway.
    while (::write(event_fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    return;
  }
  if (holds_interpreter()) {
    schedule_drain();
    return;
  }
  try {
    request_wake_from_helper(shared_from_this());
  } catch (...) {
  }
}

void LoopChannel::schedule_drain() {
  Ref loop;
  if (strong_loop_) {
    loop = strong_loop_.clone();
  } else if (loop_weakref_) {
    PyObject* target = nullptr;
    if (PyWeakref_GetRef(loop_weakref_.get(), &target) < 0) PyErr_Clear();
    loop = Ref::steal(target);
  }
  if (!loop || !drain_callable_) {
    close_delivery();
    return;
  }
  Ref scheduled = Ref::steal(
      PyObject_CallMethodOneArg(loop.get(), names().call_soon_threadsafe, drain_callable_.get()));
  if (!scheduled) {
    // A closed loop refuses with RuntimeError; its outcomes are dropped.
    PyErr_Clear();
    close_delivery();
  }
}

void LoopChannel::close_delivery() noexcept {
  std::vector<Delivery> dropped;
  {
    std::lock_guard lock(mutex_);
    closed_.store(true, std::memory_order_release);
    dropped.swap(queue_);
  }
}

namespace {

void deliver(Delivery& delivery) {
  if (!delivery.future) {
    if (delivery.task) {
      try {
        delivery.task();
      } catch (...) {
      }
      if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    }
    return;
  }
  PyObject* future = delivery.future.get();
  Ref done = Ref::steal(PyObject_CallMethodNoArgs(future, names().done));
  const int is_done = done ? PyObject_IsTrue(done.get()) : -1;
  if (is_done < 0) {
    PyErr_WriteUnraisable(future);
    return;
  }
  if (is_done) return;  // cancelled meanwhile: nobody wants it
  if (!delivery.convert) {
    Ref cancelled = Ref::steal(PyObject_CallMethodNoArgs(future, names().cancel));
    if (!cancelled) PyErr_WriteUnraisable(future);
    return;
  }
  Ref outcome;
  try {
    outcome = Ref::steal(delivery.convert());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "a result conversion failed");
  }
  Ref accepted;
  if (outcome) {
    accepted = Ref::steal(PyObject_CallMethodOneArg(future, names().set_result, outcome.get()));
  } else {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "a result conversion failed without an exception");
    }
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    accepted = Ref::steal(PyObject_CallMethodOneArg(future, names().set_exception, exception.get()));
  }
  if (!accepted) PyErr_WriteUnraisable(future);
}

}  // namespace

void LoopChannel::drain() {
  g_drains.fetch_add(1, std::memory_order_relaxed);
  release_deferred_refs();
  if (event_fd_ >= 0) {
    // Reset the counter before taking the queue: a producer that finds the
    // queue empty after our swap writes again and wakes the next round.
    std::uint64_t count = 0;
    while (::read(event_fd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
  }
  std::vector<Delivery> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(queue_);
  }
  for (Delivery& delivery : batch) deliver(delivery);
  batch.clear();
  // Hand the buffer back so a steady stream of outcomes stops allocating.
  std::lock_guard lock(mutex_);
  if (queue_.empty() && queue_.capacity() < batch.capacity()) queue_.swap(batch);
}

// ---------------------------------------------------------------------------
// Capturing loops

std::optional<LoopHandle> capture_loop() {
  if (t_dispatch) return t_dispatch->handle();
  PyObject* get_running_loop = get_running_loop_function();
  if (get_running_loop == nullptr) return std::nullopt;
  Ref loop = Ref::steal(PyObject_CallNoArgs(get_running_loop));
  if (!loop) return std::nullopt;
  ChannelPtr channel = channel_for(loop.get());
  if (!channel) return std::nullopt;
  return LoopHandle{std::move(loop), std::move(channel)};
}

LoopContextPtr capture_loop_context() {
  std::optional<LoopHandle> handle = capture_loop();
  if (!handle) return nullptr;
  Ref context = Ref::steal(PyContext_CopyCurrent());
  if (!context) return nullptr;
  try {
    return std::make_shared<const LoopContext>(LoopContext{
        AnyThreadRef(std::move(handle->loop)), AnyThreadRef(std::move(context)),
        std::move(handle->channel)});
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  }
}

DispatchScope::DispatchScope(LoopContextPtr context) : previous_(std::move(t_dispatch)) {
  t_dispatch = std::move(context);
}

DispatchScope::~DispatchScope() { t_dispatch = std::move(previous_); }

// ---------------------------------------------------------------------------
// Futures and completions

Completion& Completion::operator=(Completion&& other) noexcept {
  if (this != &other) {
    abandon();
    channel_ = std::move(other.channel_);
    future_ = std::move(other.future_);
  }
  return *this;
}

void Completion::resolve(Converter convert) && {
  if (!channel_) return;
  ChannelPtr channel = std::move(channel_);
  channel->post(Delivery{std::move(future_), std::move(convert), {}});
}

void Completion::resolve_in_place(Converter convert) && {
  if (!channel_) return;
  channel_.reset();
  Delivery delivery{std::move(future_), std::move(convert), {}};
  deliver(delivery);
}

void Completion::abandon() noexcept {
  if (!channel_) return;
  ChannelPtr channel = std::move(channel_);
  channel->post(Delivery{std::move(future_), {}, {}});
}

namespace {

bool attach_cancel_hook(PyObject* future, CancelHook on_cancel) {
  auto* hook = new (std::nothrow) CancelHook(std::move(on_cancel));
  if (hook == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  Ref capsule = Ref::steal(PyCapsule_New(hook, kHookCapsule, hook_destructor));
  if (!capsule) {
    delete hook;
    return false;
  }
  Ref callback = Ref::steal(PyCFunction_New(&g_future_done_def, capsule.get()));
  if (!callback) return false;
  Ref added =
      Ref::steal(PyObject_CallMethodOneArg(future, names().add_done_callback, callback.get()));
  return static_cast<bool>(added);
}

}  // namespace

std::optional<Pending> Pending::create(CancelHook on_cancel) {
  std::optional<LoopHandle> loop = capture_loop();
  if (!loop) return std::nullopt;
  return create(*loop, std::move(on_cancel));
}

std::optional<Pending> Pending::create(const LoopHandle& loop, CancelHook on_cancel) {
  release_deferred_refs();
  Ref future = Ref::steal(PyObject_CallMethodNoArgs(loop.loop.get(), names().create_future));
  if (!future) return std::nullopt;
  if (on_cancel && !attach_cancel_hook(future.get(), std::move(on_cancel))) return std::nullopt;
  AnyThreadRef held(future.clone());
  return Pending{std::move(future), Completion(loop.channel, std::move(held))};
}

bool add_cancel_hook(PyObject* future, CancelHook on_cancel) {
  return attach_cancel_hook(future, std::move(on_cancel));
}

void run_on_loop(const ChannelPtr& channel, LoopTask task) {
  if (channel) channel->post(Delivery{{}, {}, std::move(task)});
}

// ---------------------------------------------------------------------------
// Converters

Converter error_outcome(fenwix::ControlError error) {
  return [error = std::move(error)]() -> PyObject* {
    Ref exception = to_pyerr(error);
    if (exception) PyErr_SetRaisedException(exception.release());
    return nullptr;
  };
}

Converter none_outcome(fenwix::Result<fenwix::Json> result) {
  if (!result) return error_outcome(std::move(result.error()));
  return []() -> PyObject* { return Py_NewRef(Py_None); };
}

Converter json_outcome(fenwix::Result<fenwix::Json> result) {
  if (!result) return error_outcome(std::move(result.error()));
  return value_outcome([value = std::move(*result)] { return json_to_py(value); });
}

BridgeStats bridge_stats() {
  std::uint64_t channels = 0;
  {
    ChannelRegistry& reg = registry();
    std::lock_guard lock(reg.mutex);
    channels = reg.by_loop.size();
  }
  return BridgeStats{g_wakeups.load(std::memory_order_relaxed),
                     g_drains.load(std::memory_order_relaxed), channels};
}

}  // namespace fenwix::py
