// In-process WebSocket peers for the transport tests: a scriptable fake
// switch for the outbound client, and fake dialers for the per-call server.
//
// The peers run on an io_context and thread of their own, apart from the
// library's runtime, so a fault in the library cannot stall them. Every
// method is thread-safe and every wait is bounded. This header keeps Beast
// out of the test files; it lives in peer.cpp alone.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fenwix/client/client.hpp"
#include "fenwix/proto/json.hpp"
#include "support.hpp"

namespace fenwix::test {

// An HTTP upgrade request as the fake switch received it.
struct UpgradeRequest {
  std::string method;
  std::string target;
  std::map<std::string, std::string> headers;  // names lower-cased

  std::optional<std::string> header(std::string_view name) const;
};

// How the fake switch answers an upgrade request.
struct UpgradeAnswer {
  unsigned status = 101;     // anything else: that status, with `body`, no upgrade
  std::string body;
  bool subprotocol = true;   // select "fenwix-control.v1" in the 101 answer
  bool stall = false;        // read the request and never answer it
};

// How a connection ended, as the fake side saw it.
struct Ending {
  bool close_frame = false;       // the other side sent a close frame
  std::optional<int> close_code;  // its status code, if it carried one
  std::string error;              // otherwise: the read error that ended it
};

// One upgraded WebSocket connection of a fake peer. Destroying the handle
// drops the connection.
class PeerConnection {
 public:
  struct Impl;
  explicit PeerConnection(std::shared_ptr<Impl> impl);
  ~PeerConnection();

  // The upgrade request (fake switch side only; empty for a dialer).
  UpgradeRequest request() const;

  void send_text(std::string text);
  void send_json(const Json& frame) { send_text(frame.dump()); }
  void send_binary(std::string data);
  // Writes bytes straight to the connection, below the WebSocket framing.
  void send_raw(std::string bytes);
  // Sends a close frame with this status code (0: no status code).
  void close(int code = 1000);
  // Ends the TCP connection at once, without a close frame.
  void drop();

  // The next text message the other side sent, in order.
  std::optional<std::string> next_text(Millis limit = kWait);
  // The next text message that parses as a command with `verb`; messages
  // before it are skipped (they stay in `texts()`).
  std::optional<Json> next_command(std::string_view verb, Millis limit = kWait);
  // Every text message received so far.
  std::vector<std::string> texts() const;

  // Waits until the connection has ended.
  std::optional<Ending> wait_ended(Millis limit = kWait);
  bool ended() const;

 private:
  std::shared_ptr<Impl> impl_;
};

// A reply frame for `command` with status "ok" and this result.
Json ok_reply(const Json& command, Json result = nullptr);
// A reply frame for `command` with status "error".
Json error_reply(const Json& command, std::string_view code, std::string_view message);

// A throwaway certificate authority and a server certificate it issued for
// 127.0.0.1 and localhost, all PEM.
struct TlsIdentity {
  std::string ca_pem;
  std::string cert_pem;
  std::string key_pem;
};
// Generated once per process (key generation is not free).
const TlsIdentity& test_tls_identity();

// The fake switch: listens on 127.0.0.1 (an ephemeral port), answers upgrades
// as scripted, answers "hello" and "resync" by default, records every frame.
class FakeSwitch {
 public:
  // Answers one command frame: the reply to send, or nullopt for none.
  using Responder = std::function<std::optional<Json>(const Json& command)>;

  // With `tls`, the switch speaks wss with that identity's certificate.
  explicit FakeSwitch(const TlsIdentity* tls = nullptr);
  ~FakeSwitch();
  FakeSwitch(const FakeSwitch&) = delete;
  FakeSwitch& operator=(const FakeSwitch&) = delete;

  std::uint16_t port() const;
  // "ws://127.0.0.1:<port><path>" (or wss).
  std::string url(std::string_view path = "/control/ws") const;

  // The answer given to upgrades from now on.
  void set_upgrade_answer(UpgradeAnswer answer);
  // Replaces the responder for `verb` (nullptr: record only, never answer).
  // By default "hello" is answered with a valid result echoing the app and
  // protocol, and "resync" with {"channels": []}.
  void respond(std::string verb, Responder responder);
  // Answers "resync" with these channels (a JSON array).
  void resync_channels(Json channels);

  // The n-th upgraded connection (0-based), once it exists.
  std::shared_ptr<PeerConnection> connection(std::size_t n, Millis limit = kWait);
  std::size_t connection_count() const;
  // The upgrade requests received so far (answered or not).
  std::vector<UpgradeRequest> requests() const;
  bool wait_requests(std::size_t n, Millis limit = kWait) const;
  // TCP connections accepted so far (upgraded or not).
  std::size_t accepted() const;

  // Stops listening and drops every connection without a close frame.
  void stop();
  // Listens again on the same port.
  void restart();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

// A client config aimed at `sw`: app "demo", token "t0k", and a reply
// time-out and back-off short enough for a test to wait out.
inline ClientConfig config_for(const FakeSwitch& sw) {
  ClientConfig c;
  c.url = sw.url();
  c.app = "demo";
  c.token = "t0k";
  c.reply_timeout = std::chrono::seconds(5);
  c.reconnect_backoff = std::chrono::milliseconds(50);
  return c;
}

// What a fake dialer got back from the per-call server.
struct DialResult {
  unsigned status = 0;                         // 101 when upgraded
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;
  std::string error;                           // transport failure, if any
  std::shared_ptr<PeerConnection> connection;  // when upgraded

  std::optional<std::string> header(std::string_view name) const;
};

// Dials ws://127.0.0.1:<port>/call like the switch does: an upgrade with
// this "Authorization" header (none when nullopt) and, when given, a
// requested subprotocol.
DialResult dial(std::uint16_t port, std::optional<std::string> authorization,
                std::optional<std::string> subprotocol = "fenwix-control.v1",
                Millis limit = kWait);

// A plain TCP client for requests that no WebSocket library would send:
// byte by byte, stalled, oversized.
class RawDialer {
 public:
  explicit RawDialer(std::uint16_t port);
  ~RawDialer();
  RawDialer(const RawDialer&) = delete;
  RawDialer& operator=(const RawDialer&) = delete;

  bool connected() const { return fd_ >= 0; }
  // False once the server has closed the connection.
  bool write(std::string_view bytes);
  // Writes one byte at a time with `gap` between them; stops early (false)
  // once writing fails.
  bool write_slowly(std::string_view bytes, Millis gap);
  // Reads until `marker` has arrived or the connection ends.
  std::string read_until(std::string_view marker, Millis limit = kWait);
  // Reads until the server closes the connection; nullopt if it has not
  // within `limit`.
  std::optional<std::string> read_until_closed(Millis limit = kWait);

 private:
  int fd_ = -1;
};

// An upgrade request for /call with the given "Authorization" header.
std::string upgrade_request_text(std::optional<std::string_view> authorization,
                                 std::string_view extra_headers = "");

}  // namespace fenwix::test
