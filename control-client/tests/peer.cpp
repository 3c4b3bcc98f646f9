// The fake switch and the fake dialers, built on Beast. This is the only test
// translation unit that includes Beast.
#include "peer.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

namespace fenwix::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

namespace {

constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);
constexpr std::string_view kSubprotocolName = "fenwix-control.v1";

// The peers' own io_context, run by one thread: everything a peer does runs
// there, one handler at a time, so the peers need no locking among
// themselves; only the state the test thread reads is locked.
asio::io_context& peer_io() {
  // Never destroyed, like the library's runtime; the work guard shares the
  // context's allocation so that leak checkers see it referenced.
  struct Peer {
    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  };
  static asio::io_context* const io = [] {
    auto* context = &(new Peer)->io;
    std::thread([context] { context->run(); }).detach();
    return context;
  }();
  return *io;
}

// Runs `f` on the peer thread and waits for it. Called from test threads only.
template <class F>
void on_peer_thread(F&& f) {
  std::promise<void> done;
  auto finished = done.get_future();
  asio::post(peer_io(), [&] {
    f();
    done.set_value();
  });
  finished.wait();
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::ranges::transform(out, out.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

template <class Fields>
std::map<std::string, std::string> header_map(const Fields& fields) {
  std::map<std::string, std::string> out;
  for (const auto& field : fields) out[lower(field.name_string())] = std::string(field.value());
  return out;
}

std::optional<std::string> find_header(const std::map<std::string, std::string>& headers,
                                       std::string_view name) {
  auto it = headers.find(lower(name));
  if (it == headers.end()) return std::nullopt;
  return it->second;
}

}  // namespace

std::optional<std::string> UpgradeRequest::header(std::string_view name) const {
  return find_header(headers, name);
}

std::optional<std::string> DialResult::header(std::string_view name) const {
  return find_header(headers, name);
}

// --- PeerConnection ------------------------------------------------------------

struct PeerConnection::Impl : std::enable_shared_from_this<PeerConnection::Impl> {
  virtual ~Impl() = default;

  // The part the test thread reads.
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> texts;
  std::size_t cursor = 0;
  std::optional<Ending> ending;
  UpgradeRequest request;

  // Runs on the peer thread for every text message, after it is recorded.
  std::function<void(Impl&, const std::string&)> on_text;

  struct Outgoing {
    enum Kind { Text, Binary, Close, Raw } kind;
    std::string data;
    int code = 0;
  };
  // Peer thread only.
  virtual void enqueue(Outgoing out) = 0;
  virtual void drop_now() = 0;

  void post(Outgoing out) {
    asio::post(peer_io(), [self = shared_from_this(), out = std::move(out)]() mutable {
      self->enqueue(std::move(out));
    });
  }

  void record_text(std::string text) {
    {
      std::lock_guard lock(mutex);
      texts.push_back(text);
      changed.notify_all();
    }
    if (on_text) on_text(*this, text);
  }

  void record_end(Ending end) {
    std::lock_guard lock(mutex);
    if (!ending) ending = std::move(end);
    changed.notify_all();
  }
};

namespace {

template <class Ws>
struct WsConnection final : PeerConnection::Impl {
  explicit WsConnection(std::shared_ptr<Ws> socket) : ws(std::move(socket)) {}

  std::shared_ptr<Ws> ws;
  std::deque<Outgoing> outbox;
  bool writing = false;

  std::shared_ptr<WsConnection> self() {
    return std::static_pointer_cast<WsConnection>(shared_from_this());
  }

  void start() {
    ws->auto_fragment(false);
    ws->read_message_max(64 * 1024 * 1024);
    asio::co_spawn(peer_io(), read_loop(self()), asio::detached);
  }

  static asio::awaitable<void> read_loop(std::shared_ptr<WsConnection> self) {
    beast::flat_buffer buffer;
    for (;;) {
      auto [ec, n] = co_await self->ws->async_read(buffer, kTuple);
      if (ec) {
        Ending end;
        if (ec == websocket::error::closed) {
          end.close_frame = true;
          const auto code = self->ws->reason().code;
          if (code != websocket::close_code::none) end.close_code = static_cast<int>(code);
        } else {
          end.error = ec.message();
        }
        self->record_end(std::move(end));
        co_return;
      }
      if (self->ws->got_text()) self->record_text(beast::buffers_to_string(buffer.data()));
      buffer.consume(buffer.size());
    }
  }

  void enqueue(Outgoing out) override {
    outbox.push_back(std::move(out));
    if (!writing) {
      writing = true;
      asio::co_spawn(peer_io(), write_loop(self()), asio::detached);
    }
  }

  static asio::awaitable<void> write_loop(std::shared_ptr<WsConnection> self) {
    while (!self->outbox.empty()) {
      auto out = std::move(self->outbox.front());
      self->outbox.pop_front();
      if (out.kind == Outgoing::Raw) {
        co_await asio::async_write(self->ws->next_layer(), asio::buffer(out.data), kTuple);
      } else if (out.kind == Outgoing::Close) {
        websocket::close_reason reason;
        if (out.code != 0) reason = websocket::close_reason(static_cast<std::uint16_t>(out.code));
        co_await self->ws->async_close(reason, kTuple);
      } else {
        self->ws->text(out.kind == Outgoing::Text);
        co_await self->ws->async_write(asio::buffer(out.data), kTuple);
      }
    }
    self->writing = false;
  }

  void drop_now() override {
    auto& socket = beast::get_lowest_layer(*ws).socket();
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
  }
};

}  // namespace

PeerConnection::PeerConnection(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
PeerConnection::~PeerConnection() {
  // Nobody can use the connection any more: do not leave it open behind the
  // test's back.
  asio::post(peer_io(), [impl = impl_] { impl->drop_now(); });
}

UpgradeRequest PeerConnection::request() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->request;
}

void PeerConnection::send_text(std::string text) {
  impl_->post({Impl::Outgoing::Text, std::move(text)});
}

void PeerConnection::send_binary(std::string data) {
  impl_->post({Impl::Outgoing::Binary, std::move(data)});
}

void PeerConnection::send_raw(std::string bytes) {
  impl_->post({Impl::Outgoing::Raw, std::move(bytes)});
}

void PeerConnection::close(int code) { impl_->post({Impl::Outgoing::Close, {}, code}); }

void PeerConnection::drop() {
  asio::post(peer_io(), [impl = impl_] { impl->drop_now(); });
}

std::optional<std::string> PeerConnection::next_text(Millis limit) {
  std::unique_lock lock(impl_->mutex);
  if (!impl_->changed.wait_for(lock, limit, [&] { return impl_->cursor < impl_->texts.size(); }))
    return std::nullopt;
  return impl_->texts[impl_->cursor++];
}

std::optional<Json> PeerConnection::next_command(std::string_view verb, Millis limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
    auto text = next_text(std::max(left, Millis(0)));
    if (!text) return std::nullopt;
    auto frame = parse_json(*text);
    if (frame && frame->is_object() && frame->value("verb", "") == verb) return std::move(*frame);
  }
}

std::vector<std::string> PeerConnection::texts() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->texts;
}

std::optional<Ending> PeerConnection::wait_ended(Millis limit) {
  std::unique_lock lock(impl_->mutex);
  impl_->changed.wait_for(lock, limit, [&] { return impl_->ending.has_value(); });
  return impl_->ending;
}

bool PeerConnection::ended() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->ending.has_value();
}

Json ok_reply(const Json& command, Json result) {
  Json reply = {{"id", command.at("id")}, {"type", "reply"}, {"status", "ok"}};
  if (!result.is_null()) reply["result"] = std::move(result);
  return reply;
}

Json error_reply(const Json& command, std::string_view code, std::string_view message) {
  return {{"id", command.at("id")},
          {"type", "reply"},
          {"status", "error"},
          {"error", {{"code", code}, {"message", message}}}};
}

// --- TLS identity --------------------------------------------------------------

namespace {

void add_extension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) throw std::runtime_error("cannot build a certificate extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate for `key`, signed by `issuer_key` (self-signed when `issuer`
// is null).
X509* make_certificate(EVP_PKEY* key, const char* common_name, X509* issuer,
                       EVP_PKEY* issuer_key, bool ca, long serial) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 7 * 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(common_name), -1, -1, 0);
  X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);
  X509* signer = issuer ? issuer : cert;
  add_extension(cert, signer, NID_subject_key_identifier, "hash");
  if (ca) {
    add_extension(cert, signer, NID_basic_constraints, "critical,CA:TRUE");
    add_extension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    add_extension(cert, signer, NID_basic_constraints, "CA:FALSE");
    add_extension(cert, signer, NID_key_usage, "critical,digitalSignature");
    add_extension(cert, signer, NID_ext_key_usage, "serverAuth");
    add_extension(cert, signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    add_extension(cert, signer, NID_authority_key_identifier, "keyid");
  }
  if (X509_sign(cert, issuer_key, EVP_sha256()) == 0)
    throw std::runtime_error("cannot sign a test certificate");
  return cert;
}

template <class Write>
std::string to_pem(Write write) {
  BIO* bio = BIO_new(BIO_s_mem());
  write(bio);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  return pem;
}

}  // namespace

const TlsIdentity& test_tls_identity() {
  static const TlsIdentity identity = [] {
    EVP_PKEY* ca_key = EVP_EC_gen("P-256");
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* ca = make_certificate(ca_key, "fenwix test CA", nullptr, ca_key, true, 1);
    X509* cert = make_certificate(key, "127.0.0.1", ca, ca_key, false, 2);
    TlsIdentity out;
    out.ca_pem = to_pem([&](BIO* b) { PEM_write_bio_X509(b, ca); });
    out.cert_pem = to_pem([&](BIO* b) { PEM_write_bio_X509(b, cert); });
    out.key_pem = to_pem(
        [&](BIO* b) { PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr); });
    X509_free(cert);
    X509_free(ca);
    EVP_PKEY_free(key);
    EVP_PKEY_free(ca_key);
    return out;
  }();
  return identity;
}

// --- FakeSwitch ------------------------------------------------------------------

struct FakeSwitch::Impl : std::enable_shared_from_this<FakeSwitch::Impl> {
  explicit Impl(const TlsIdentity* identity) : acceptor(peer_io()) {
    if (identity) {
      tls.emplace(ssl::context::tls_server);
      tls->use_certificate_chain(asio::buffer(identity->cert_pem));
      tls->use_private_key(asio::buffer(identity->key_pem), ssl::context::pem);
    }
    responders["hello"] = [](const Json& command) -> std::optional<Json> {
      const Json& args = command.at("args");
      return ok_reply(command, {{"app", args.at("app")},
                                {"protocol", args.at("protocol")},
                                {"subprotocol", kSubprotocolName}});
    };
    responders["resync"] = [this](const Json& command) -> std::optional<Json> {
      std::lock_guard lock(mutex);
      return ok_reply(command, {{"channels", channels}});
    };
  }

  std::optional<ssl::context> tls;
  tcp::acceptor acceptor;  // peer thread only
  std::uint16_t port = 0;
  // Drops every socket this switch accepted; peer thread only.
  std::vector<std::function<void()>> droppers;

  mutable std::mutex mutex;
  std::condition_variable changed;
  UpgradeAnswer answer;
  std::map<std::string, Responder> responders;
  Json channels = Json::array();
  std::vector<UpgradeRequest> requests;
  std::vector<std::shared_ptr<PeerConnection>> connections;
  std::size_t accepted = 0;

  void listen(std::uint16_t on_port) {
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), on_port);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(asio::socket_base::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen();
    port = acceptor.local_endpoint().port();
    asio::co_spawn(peer_io(), accept_loop(shared_from_this()), asio::detached);
  }

  static asio::awaitable<void> accept_loop(std::shared_ptr<Impl> self) {
    for (;;) {
      auto [ec, socket] = co_await self->acceptor.async_accept(kTuple);
      if (ec) co_return;
      {
        std::lock_guard lock(self->mutex);
        ++self->accepted;
        self->changed.notify_all();
      }
      if (self->tls) {
        auto ws = std::make_shared<websocket::stream<ssl::stream<beast::tcp_stream>>>(
            std::move(socket), *self->tls);
        asio::co_spawn(peer_io(), serve_tls(self, ws), asio::detached);
      } else {
        auto ws = std::make_shared<websocket::stream<beast::tcp_stream>>(std::move(socket));
        asio::co_spawn(peer_io(), serve(self, ws), asio::detached);
      }
    }
  }

  template <class Ws>
  void remember(const std::shared_ptr<Ws>& ws) {
    droppers.push_back([weak = std::weak_ptr<Ws>(ws)] {
      if (auto ws = weak.lock()) {
        auto& socket = beast::get_lowest_layer(*ws).socket();
        boost::system::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
      }
    });
  }

  static asio::awaitable<void> serve_tls(
      std::shared_ptr<Impl> self,
      std::shared_ptr<websocket::stream<ssl::stream<beast::tcp_stream>>> ws) {
    self->remember(ws);
    auto [ec] = co_await ws->next_layer().async_handshake(ssl::stream_base::server, kTuple);
    if (ec) co_return;
    co_await upgrade(self, ws);
  }

  static asio::awaitable<void> serve(std::shared_ptr<Impl> self,
                                     std::shared_ptr<websocket::stream<beast::tcp_stream>> ws) {
    self->remember(ws);
    co_await upgrade(self, ws);
  }

  template <class Ws>
  static asio::awaitable<void> upgrade(std::shared_ptr<Impl> self, std::shared_ptr<Ws> ws) {
    beast::flat_buffer buffer;
    http::request<http::string_body> req;
    auto [rec, n] = co_await http::async_read(ws->next_layer(), buffer, req, kTuple);
    if (rec) co_return;
    UpgradeRequest seen{std::string(req.method_string()), std::string(req.target()),
                        header_map(req)};
    UpgradeAnswer answer;
    {
      std::lock_guard lock(self->mutex);
      self->requests.push_back(seen);
      answer = self->answer;
      self->changed.notify_all();
    }
    if (answer.stall) {
      // Sit on the request until the client gives up.
      char byte;
      for (;;) {
        auto [ec, got] = co_await ws->next_layer().async_read_some(asio::buffer(&byte, 1), kTuple);
        if (ec) co_return;
      }
    }
    if (answer.status != 101) {
      http::response<http::string_body> res{static_cast<http::status>(answer.status), 11};
      res.set(http::field::content_type, "text/plain");
      res.body() = answer.body;
      res.prepare_payload();
      co_await http::async_write(ws->next_layer(), res, kTuple);
      beast::get_lowest_layer(*ws).close();
      co_return;
    }
    ws->set_option(websocket::stream_base::decorator(
        [subprotocol = answer.subprotocol](websocket::response_type& res) {
          if (subprotocol) res.set(http::field::sec_websocket_protocol, kSubprotocolName);
        }));
    auto [aec] = co_await ws->async_accept(req, kTuple);
    if (aec) co_return;

    auto impl = std::make_shared<WsConnection<Ws>>(ws);
    impl->request = std::move(seen);
    impl->on_text = [weak = std::weak_ptr<Impl>(self)](PeerConnection::Impl& conn,
                                                       const std::string& text) {
      auto self = weak.lock();
      if (!self) return;
      auto frame = parse_json(text);
      if (!frame || !frame->is_object() || !frame->contains("verb")) return;
      Responder responder;
      {
        std::lock_guard lock(self->mutex);
        auto it = self->responders.find(frame->value("verb", ""));
        if (it != self->responders.end()) responder = it->second;
      }
      if (!responder) return;
      if (auto reply = responder(*frame))
        conn.enqueue({PeerConnection::Impl::Outgoing::Text, reply->dump()});
    };
    impl->start();
    std::lock_guard lock(self->mutex);
    self->connections.push_back(std::make_shared<PeerConnection>(impl));
    self->changed.notify_all();
  }

  void stop_now() {
    boost::system::error_code ignored;
    acceptor.close(ignored);
    for (auto& drop : droppers) drop();
    droppers.clear();
  }
};

FakeSwitch::FakeSwitch(const TlsIdentity* tls) : impl_(std::make_shared<Impl>(tls)) {
  on_peer_thread([&] { impl_->listen(0); });
}

FakeSwitch::~FakeSwitch() {
  on_peer_thread([&] { impl_->stop_now(); });
  // Let the other side notice before the next test starts, so that what it
  // logs about it is not taken for the next test's records.
  std::vector<std::shared_ptr<PeerConnection>> connections;
  {
    std::lock_guard lock(impl_->mutex);
    connections = impl_->connections;
  }
  for (auto& c : connections) c->wait_ended(2s);
  std::this_thread::sleep_for(10ms);
}

std::uint16_t FakeSwitch::port() const { return impl_->port; }

std::string FakeSwitch::url(std::string_view path) const {
  return std::string(impl_->tls ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(port()) +
         std::string(path);
}

void FakeSwitch::set_upgrade_answer(UpgradeAnswer answer) {
  std::lock_guard lock(impl_->mutex);
  impl_->answer = std::move(answer);
}

void FakeSwitch::respond(std::string verb, Responder responder) {
  std::lock_guard lock(impl_->mutex);
  impl_->responders[std::move(verb)] = std::move(responder);
}

void FakeSwitch::resync_channels(Json channels) {
  std::lock_guard lock(impl_->mutex);
  impl_->channels = std::move(channels);
}

std::shared_ptr<PeerConnection> FakeSwitch::connection(std::size_t n, Millis limit) {
  std::unique_lock lock(impl_->mutex);
  if (!impl_->changed.wait_for(lock, limit, [&] { return impl_->connections.size() > n; }))
    return nullptr;
  return impl_->connections[n];
}

std::size_t FakeSwitch::connection_count() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->connections.size();
}

std::vector<UpgradeRequest> FakeSwitch::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

bool FakeSwitch::wait_requests(std::size_t n, Millis limit) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, limit, [&] { return impl_->requests.size() >= n; });
}

std::size_t FakeSwitch::accepted() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->accepted;
}

void FakeSwitch::stop() {
  on_peer_thread([&] { impl_->stop_now(); });
}

void FakeSwitch::restart() {
  on_peer_thread([&] { impl_->listen(impl_->port); });
}

// --- Dialers -----------------------------------------------------------------------

DialResult dial(std::uint16_t port, std::optional<std::string> authorization,
                std::optional<std::string> subprotocol, Millis limit) {
  using Ws = websocket::stream<beast::tcp_stream>;
  auto result = std::make_shared<std::promise<DialResult>>();
  auto future = result->get_future();
  asio::co_spawn(
      peer_io(),
      [=]() -> asio::awaitable<void> {
        DialResult out;
        auto ws = std::make_shared<Ws>(peer_io());
        auto& stream = beast::get_lowest_layer(*ws);
        stream.expires_after(limit);
        auto [cec] = co_await stream.async_connect(
            tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), kTuple);
        if (cec) {
          out.error = cec.message();
          result->set_value(std::move(out));
          co_return;
        }
        ws->set_option(websocket::stream_base::decorator([=](websocket::request_type& req) {
          if (authorization) req.set(http::field::authorization, *authorization);
          if (subprotocol) req.set(http::field::sec_websocket_protocol, *subprotocol);
        }));
        websocket::response_type res;
        auto [hec] = co_await ws->async_handshake(res, "127.0.0.1:" + std::to_string(port),
                                                  "/call", kTuple);
        out.status = res.result_int();
        out.headers = header_map(res);
        out.body = res.body();
        if (hec) {
          if (hec != websocket::error::upgrade_declined) out.error = hec.message();
          result->set_value(std::move(out));
          co_return;
        }
        stream.expires_never();
        auto impl = std::make_shared<WsConnection<Ws>>(ws);
        impl->start();
        out.connection = std::make_shared<PeerConnection>(impl);
        result->set_value(std::move(out));
      },
      asio::detached);
  if (future.wait_for(limit + 1s) != std::future_status::ready) {
    DialResult out;
    out.error = "dial did not finish";
    return out;
  }
  return future.get();
}

RawDialer::RawDialer(std::uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  const int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

RawDialer::~RawDialer() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawDialer::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const auto n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool RawDialer::write_slowly(std::string_view bytes, Millis gap) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (!write(bytes.substr(i, 1))) return false;
    if (gap.count() > 0) std::this_thread::sleep_for(gap);
  }
  return true;
}

std::string RawDialer::read_until(std::string_view marker, Millis limit) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (got.find(marker) == std::string::npos) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[4096];
    const auto n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

std::optional<std::string> RawDialer::read_until_closed(Millis limit) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
    char buffer[4096];
    const auto n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return got;
    got.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string upgrade_request_text(std::optional<std::string_view> authorization,
                                 std::string_view extra_headers) {
  std::string text =
      "GET /call HTTP/1.1\r\n"
      "Host: 127.0.0.1\r\n"
      "Upgrade: websocket\r\n"
      "Connection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
      "Sec-WebSocket-Version: 13\r\n";
  if (authorization) {
    text += "Authorization: ";
    text += *authorization;
    text += "\r\n";
  }
  text += extra_headers;
  text += "\r\n";
  return text;
}

}  // namespace fenwix::test
