// The per-call control server: listener, accept loop, upgrade with the
// bearer-token check, and one session per accepted connection.
#include "fenwix/client/server.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <mutex>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http.hpp>

#include "fenwix/client/log.hpp"
#include "fenwix/client/runtime.hpp"
#include "deadline.hpp"
#include "fenwix/proto/payloads.hpp"
#include "session_io.hpp"
#include "socket_options.hpp"
#include "upgrade_request.hpp"

namespace fenwix {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);

std::string endpoint_text(const tcp::endpoint& endpoint) {
  const auto address = endpoint.address();
  const auto port = std::to_string(endpoint.port());
  return address.is_v6() ? "[" + address.to_string() + "]:" + port
                         : address.to_string() + ":" + port;
}

// Accept failures that a moment's pause may cure (descriptor or memory
// exhaustion, a connection reset before it was accepted). They must not end
// the server: it would stop taking calls until restarted.
bool is_transient_accept_error(const boost::system::error_code& ec) {
  return ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
         ec == asio::error::no_memory || ec == asio::error::connection_aborted ||
         ec == asio::error::connection_reset || ec.value() == ENFILE || ec.value() == EPROTO ||
         ec.value() == EPERM || ec == asio::error::interrupted ||
         ec == asio::error::try_again;
}

}  // namespace

std::expected<SocketAddress, std::string> SocketAddress::parse(std::string_view text) {
  const std::unexpected<std::string> invalid("invalid socket address syntax");
  SocketAddress out;
  std::string_view host;
  std::string_view port;
  if (text.starts_with('[')) {
    const auto close = text.find("]:");
    if (close == std::string_view::npos) return invalid;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    out.v6 = true;
  } else {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos || text.find(':', colon + 1) != std::string_view::npos)
      return invalid;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (port.empty() || port.size() > 5) return invalid;
  // The address parsers stop at a NUL byte: "1.2.3.4<NUL>junk" would pass
  // them. Only the characters of an address literal may stand here.
  const auto literal_char = [v6 = out.v6](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) || c == '.' ||
           (v6 && (std::isxdigit(static_cast<unsigned char>(c)) || c == ':'));
  };
  if (!std::all_of(host.begin(), host.end(), literal_char)) return invalid;
  unsigned value = 0;
  auto [ptr, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (ec != std::errc{} || ptr != port.data() + port.size() || value > 65535) return invalid;
  out.port = static_cast<std::uint16_t>(value);
  boost::system::error_code parse_error;
  if (out.v6) {
    const auto address = asio::ip::make_address_v6(std::string(host), parse_error);
    if (parse_error || host.find('%') != std::string_view::npos) return invalid;
    out.ip = address.to_string();
  } else {
    // inet_pton's strict dotted-quad form: four decimal parts, no shortcuts.
    const auto address = asio::ip::make_address_v4(std::string(host), parse_error);
    if (parse_error || std::count(host.begin(), host.end(), '.') != 3) return invalid;
    out.ip = address.to_string();
  }
  return out;
}

std::string SocketAddress::to_string() const {
  return v6 ? "[" + ip + "]:" + std::to_string(port) : ip + ":" + std::to_string(port);
}

bool authorize_upgrade(std::optional<std::string_view> authorization, std::string_view token) {
  if (!authorization) return false;
  const std::string_view value = *authorization;
  for (unsigned char c : value)
    if (!((c >= 32 && c <= 126) || c == '\t')) return false;
  if (value.size() != token.size() + 7) return false;
  const std::string_view scheme = value.substr(0, 7);
  if (scheme != "Bearer " && scheme != "bearer ") return false;
  // Constant time for a given length: the position of the first difference
  // must not show in the timing.
  return CRYPTO_memcmp(value.data() + 7, token.data(), token.size()) == 0;
}

namespace detail {

class ServerState : public std::enable_shared_from_this<ServerState> {
 public:
  explicit ServerState(ServerConfig config)
      : config_(std::move(config)),
        strand_(asio::make_strand(runtime())),
        acceptor_(strand_) {}

  Result<void> bind() {
    boost::system::error_code ec;
    const auto address = asio::ip::make_address(config_.bind.ip, ec);
    const tcp::endpoint endpoint(address, config_.bind.port);
    if (!ec) acceptor_.open(endpoint.protocol(), ec);
    // Lets a restarted application rebind its port while connections of the
    // previous run linger in TIME_WAIT; a port another socket listens on is
    // still refused.
    if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_.bind(endpoint, ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      boost::system::error_code ignored;
      acceptor_.close(ignored);
      return fail({error::Config{"bind " + config_.bind.to_string() + ": " + ec.message()}});
    }
    return {};
  }

  Result<SocketAddress> local_addr() const {
    boost::system::error_code ec;
    const auto endpoint = acceptor_.local_endpoint(ec);
    if (ec) return fail({error::Config{ec.message()}});
    return SocketAddress{endpoint.address().to_string(), endpoint.port(),
                         endpoint.address().is_v6()};
  }

  void on_connection_event(ConnectionHandler handler) {
    std::lock_guard lock(handler_mutex_);
    handler_ = handler ? std::make_shared<const ConnectionHandler>(std::move(handler)) : nullptr;
  }

  void on_connection_closed(ConnectionClosedHandler handler) {
    std::lock_guard lock(handler_mutex_);
    closed_handler_ =
        handler ? std::make_shared<const ConnectionClosedHandler>(std::move(handler)) : nullptr;
  }

  // Runs on the acceptor's strand, so that several loops may share it.
  asio::awaitable<Result<void>> accept_loop() {
    auto self = shared_from_this();
    for (;;) {
      auto [ec, socket] = co_await acceptor_.async_accept(asio::make_strand(runtime()), kTuple);
      if (ec) {
        if (!is_transient_accept_error(ec))
          co_return fail({error::WebSocket{"accept: " + ec.message()}});
        if (log::enabled()) log::warn("control: accept failed — retrying", {{"error", ec.message()}});
        asio::steady_timer pause(strand_, std::chrono::milliseconds(50));
        co_await pause.async_wait(kTuple);
        continue;
      }
      std::shared_ptr<const ConnectionHandler> handler;
      std::shared_ptr<const ConnectionClosedHandler> closed_handler;
      {
        std::lock_guard lock(handler_mutex_);
        handler = handler_;
        closed_handler = closed_handler_;
      }
      auto executor = socket.get_executor();
      asio::co_spawn(executor,
                     drive_accepted(Connection{config_.token, config_.reply_timeout, next_id_,
                                               open_connections_, std::move(handler),
                                               std::move(closed_handler)},
                                    std::move(socket)),
                     asio::detached);
    }
  }

  const ServerConfig& config() const { return config_; }
  const asio::strand<asio::io_context::executor_type>& strand() const { return strand_; }
  std::size_t open_connections() const { return open_connections_->load(); }

 private:
  // What one accepted connection needs from the server, taken when it is
  // accepted. It holds no reference to the server itself, so a connection
  // does not keep the listener open.
  struct Connection {
    std::string token;
    std::chrono::nanoseconds reply_timeout;
    IdCounter next_id;
    std::shared_ptr<std::atomic<std::size_t>> open;
    std::shared_ptr<const ConnectionHandler> handler;
    std::shared_ptr<const ConnectionClosedHandler> closed_handler;
  };

  // Counts a connection from its accept until its task ends.
  struct OpenConnection {
    explicit OpenConnection(std::shared_ptr<std::atomic<std::size_t>> n) : n_(std::move(n)) { ++*n_; }
    ~OpenConnection() { --*n_; }
    std::shared_ptr<std::atomic<std::size_t>> n_;
  };

  static asio::awaitable<void> drive_accepted(Connection conn, tcp::socket socket) {
    OpenConnection counted(conn.open);
    boost::system::error_code ec;
    const auto remote = socket.remote_endpoint(ec);
    const std::string peer = ec ? std::string("unknown") : endpoint_text(remote);
    enable_keepalive(socket);
    socket.set_option(tcp::no_delay(true), ec);

    auto ws = std::make_shared<websocket::stream<beast::tcp_stream>>(std::move(socket));
    auto& stream = beast::get_lowest_layer(*ws);
    stream.expires_after(upgrade_deadline());
    const auto rejected = [&peer](const std::string& why) {
      if (log::enabled())
        log::debug("control: rejected per-call dial", {{"peer", peer}, {"error", why}});
    };

    beast::flat_buffer buffer;
    UpgradeParser parser;
    limit_upgrade_parser(parser);
    auto [rec, n] = co_await http::async_read(stream, buffer, parser, kTuple);
    if (rec) co_return rejected(rec.message());
    auto request = parser.release();

    if (!authorize_upgrade(authorization_of(request), conn.token)) {
      log::warn("control: per-call dial presented a bad/missing token");
      http::response<http::string_body> res{http::status::unauthorized, request.version()};
      res.set(http::field::content_type, "text/plain");
      res.set(http::field::connection, "close");
      res.body() = "unauthorized";
      res.prepare_payload();
      co_await http::async_write(stream, res, kTuple);
      stream.socket().shutdown(tcp::socket::shutdown_both, ec);
      co_return rejected("unauthorized: bad or missing bearer token");
    }

    ws->set_option(websocket::stream_base::decorator([](websocket::response_type& res) {
      res.set(http::field::sec_websocket_protocol, kSubprotocol);
      res.set(http::field::server, "fenwix-control");
    }));
    auto [aec] = co_await ws->async_accept(request, kTuple);
    if (aec) co_return rejected(aec.message());
    stream.expires_never();
    if (log::enabled()) log::info("control: per-call dial accepted", {{"peer", peer}});

    auto sink = std::make_shared<std::function<void(EventFrame, const SessionPtr&)>>(
        [handler = std::move(conn.handler)](EventFrame frame, const SessionPtr& session) {
          if (handler && *handler) (*handler)(std::move(frame), session);
        });
    auto session =
        spawn_session(ws, std::move(conn.next_id), conn.reply_timeout, std::move(sink));
    ws.reset();
    co_await session->wait_closed();
    if (log::enabled()) log::debug("control: per-call connection closed", {{"peer", peer}});
    if (conn.closed_handler && *conn.closed_handler) (*conn.closed_handler)(session);
  }

  const ServerConfig config_;
  const IdCounter next_id_ = make_id_counter();
  asio::strand<asio::io_context::executor_type> strand_;
  tcp::acceptor acceptor_;
  std::mutex handler_mutex_;
  std::shared_ptr<const ConnectionHandler> handler_;
  std::shared_ptr<const ConnectionClosedHandler> closed_handler_;
  std::shared_ptr<std::atomic<std::size_t>> open_connections_ =
      std::make_shared<std::atomic<std::size_t>>(0);
};

}  // namespace detail

ControlServer::ControlServer(std::shared_ptr<detail::ServerState> state) : state_(std::move(state)) {}
ControlServer::~ControlServer() = default;

Result<std::shared_ptr<ControlServer>> ControlServer::bind(ServerConfig config) {
  auto state = std::make_shared<detail::ServerState>(std::move(config));
  if (auto bound = state->bind(); !bound) return fail(std::move(bound.error()));
  return std::shared_ptr<ControlServer>(new ControlServer(std::move(state)));
}

Result<SocketAddress> ControlServer::local_addr() const { return state_->local_addr(); }

void ControlServer::on_connection_event(ConnectionHandler handler) {
  state_->on_connection_event(std::move(handler));
}

void ControlServer::on_connection_closed(ConnectionClosedHandler handler) {
  state_->on_connection_closed(std::move(handler));
}

namespace {

asio::awaitable<Result<void>> accept_on(std::shared_ptr<detail::ServerState> state) {
  if (log::enabled())
    log::info("control: per-call-connect server listening",
              {{"listen", state->config().bind.to_string()}, {"app", state->config().app}});
  co_return co_await asio::co_spawn(state->strand(), state->accept_loop(), asio::use_awaitable);
}

}  // namespace

// Not a coroutine itself, so that the loop holds the state from this call
// on: its body starts only later, when this object may be gone.
asio::awaitable<Result<void>> ControlServer::run() { return accept_on(state_); }

const ServerConfig& ControlServer::config() const { return state_->config(); }
std::size_t ControlServer::open_connections() const { return state_->open_connections(); }

}  // namespace fenwix
