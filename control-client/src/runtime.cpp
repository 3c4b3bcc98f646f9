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

// Runtime threads must never receive process signals: the interpreter expects
// SIGINT and friends on its main thread.
void block_all_signals() {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

}  // namespace

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
  // Asio blocks signals in the pool's threads while it creates them.
  static asio::thread_pool* const pool = new asio::thread_pool(kBlockingThreads);
  return *pool;
}

}  // namespace fenwix
