// The per-call control server: the switch dials the application, and every
// accepted WebSocket connection carries exactly one call.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "fenwix/client/session.hpp"

namespace fenwix {

// A literal socket address: an IPv4 address with a port ("127.0.0.1:0") or a
// bracketed IPv6 address with a port ("[::1]:9000"). Host names are not
// resolved.
struct SocketAddress {
  std::string ip;  // without brackets
  std::uint16_t port = 0;
  bool v6 = false;

  // Fails with "invalid socket address syntax".
  static std::expected<SocketAddress, std::string> parse(std::string_view text);
  // "1.2.3.4:5" or "[::1]:5".
  std::string to_string() const;
  friend bool operator==(const SocketAddress&, const SocketAddress&) = default;
};

struct ServerConfig {
  std::string app;
  std::string token;
  SocketAddress bind{"0.0.0.0", 8790, false};
  std::chrono::nanoseconds reply_timeout = std::chrono::seconds(10);
};

// Receives every event of every accepted connection, with that connection's
// session as the transport for the call it announces. Runs on the
// connection's reader task; events of one connection arrive in order.
using ConnectionHandler = std::function<void(EventFrame, TransportPtr)>;
// Told once a connection's session has closed, after its last event.
using ConnectionClosedHandler = std::function<void(const TransportPtr&)>;

// The judgement on one upgrade request's "Authorization" header (nullopt when
// the request has none): true only for exactly "Bearer " or "bearer " followed
// by the token, compared in constant time for a given length, and only when
// every byte is visible ASCII or a tab.
bool authorize_upgrade(std::optional<std::string_view> authorization, std::string_view token);

namespace detail {
class ServerState;
}

class ControlServer {
 public:
  // Binds the listener. Fails with `Config` "bind " + address + ": " + the
  // socket error's text.
  static Result<std::shared_ptr<ControlServer>> bind(ServerConfig config);
  ~ControlServer();

  // The listener's actual address (the assigned port for port 0).
  Result<SocketAddress> local_addr() const;

  void on_connection_event(ConnectionHandler handler);
  void on_connection_closed(ConnectionClosedHandler handler);

  // The accept loop; ends only with an error (or when cancelled). Accepted
  // connections run on their own tasks and outlive the loop.
  boost::asio::awaitable<Result<void>> run();

  const ServerConfig& config() const;
  // Connections whose upgrade is still in progress or whose session is open.
  std::size_t open_connections() const;

 private:
  explicit ControlServer(std::shared_ptr<detail::ServerState> state);
  std::shared_ptr<detail::ServerState> state_;
};

}  // namespace fenwix
