// The outbound client: URL and upgrade request, the connection attempt with
// its hello exchange, and the supervision loop that reconnects.
#include "fenwix/client/client.hpp"

#include <algorithm>
#include <cctype>
#include <mutex>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "fenwix/client/log.hpp"
#include "fenwix/client/quote.hpp"
#include "fenwix/client/runtime.hpp"
#include "deadline.hpp"
#include "session_io.hpp"
#include "socket_options.hpp"

namespace fenwix {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;

namespace {

constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);

ControlError config_error(std::string text) { return {error::Config{std::move(text)}}; }
ControlError websocket_error(std::string text) { return {error::WebSocket{std::move(text)}}; }

bool is_scheme_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

// Characters a registered host name or IPv4 address may hold in a URL.
bool is_host_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' ||
         c == '~' || c == '%' || c == '!' || c == '$' || c == '&' || c == '\'' || c == '(' ||
         c == ')' || c == '*' || c == '+' || c == ',' || c == ';' || c == '=' ||
         static_cast<unsigned char>(c) >= 0x80;
}

// Hex digits, colons, and the dots of an embedded IPv4 part.
bool is_ipv6_literal_char(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
}

// The path and query as they go into the request line "GET <target> HTTP/1.1".
// A byte that cannot stand there (a space, a control byte, anything beyond
// ASCII) is percent-encoded, as URL parsers do for paths and queries: written
// as it is, a space would split the request line and a CR LF would start a
// header of the URL's own choosing.
std::string request_target(std::string_view tail) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string target;
  target.reserve(tail.size() + 1);
  if (tail.empty() || tail[0] != '/') target += '/';
  for (const char c : tail) {
    const auto b = static_cast<unsigned char>(c);
    if (b > 0x20 && b < 0x7F) {
      target += c;
    } else {
      target += '%';
      target += kHex[b >> 4];
      target += kHex[b & 0x0F];
    }
  }
  return target;
}

// Splits a URL into the parts a WebSocket request needs. The error texts
// describe what is wrong with the URL.
std::expected<ClientRequest, std::string> parse_url(std::string_view url) {
  ClientRequest req;
  const auto colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0 ||
      !std::isalpha(static_cast<unsigned char>(url[0])) ||
      !std::all_of(url.begin(), url.begin() + colon, is_scheme_char))
    return std::unexpected("relative URL without a base");
  req.scheme.assign(url.substr(0, colon));
  std::ranges::transform(req.scheme, req.scheme.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::string_view rest = url.substr(colon + 1);
  if (!rest.starts_with("//")) return std::unexpected("empty host");
  rest.remove_prefix(2);
  const auto authority_end = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, authority_end);
  std::string_view tail = authority_end == std::string_view::npos ? "" : rest.substr(authority_end);
  if (const auto at = authority.rfind('@'); at != std::string_view::npos)
    authority.remove_prefix(at + 1);  // user information is not used

  std::string_view host;
  std::string_view port;
  if (authority.starts_with('[')) {
    const auto close = authority.find(']');
    if (close == std::string_view::npos) return std::unexpected("invalid IPv6 address");
    host = authority.substr(1, close - 1);
    // The address parser stops at a NUL byte, so "[::1<NUL>anything]" would
    // pass it: only the characters of an IPv6 literal may stand here.
    if (!std::all_of(host.begin(), host.end(), is_ipv6_literal_char))
      return std::unexpected("invalid IPv6 address");
    boost::system::error_code ec;
    asio::ip::make_address_v6(std::string(host), ec);
    if (ec) return std::unexpected("invalid IPv6 address");
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return std::unexpected("invalid IPv6 address");
      port = after.substr(1);
    }
  } else {
    const auto port_sep = authority.rfind(':');
    host = authority.substr(0, port_sep);
    if (port_sep != std::string_view::npos) port = authority.substr(port_sep + 1);
    if (!std::all_of(host.begin(), host.end(), is_host_char))
      return std::unexpected("invalid domain character");
  }
  if (host.empty()) return std::unexpected("empty host");
  if (!port.empty()) {
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](unsigned char c) {
          return std::isdigit(c);
        }) || std::stoul(std::string(port)) > 65535)
      return std::unexpected("invalid port number");
    req.port.assign(port);
  } else if (req.scheme == "ws") {
    req.port = "80";
  } else if (req.scheme == "wss") {
    req.port = "443";
  }
  req.host.assign(host);
  const auto fragment = tail.find('#');
  if (fragment != std::string_view::npos) tail = tail.substr(0, fragment);
  req.target = request_target(tail);
  return req;
}

// A header value may not hold control bytes other than the tab, nor DEL;
// bytes from 128 up (UTF-8 text) are allowed.
bool valid_header_value(std::string_view value) {
  return std::ranges::none_of(value, [](unsigned char c) {
    return (c < 32 && c != '\t') || c == 127;
  });
}

// The Host header: the port is written unless it is the scheme's default.
std::string host_header(const ClientRequest& req) {
  std::string host = req.host.find(':') != std::string::npos ? "[" + req.host + "]" : req.host;
  const bool default_port = (req.scheme == "ws" && req.port == "80") ||
                            (req.scheme == "wss" && req.port == "443");
  return default_port ? host : host + ":" + req.port;
}

// `deadline` is the one the attempt ran under, named when it was missed.
// A refused upgrade ends supervision only when the refusal is about the
// token (401, 403): retrying cannot help until someone changes it. Any other
// status (a proxy's 502/503 while the switch restarts, a 404 from a
// half-deployed route) says nothing about the token, and the switch may well
// come back, so supervision backs off and tries again.
bool is_final_refusal(const ControlError& error) {
  const auto* refused = error.as<error::HandshakeRejected>();
  return refused != nullptr && (refused->status == 401 || refused->status == 403);
}

ControlError transport_error(const boost::system::error_code& ec,
                             std::chrono::nanoseconds deadline) {
  if (ec == beast::error::timeout)
    return websocket_error("timed out connecting to the switch after " +
                           format_duration(deadline));
  return websocket_error(ec.message());
}

ControlError upgrade_error(const boost::system::error_code& ec,
                           const http::response<http::string_body>& res,
                           std::chrono::nanoseconds deadline) {
  if (ec == websocket::error::upgrade_declined)
    return {error::HandshakeRejected{static_cast<std::uint16_t>(res.result_int())}};
  if (ec == websocket::error::closed || ec == asio::error::eof ||
      ec == http::error::end_of_stream)
    return closed_error();
  return transport_error(ec, deadline);
}

}  // namespace

Result<ClientRequest> build_client_request(std::string_view url, std::string_view token) {
  auto req = parse_url(url);
  if (!req) return fail(config_error("invalid control url " + quote(url) + ": " + req.error()));
  req->authorization = "Bearer ";
  req->authorization.append(token);
  if (!valid_header_value(req->authorization))
    return fail(config_error("invalid token header: failed to parse header value"));
  req->subprotocol = std::string(kSubprotocol);
  return std::move(*req);
}

namespace detail {

class ClientShared : public std::enable_shared_from_this<ClientShared> {
 public:
  explicit ClientShared(ClientConfig config) : config_(std::move(config)) {}

  const ClientConfig& config() const { return config_; }

  SessionPtr current_session() const {
    std::lock_guard lock(current_mutex_);
    return current_;
  }

  std::uint64_t generation() const {
    std::lock_guard lock(current_mutex_);
    return generation_;
  }

  // Stores the session of a successful attempt, unless the client has been
  // shut down meanwhile: then the session is closed and false returned.
  bool adopt(const SessionPtr& session, std::uint64_t generation) {
    {
      std::lock_guard lock(current_mutex_);
      // shutdown() sets the flag before it takes the lock, so seeing it clear
      // here means shutdown() will find this session in the slot.
      if (!shutting_down_.load()) {
        current_ = session;
        generation_ = generation;
        return true;
      }
    }
    close_session(session);
    return false;
  }

  void clear_current(const SessionPtr& session) {
    std::lock_guard lock(current_mutex_);
    if (current_ == session) current_.reset();
  }

  // The replaced callback is released outside the lock.
  void install_event_callback(EventCallback callback) {
    auto installed = callback ? std::make_shared<const EventCallback>(std::move(callback)) : nullptr;
    std::lock_guard lock(callback_mutex_);
    callback_.swap(installed);
  }

  // Deliveries are serialised by a lock of their own, held while the callback
  // runs, so they never overlap; the callback is only copied under its lock,
  // so that installing or dropping one never waits for a delivery (and a
  // shutdown from inside a callback does not deadlock).
  void emit(ClientEvent event) {
    std::lock_guard delivering(delivery_mutex_);
    std::shared_ptr<const EventCallback> callback;
    {
      std::lock_guard lock(callback_mutex_);
      callback = callback_;
    }
    if (callback) (*callback)(std::move(event));
  }

  EventSink session_event_sink(std::uint64_t generation) {
    return std::make_shared<std::function<void(EventFrame, const SessionPtr&)>>(
        [self = shared_from_this(), generation](EventFrame frame, const SessionPtr&) {
          self->emit(client_event::Event{std::move(frame), generation});
        });
  }

  void shutdown() {
    shutting_down_.store(true);
    shutdown_event_.set();
    SessionPtr session;
    {
      std::lock_guard lock(current_mutex_);
      session = std::move(current_);
    }
    if (session) close_session(session);
    // Nothing can be delivered any more: closed sessions hand on no events and
    // the loop re-attaches nothing after a shutdown. Letting go of the
    // callback also breaks the cycle that a call model holding its calls
    // would make (callback -> facade -> handler -> calls -> commander -> this).
    install_event_callback(nullptr);
  }

  bool shutting_down() const { return shutting_down_.load(); }

  void send(std::optional<std::string> module, std::string_view verb, Json target, Json args,
            ReplyHandler done) {
    auto session = current_session();
    if (!session) return done(fail(closed_error()));
    session->send(std::move(module), verb, std::move(target), std::move(args), std::move(done));
  }

  asio::awaitable<Result<SessionPtr>> connect_and_handshake(std::uint64_t generation);
  asio::awaitable<Result<void>> run();

 private:
  static void close_session(const SessionPtr& session) {
    session->stop_writer();
    session->mark_closed();
  }

  template <class Ws>
  asio::awaitable<Result<SessionPtr>> upgrade_and_hello(std::shared_ptr<Ws> ws,
                                                        const ClientRequest& req,
                                                        std::chrono::nanoseconds deadline,
                                                        std::uint64_t generation);
  asio::awaitable<void> resync_and_reattach(const SessionPtr& session, std::uint64_t generation);
  std::shared_ptr<asio::ssl::context> tls_context();

  const ClientConfig config_;
  const IdCounter next_id_ = make_id_counter();

  mutable std::mutex current_mutex_;
  SessionPtr current_;
  std::uint64_t generation_ = 0;

  std::mutex delivery_mutex_;
  std::mutex callback_mutex_;
  std::shared_ptr<const EventCallback> callback_;

  AsyncEvent shutdown_event_;
  std::atomic<bool> shutting_down_{false};

  std::mutex tls_mutex_;
  std::shared_ptr<asio::ssl::context> tls_;
};

std::shared_ptr<asio::ssl::context> ClientShared::tls_context() {
  std::lock_guard lock(tls_mutex_);
  if (!tls_) {
    auto ctx = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
    ctx->set_default_verify_paths();
    ctx->set_verify_mode(asio::ssl::verify_peer);
    if (!config_.extra_ca_pem.empty()) {
      boost::system::error_code ec;
      ctx->add_certificate_authority(asio::buffer(config_.extra_ca_pem), ec);
    }
    tls_ = std::move(ctx);
  }
  return tls_;
}

template <class Ws>
asio::awaitable<Result<SessionPtr>> ClientShared::upgrade_and_hello(
    std::shared_ptr<Ws> ws, const ClientRequest& req, std::chrono::nanoseconds deadline,
    std::uint64_t generation) {
  ws->set_option(websocket::stream_base::decorator(
      [authorization = req.authorization](websocket::request_type& r) {
    r.set(http::field::authorization, authorization);
    r.set(http::field::sec_websocket_protocol, kSubprotocol);
    r.set(http::field::user_agent, "fenwix-control");
  }));
  websocket::response_type res;
  auto [ec] = co_await ws->async_handshake(res, host_header(req), req.target, kTuple);
  if (ec) co_return fail(upgrade_error(ec, res, deadline));
  if (res[http::field::sec_websocket_protocol] != kSubprotocol)
    co_return fail(websocket_error("the switch did not select the subprotocol " +
                                   quote(kSubprotocol)));
  beast::get_lowest_layer(*ws).expires_never();

  auto session =
      detail::spawn_session(ws, next_id_, config_.reply_timeout, session_event_sink(generation));
  auto reply = co_await session->send_command(
      std::nullopt, "hello", nullptr, hello_args(config_.app, config_.protocol));
  auto hello = [&]() -> Result<HelloResult> {
    if (!reply) return fail(std::move(reply.error()));
    auto parsed = HelloResult::from_json(*reply);
    if (!parsed) return fail({error::Handshake{"bad hello reply: " + parsed.error()}});
    if (parsed->subprotocol != kSubprotocol)
      return fail({error::Handshake{"server negotiated subprotocol " + quote(parsed->subprotocol) +
                                    ", expected " + quote(kSubprotocol)}});
    return std::move(*parsed);
  }();
  if (!hello) {
    // A connection whose hello failed is of no use: close it at once rather
    // than leave it delivering events until the switch hangs up.
    close_session(session);
    co_return fail(std::move(hello.error()));
  }
  log::info("control: handshake complete",
            {{"app", config_.app}, {"protocol", std::to_string(hello->protocol)}});
  co_return session;
}

asio::awaitable<Result<SessionPtr>> ClientShared::connect_and_handshake(std::uint64_t generation) {
  auto req = build_client_request(config_.url, config_.token);
  if (!req) co_return fail(std::move(req.error()));
  if (req->scheme != "ws" && req->scheme != "wss")
    co_return fail(websocket_error("URL error: unsupported URL scheme " + quote(req->scheme) +
                                   " (expected ws or wss)"));

  auto strand = asio::make_strand(runtime());
  tcp::resolver resolver(strand);
  auto [rec, endpoints] = co_await resolver.async_resolve(req->host, req->port, kTuple);
  if (rec) co_return fail(websocket_error(rec.message()));

  beast::tcp_stream stream(strand);
  const auto deadline = detail::upgrade_deadline();
  stream.expires_after(deadline);
  auto [cec, endpoint] = co_await stream.async_connect(endpoints, kTuple);
  if (cec) co_return fail(transport_error(cec, deadline));
  detail::enable_keepalive(stream.socket());
  stream.socket().set_option(tcp::no_delay(true));

  if (req->scheme == "ws") {
    auto ws = std::make_shared<websocket::stream<beast::tcp_stream>>(std::move(stream));
    co_return co_await upgrade_and_hello(ws, *req, deadline, generation);
  }

  auto ws = std::make_shared<websocket::stream<asio::ssl::stream<beast::tcp_stream>>>(
      std::move(stream), *tls_context());
  auto& tls = ws->next_layer();
  // Server name indication for host names; an address literal is not sent.
  boost::system::error_code not_an_address;
  asio::ip::make_address(req->host, not_an_address);
  if (not_an_address) SSL_set_tlsext_host_name(tls.native_handle(), req->host.c_str());
  tls.set_verify_callback(asio::ssl::host_name_verification(req->host));
  auto [tec] = co_await tls.async_handshake(asio::ssl::stream_base::client, kTuple);
  if (tec) co_return fail(transport_error(tec, deadline));
  co_return co_await upgrade_and_hello(ws, *req, deadline, generation);
}

asio::awaitable<void> ClientShared::resync_and_reattach(const SessionPtr& session,
                                                        std::uint64_t generation) {
  auto reply = co_await session->send_command(std::nullopt, "resync", nullptr, nullptr);
  if (!reply) {
    log::warn("control: resync after reconnect failed", {{"error", to_string(reply.error())}});
    co_return;
  }
  auto result = ResyncResult::from_json(*reply);
  if (!result) {
    log::warn("control: resync result unparseable", {{"error", result.error()}});
    co_return;
  }
  for (auto& snapshot : result->channels)
    emit(client_event::Reattached{std::move(snapshot), generation});
  emit(client_event::Resynced{generation});
  if (!result->channels.empty())
    log::info("control: reattached channels after reconnect",
              {{"count", std::to_string(result->channels.size())}});
}

asio::awaitable<Result<void>> ClientShared::run() {
  for (;;) {
    SessionPtr live = current_session();
    if (live && live->is_closed()) live.reset();
    if (!live) {
      if (shutting_down()) co_return Result<void>{};
      const std::uint64_t next_generation = generation() + 1;
      auto attempt = co_await connect_and_handshake(next_generation);
      if (attempt) {
        if (!adopt(*attempt, next_generation)) co_return Result<void>{};
        co_await resync_and_reattach(*attempt, next_generation);
        live = std::move(*attempt);
      } else if (is_final_refusal(attempt.error())) {
        co_return fail(std::move(attempt.error()));
      } else {
        log::warn("control: reconnect failed — backing off",
                  {{"error", to_string(attempt.error())}});
        asio::steady_timer backoff(co_await asio::this_coro::executor);
        backoff.expires_after(std::min<std::chrono::nanoseconds>(config_.reconnect_backoff,
                                                                 std::chrono::hours(24 * 365 * 100)));
        co_await (backoff.async_wait(asio::use_awaitable) || shutdown_event_.wait());
        if (shutting_down()) co_return Result<void>{};
        continue;
      }
    }
    co_await (live->wait_closed() || shutdown_event_.wait());
    if (shutting_down()) co_return Result<void>{};
    log::warn("control: connection closed — reconnecting");
    clear_current(live);
  }
}

}  // namespace detail

namespace {

// Sends each command on whichever session is live when it is issued.
class ClientCommander final : public CommandTransport {
 public:
  explicit ClientCommander(ControlClient client) : client_(std::move(client)) {}
  void send(std::optional<std::string> module, std::string_view verb, Json target, Json args,
            ReplyHandler done) override {
    client_.command(std::move(module), verb, std::move(target), std::move(args), std::move(done));
  }

 private:
  ControlClient client_;
};

}  // namespace

ControlClient::ControlClient(std::shared_ptr<detail::ClientShared> shared)
    : shared_(std::move(shared)),
      // When the last handle goes, nobody can use the connection any more.
      keeper_(nullptr, [weak = std::weak_ptr(shared_)](void*) {
        if (auto shared = weak.lock()) shared->shutdown();
      }) {}

ControlClient ControlClient::create(ClientConfig config) {
  return ControlClient(std::make_shared<detail::ClientShared>(std::move(config)));
}

namespace {

asio::awaitable<Result<void>> first_connection(std::shared_ptr<detail::ClientShared> shared) {
  auto session = co_await shared->connect_and_handshake(1);
  if (!session) co_return fail(std::move(session.error()));
  if (!shared->adopt(*session, 1)) co_return fail(closed_error());
  co_return Result<void>{};
}

}  // namespace

asio::awaitable<Result<void>> ControlClient::connect_first() const {
  return first_connection(shared_);
}

asio::awaitable<Result<ControlClient>> ControlClient::connect(ClientConfig config) {
  auto client = create(std::move(config));
  auto connected = co_await client.connect_first();
  if (!connected) co_return fail(std::move(connected.error()));
  co_return client;
}

namespace {

asio::awaitable<Result<void>> supervise(std::shared_ptr<detail::ClientShared> shared) {
  co_return co_await shared->run();
}

}  // namespace

// Not a coroutine itself: a coroutine body starts only when first resumed,
// by which time this handle may be gone, so the loop takes its reference to
// the state here. It holds the state, not a handle: the handles' keeper must
// still shut the client down, and so end this loop, when the last one goes.
asio::awaitable<Result<void>> ControlClient::run() const { return supervise(shared_); }

void ControlClient::shutdown() const { shared_->shutdown(); }
bool ControlClient::is_shut_down() const { return shared_->shutting_down(); }

TransportPtr ControlClient::commander() const { return std::make_shared<ClientCommander>(*this); }

void ControlClient::command(std::optional<std::string> module, std::string_view verb, Json target,
                            Json args, ReplyHandler done) const {
  shared_->send(std::move(module), verb, std::move(target), std::move(args), std::move(done));
}

void ControlClient::install_event_callback(EventCallback callback) const {
  shared_->install_event_callback(std::move(callback));
}

SessionPtr ControlClient::current_session() const { return shared_->current_session(); }
std::uint64_t ControlClient::generation() const { return shared_->generation(); }
const ClientConfig& ControlClient::config() const { return shared_->config(); }

}  // namespace fenwix
