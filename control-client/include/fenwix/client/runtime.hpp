// The process-wide background runtime.
//
// One io_context, run by a small pool of threads, carries every connection,
// timer and background task of the library. It is created on first use and
// deliberately never destroyed: at process exit its threads may still be
// running, and no destructor may race with them.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>

namespace fenwix {

namespace asio = boost::asio;

// The runtime's io_context; its threads are started on the first call.
asio::io_context& runtime();
inline asio::io_context::executor_type runtime_executor() { return runtime().get_executor(); }

// A separate pool for work that may block (application handlers written as
// plain functions), so that a slow handler never stalls network I/O.
asio::thread_pool& blocking_pool();

// Blocks every signal in the calling thread, for threads of the library's
// own: process signals (SIGINT above all) belong to the application's main
// thread, and a thread inherits the mask of the thread that creates it.
void block_all_signals();

}  // namespace fenwix
