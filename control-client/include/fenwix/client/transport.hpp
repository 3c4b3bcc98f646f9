// The one operation everything above the transport uses to talk to the
// switch: send a command and get its reply's result or an error.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <functional>

#include <boost/asio/awaitable.hpp>

#include "fenwix/proto/error.hpp"
#include "fenwix/proto/json.hpp"

namespace fenwix {

// Receives the outcome of one command exactly once: the reply's result (null
// when the reply had none) or the error. It runs on whichever thread decides
// the outcome: a runtime thread for replies and time-outs, the caller's own
// thread when the command fails at once (no connection) or when the caller
// closes the session. It must be quick and must not block.
using ReplyHandler = std::move_only_function<void(Result<Json>)>;

class CommandTransport {
 public:
  virtual ~CommandTransport() = default;

  // Sends one command: module (absent: no "module" key), verb, target and
  // args. Never blocks; `done` runs exactly once. Thread-safe.
  virtual void send(std::optional<std::string> module, std::string_view verb, Json target,
                    Json args, ReplyHandler done) = 0;

  // The same as a coroutine. The command is not withdrawn if the coroutine is
  // cancelled; its reply is then discarded.
  boost::asio::awaitable<Result<Json>> command(std::optional<std::string> module,
                                               std::string_view verb, Json target, Json args);
};

using TransportPtr = std::shared_ptr<CommandTransport>;

}  // namespace fenwix
