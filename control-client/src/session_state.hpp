// The state a session's users and its reader and writer share.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include "fenwix/client/async.hpp"
#include "fenwix/client/runtime.hpp"
#include "fenwix/client/session.hpp"

namespace fenwix::detail {

using Clock = std::chrono::steady_clock;

// The queue of outbound text messages. Producers never touch the socket:
// they append here and wake the writer when it sleeps.
class OutboundQueue {
 public:
  OutboundQueue() : wake_(runtime_executor(), 1) {}

  // False when the writer will never send again (the queue is closed).
  bool push(std::string message);
  // Ends the writer once it has finished the message it may be sending.
  void request_stop();
  // No producer is left: the writer ends, like after a stop request.
  void close();

  // For the writer: moves the queued messages into `batch`; returns false
  // when the writer must stop. With nothing queued it marks the writer idle,
  // so the next push wakes it.
  bool take(std::vector<std::string>& batch);
  bool stop_requested() const;
  asio::experimental::concurrent_channel<void(boost::system::error_code)>& wake() { return wake_; }

 private:
  std::mutex mutex_;
  std::vector<std::string> messages_;
  bool writer_idle_ = false;
  // A stop request or the close: sticky. Written under the mutex; the writer
  // reads it once per message without taking the mutex.
  std::atomic<bool> stopped_{false};
  asio::experimental::concurrent_channel<void(boost::system::error_code)> wake_;
};

// Pending commands and their reply deadlines. All commands of a session have
// the same time-out and deadlines are taken under the lock, so deadlines are
// ordered as commands are inserted: one FIFO of deadlines and one timer per
// session replace a timer per command.
class SessionState : public std::enable_shared_from_this<SessionState> {
 public:
  SessionState(IdCounter next_id, std::chrono::nanoseconds reply_timeout);

  const IdCounter next_id;
  const std::chrono::nanoseconds reply_timeout;
  const std::shared_ptr<OutboundQueue> outbound = std::make_shared<OutboundQueue>();
  AsyncEvent closed_event;
  std::atomic<bool> closed{false};

  // Registers a command waiting for its reply, taking `done` from the caller;
  // returns false, leaving `done` with the caller, if the session closed.
  bool add_pending(std::uint64_t id, ReplyHandler& done);
  // Removes a pending command, giving back its handler if it was there.
  std::optional<ReplyHandler> take_pending(std::uint64_t id);
  // Removes every pending command (the session closed).
  std::vector<ReplyHandler> take_all_pending();
  std::size_t pending_count() const;

 private:
  void arm_timer(Clock::time_point when);
  void on_timer();

  mutable std::mutex pending_mutex_;
  std::unordered_map<std::uint64_t, ReplyHandler> pending_;
  std::deque<std::pair<Clock::time_point, std::uint64_t>> deadlines_;
  bool timer_armed_ = false;
  asio::strand<asio::io_context::executor_type> timer_strand_;
  asio::steady_timer timer_;
};

// Handles one inbound text message: routes a reply, hands an event to the
// sink, logs and drops everything else. Never ends the session. Events that
// arrive once the session is marked closed are dropped.
void dispatch_text(std::string_view text, const SessionPtr& core, const EventSink& sink);

}  // namespace fenwix::detail
