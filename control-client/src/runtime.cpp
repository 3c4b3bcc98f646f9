#include "fenwix/client/runtime.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>

namespace fenwix {
namespace {

constexpr unsigned kNetworkThreads = 2;
constexpr unsigned kBlockingThreads = 16;

}  // namespace

void block_all_signals() {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

asio::io_context& runtime() {
  // Leaked on purpose: see the header. The work guard lives in the same
  // allocation as the context, so that leak checkers, which see the context
  // still referenced, do not report it.
  struct Runtime {
    asio::io_context io{static_cast<int>(kNetworkThreads)};
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  };
  static asio::io_context* const context = [] {
    auto* io = &(new Runtime)->io;
    for (unsigned i = 0; i < kNetworkThreads; ++i) {
      std::thread([io] {
        block_all_signals();
        io->run();
      }).detach();
    }
    return io;
  }();
  return *context;
}

asio::thread_pool& blocking_pool() {
  // The pool's threads inherit the mask of the thread that first asks for
  // the pool, which may be the application's main thread: block every
  // signal while they are made, then give that thread its mask back.
  static asio::thread_pool* const pool = [] {
    sigset_t previous;
    pthread_sigmask(SIG_SETMASK, nullptr, &previous);
    block_all_signals();
    auto* made = new asio::thread_pool(kBlockingThreads);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return made;
  }();
  return *pool;
}

}  // namespace fenwix
