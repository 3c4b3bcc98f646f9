// The outbound client: the application's supervised connection to the switch.
//
// `ControlClient::connect` makes the first connection (upgrade with the bearer
// token and the subprotocol, then hello). `run` supervises it: a lost
// connection is re-established at once, a failed attempt is retried after the
// fixed back-off, and after every reconnection `resync` reports the channels
// that survived, each delivered as a `ClientEvent` of kind Reattached. A
// refused upgrade (HTTP status) ends supervision. Commands go through
// whichever session is live when they are issued.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "fenwix/client/session.hpp"
#include "fenwix/proto/payloads.hpp"

namespace fenwix {

inline constexpr std::string_view kDefaultControlUrl = "ws://127.0.0.1:9090/control/ws";

struct ClientConfig {
  std::string url{kDefaultControlUrl};
  std::string app;
  std::string token;
  std::uint32_t protocol = 1;
  std::chrono::nanoseconds reply_timeout = std::chrono::seconds(10);
  std::chrono::nanoseconds reconnect_backoff = std::chrono::seconds(1);
  // An extra PEM trust anchor for wss, on top of the system trust store. Only
  // tests set it; the Python layer offers no way to.
  std::string extra_ca_pem;
};

// What the client delivers to its event callback.
namespace client_event {
// An event that arrived on the session of generation `generation`.
struct Event {
  EventFrame frame;
  std::uint64_t generation;
};
// A channel that survived a reconnection, from the resync of the session of
// generation `generation`.
struct Reattached {
  ChannelSnapshot snapshot;
  std::uint64_t generation;
};
// The resync of the session of generation `generation` succeeded and every
// surviving channel has been delivered: channels announced on earlier
// sessions and not re-attached can never be fed again.
struct Resynced {
  std::uint64_t generation;
};
}  // namespace client_event

using ClientEvent =
    std::variant<client_event::Event, client_event::Reattached, client_event::Resynced>;
using EventCallback = std::function<void(ClientEvent)>;

// The upgrade request of an outbound connection.
struct ClientRequest {
  std::string scheme;  // as written in the URL, lower-cased
  std::string host;    // without brackets for IPv6 literals
  std::string port;    // decimal; the scheme's default when the URL has none
  std::string target;  // path and query, "/" when empty
  std::string authorization;  // "Bearer " + token
  std::string subprotocol;    // "fenwix-control.v1"
};

// Builds the upgrade request from the control URL and the token. Fails with
// `Config` for a URL that is not a valid URI with a host, or a token that
// cannot be a header value (a control byte other than tab, or 127). The scheme
// is checked only when connecting.
Result<ClientRequest> build_client_request(std::string_view url, std::string_view token);

namespace detail {
class ClientShared;
}

class ControlClient {
 public:
  // One connection attempt (upgrade and hello), no retry, no resync.
  static boost::asio::awaitable<Result<ControlClient>> connect(ClientConfig config);

  // A client that has not connected yet, so that an event callback can be
  // installed before the first connection: events the switch pushes right
  // after hello then reach it.
  static ControlClient create(ClientConfig config);
  // The first connection of a client made by `create`: one attempt, no
  // retry, no resync.
  boost::asio::awaitable<Result<void>> connect_first() const;

  // The supervision loop. Ends with success after `shutdown`, or with
  // `HandshakeRejected` when a reconnection's upgrade is refused because of
  // the token (401 or 403); other refusals are retried like any failed
  // attempt. Cancelling
  // the coroutine stops supervision only; the live session stays up. The
  // loop is not a handle: dropping the last handle while it runs shuts the
  // client down and so ends it.
  boost::asio::awaitable<Result<void>> run() const;

  // Stops supervision and closes the live session (its writer sends a Close
  // frame; its pending commands fail with the closed error). Never waits.
  // A session that an attempt in progress opens afterwards is closed too.
  // The event callback is dropped: nothing is delivered after a shutdown.
  void shutdown() const;
  bool is_shut_down() const;

  // A transport that sends each command on whichever session is live when it
  // is issued, or fails at once with the closed error when none is.
  TransportPtr commander() const;
  void command(std::optional<std::string> module, std::string_view verb, Json target, Json args,
               ReplyHandler done) const;

  // Installs or replaces the event callback. It runs with the callback lock
  // held, so deliveries never overlap; it must not install a callback itself.
  void install_event_callback(EventCallback callback) const;

  // The session in the current slot, closed or not.
  SessionPtr current_session() const;
  // The generation of the current session: 1 for the first connection, one
  // more for every successful reconnection.
  std::uint64_t generation() const;

  const ClientConfig& config() const;

 private:
  explicit ControlClient(std::shared_ptr<detail::ClientShared> shared);
  std::shared_ptr<detail::ClientShared> shared_;
  // Shared by all copies of this handle; the last one shuts the client down.
  std::shared_ptr<void> keeper_;
};

}  // namespace fenwix
