// Small asynchronous primitives for coroutines on the runtime.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

namespace fenwix {

// A flag that, once set, stays set, with an asynchronous wait for it. Waits
// in progress and later waits all return once it is set. `set` and `is_set`
// are thread-safe; `wait` supports per-operation cancellation (so it can be
// raced with other waits with awaitable operators).
class AsyncEvent {
 public:
  AsyncEvent();
  ~AsyncEvent();
  AsyncEvent(const AsyncEvent&) = delete;
  AsyncEvent& operator=(const AsyncEvent&) = delete;

  void set();
  bool is_set() const noexcept { return set_.load(std::memory_order_acquire); }
  boost::asio::awaitable<void> wait();

 private:
  struct Waiters;
  std::atomic<bool> set_{false};
  std::shared_ptr<Waiters> waiters_;
};

// A first-come, first-served asynchronous mutex: waiting tasks queue in order
// without blocking a thread. A cancelled waiter leaves the queue; if the lock
// was handed to it at that very moment it passes it on.
class AsyncMutex {
 public:
  class Guard {
   public:
    Guard() = default;
    explicit Guard(AsyncMutex* m) : mutex_(m) {}
    Guard(Guard&& o) noexcept : mutex_(std::exchange(o.mutex_, nullptr)) {}
    Guard& operator=(Guard&& o) noexcept {
      if (this != &o) { release(); mutex_ = std::exchange(o.mutex_, nullptr); }
      return *this;
    }
    ~Guard() { release(); }
    void release() { if (mutex_) std::exchange(mutex_, nullptr)->unlock(); }
    explicit operator bool() const { return mutex_ != nullptr; }

   private:
    AsyncMutex* mutex_ = nullptr;
  };

  AsyncMutex();
  ~AsyncMutex();
  AsyncMutex(const AsyncMutex&) = delete;
  AsyncMutex& operator=(const AsyncMutex&) = delete;

  boost::asio::awaitable<Guard> lock();
  // Takes the lock only if it is free and nobody waits; never waits.
  Guard try_lock();

 private:
  struct State;
  void unlock();
  std::shared_ptr<State> state_;
};

}  // namespace fenwix
