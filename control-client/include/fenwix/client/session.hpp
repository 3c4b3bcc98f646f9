// The shared state of one WebSocket connection's session.
//
// `SessionCore` draws command ids, remembers which commands wait for a reply,
// bounds each wait with the reply time-out, hands replies to their waiters and
// records that the connection ended. The reader and writer tasks that move the
// frames live in the transport's sources; `spawn_session` starts them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include <boost/asio/awaitable.hpp>

#include "fenwix/client/transport.hpp"
#include "fenwix/proto/frames.hpp"

namespace fenwix {

// The command-id counter of an outbound client or a server, shared by all of
// its sessions so that ids are never reused while the owner lives. It starts
// at 1; the id of a command is "c-" followed by the counter's previous value.
using IdCounter = std::shared_ptr<std::atomic<std::uint64_t>>;
IdCounter make_id_counter();

namespace detail {
class SessionState;  // queue, pending table and timer; defined in the sources
}

class SessionCore final : public CommandTransport,
                          public std::enable_shared_from_this<SessionCore> {
 public:
  // Created only by spawn_session.
  explicit SessionCore(std::shared_ptr<detail::SessionState> state);
  ~SessionCore() override;
  SessionCore(const SessionCore&) = delete;
  SessionCore& operator=(const SessionCore&) = delete;

  // Sends one command on this session. Fails at once with the closed error
  // (nothing written, no id drawn) when the session is closed, with the
  // serialization error when the frame cannot be written, with the closed
  // error when the session closes while waiting, and with the time-out error
  // when no reply comes within the reply time-out (counted from queueing).
  void send(std::optional<std::string> module, std::string_view verb, Json target, Json args,
            ReplyHandler done) override;

  // Coroutine form of `send`.
  boost::asio::awaitable<Result<Json>> send_command(std::optional<std::string> module,
                                                    std::string_view verb, Json target,
                                                    Json args) {
    return command(std::move(module), verb, std::move(target), std::move(args));
  }

  // Hands a parsed reply to its waiting command; a reply for an id nobody
  // waits for is logged at DEBUG and dropped. Called by the reader.
  void route_reply(ReplyFrame reply);

  // Marks the session closed, once: every waiting command fails at once with
  // the closed error and every `wait_closed` returns. Idempotent, thread-safe.
  void mark_closed();

  bool is_closed() const noexcept;

  // Returns once the session is closed (at once if it already is).
  boost::asio::awaitable<void> wait_closed();

  // Asks the writer to send a Close frame and stop. Sticky: a writer busy
  // sending when this is called stops as soon as it finishes that message.
  void stop_writer();

  // Number of commands waiting for a reply (for tests and leak checks).
  std::size_t pending_count() const;

  std::chrono::nanoseconds reply_timeout() const noexcept;

 private:
  std::shared_ptr<detail::SessionState> state_;
};

using SessionPtr = std::shared_ptr<SessionCore>;

// Receives each event of a session, in arrival order, on the session's reader
// task, together with the session itself. It must return promptly: the reader
// reads nothing while it runs.
using EventSink = std::shared_ptr<std::function<void(EventFrame, const SessionPtr&)>>;

}  // namespace fenwix
