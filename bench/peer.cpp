// fenwix_bench_peer: a stand-in for the switch's control plane, built to be
// fast enough that it is never what a benchmark measures.
//
// It answers every command at once with a small plausible result and pushes
// events on request, in either connection shape:
//
//   listen mode  the application dials us (--listen HOST:PORT): bearer token
//                checked, subprotocol selected, hello and resync answered,
//                calls announced on demand as StasisStart events;
//   dial mode    we dial the application's per-call server (--dial URL
//                --calls N): N connections, each opening with the StasisStart
//                of its own call, each answering its commands.
//
// Why the WebSocket framing is our own: Beast writes one message per
// async_write, which is one system call per reply. Here every connection
// parses all the frames one read brought in, appends every reply and event to
// one output buffer and writes it with one call, so a burst of commands costs
// one read and one write. Beast still does the HTTP side of the upgrade. The
// framing is RFC 6455 minus what the benchmark never meets (extensions).
//
// The driver steers a running peer with one command per line on stdin and
// reads one JSON object per line on stdout (see `usage`).

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

constexpr std::string_view kSubprotocol = "fenwix-control.v1";
constexpr std::string_view kWebSocketGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
// Inbound messages beyond this close the connection; nothing in a benchmark
// comes near it.
constexpr std::size_t kMaxMessage = 16 * 1024 * 1024;
// Generated events stop being appended once this much output waits for the
// socket: a consumer that falls behind slows the peer down instead of
// growing its memory.
constexpr std::size_t kOutputHighWater = 256 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;
// Upgrades in progress at once in dial mode; more would only overflow the
// application's accept backlog.
constexpr std::size_t kDialConcurrency = 64;

const char* usage =
    "usage: fenwix_bench_peer (--listen HOST:PORT [--port-file F] | --dial URL) [options]\n"
    "  --token T                 bearer token to expect or present (default tok)\n"
    "  --calls N                 listen: calls to announce on each connection after its hello\n"
    "                            dial: connections (one call each) to open at start\n"
    "  --events-per-second R     once calls are up, push events at R per second in total\n"
    "                            (\"max\": as fast as the application reads)\n"
    "  --burst K                 once calls are up, push K events on every call\n"
    "  --threads N               network threads (default 2)\n"
    "  --app NAME                application name for dial mode's events (default bench)\n"
    "stdin, one command per line:\n"
    "  announce N   listen: announce calls b-1..b-N on every connection that said hello\n"
    "  dial N       dial: open N more connections\n"
    "  rate R       push events at R per second in total (0 stops, \"max\" floods)\n"
    "  burst K      push K events on every call\n"
    "  stop         stop pushing (drops what is not yet generated)\n"
    "  stats        print counters\n"
    "  close        close every connection\n"
    "  quit         exit\n"
    "stdout: one JSON object per line, {\"event\": ...}\n";

// ---------------------------------------------------------------------------
// Output to the driver.

std::mutex stdout_mutex;

void emit(const Json& line) {
  const std::string text = line.dump();
  std::lock_guard lock(stdout_mutex);
  std::cout << text << '\n' << std::flush;
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::int64_t monotonic_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             SteadyClock::now().time_since_epoch())
      .count();
}

// ---------------------------------------------------------------------------
// Reading commands.

// Top-level members of a JSON object, without building a document: the
// value of each member is handed over as its raw text. Good for the compact
// frames clients write; anything it does not expect (escapes in a key, a
// value it cannot delimit) makes it give up, and the caller falls back to a
// full parse.
class MemberScanner {
 public:
  explicit MemberScanner(std::string_view text) : text_(text) {}

  template <class Visit>
  bool scan(Visit&& visit) {
    skip_space();
    if (!eat('{')) return false;
    skip_space();
    if (eat('}')) return true;
    for (;;) {
      skip_space();
      std::string_view key;
      if (!plain_string(key)) return false;
      skip_space();
      if (!eat(':')) return false;
      skip_space();
      const std::size_t begin = pos_;
      if (!skip_value()) return false;
      visit(key, text_.substr(begin, pos_ - begin));
      skip_space();
      if (eat(',')) continue;
      return eat('}');
    }
  }

 private:
  bool eat(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  void skip_space() {
    while (pos_ < text_.size() &&
           (text_[pos_] == ' ' || text_[pos_] == '\n' || text_[pos_] == '\r' || text_[pos_] == '\t'))
      ++pos_;
  }
  // A string without escapes; its content goes to `out`.
  bool plain_string(std::string_view& out) {
    if (!eat('"')) return false;
    const std::size_t begin = pos_;
    const std::size_t end = text_.find_first_of("\"\\", begin);
    if (end == std::string_view::npos || text_[end] != '"') return false;
    out = text_.substr(begin, end - begin);
    pos_ = end + 1;
    return true;
  }
  bool skip_string() {
    ++pos_;  // opening quote
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '\\') {
        ++pos_;
      } else if (c == '"') {
        return true;
      }
    }
    return false;
  }
  bool skip_value() {
    if (pos_ >= text_.size()) return false;
    const char c = text_[pos_];
    if (c == '"') return skip_string();
    if (c == '{' || c == '[') {
      std::size_t depth = 0;
      while (pos_ < text_.size()) {
        const char d = text_[pos_];
        if (d == '"') {
          if (!skip_string()) return false;
          continue;
        }
        ++pos_;
        if (d == '{' || d == '[') {
          ++depth;
        } else if ((d == '}' || d == ']') && --depth == 0) {
          return true;
        }
      }
      return false;
    }
    const std::size_t begin = pos_;
    while (pos_ < text_.size() && text_[pos_] != ',' && text_[pos_] != '}' &&
           text_[pos_] != ']' && text_[pos_] != ' ')
      ++pos_;
    return pos_ > begin;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

// The members of a command the peer needs to answer it. Every string is
// already in its JSON-escaped form, ready to be written back.
struct Command {
  std::string id;
  std::string verb;
  std::string channel;
  bool parsed = false;
};

// Strips the quotes of a string value that carries no escapes.
std::optional<std::string_view> plain_string_value(std::string_view raw) {
  if (raw.size() < 2 || raw.front() != '"' || raw.back() != '"') return std::nullopt;
  raw = raw.substr(1, raw.size() - 2);
  if (raw.find('\\') != std::string_view::npos) return std::nullopt;
  return raw;
}

bool scan_command(std::string_view text, Command& out) {
  bool ok = true;
  std::string_view target;
  const bool scanned = MemberScanner(text).scan([&](std::string_view key, std::string_view value) {
    if (key == "id") {
      auto id = plain_string_value(value);
      if (id) out.id.assign(*id); else ok = false;
    } else if (key == "verb") {
      auto verb = plain_string_value(value);
      if (verb) out.verb.assign(*verb); else ok = false;
    } else if (key == "target") {
      target = value;
    }
  });
  if (!scanned || !ok || out.id.empty()) return false;
  if (!target.empty() && target.front() == '{') {
    const bool target_ok = MemberScanner(target).scan([&](std::string_view key, std::string_view value) {
      if (key != "channel") return;
      auto channel = plain_string_value(value);
      if (channel) out.channel.assign(*channel); else ok = false;
    });
    if (!target_ok || !ok) return false;
  }
  out.parsed = true;
  return true;
}

// The full parse, for everything the scanner declined; strings come back
// re-escaped so that both paths hand over the same form.
bool parse_command(std::string_view text, Command& out) {
  Json frame = Json::parse(text, nullptr, false);
  if (!frame.is_object()) return false;
  auto escaped = [](const Json& value) {
    std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    return text.substr(1, text.size() - 2);
  };
  auto id = frame.find("id");
  if (id == frame.end() || !id->is_string()) return false;
  out.id = escaped(*id);
  if (auto verb = frame.find("verb"); verb != frame.end() && verb->is_string())
    out.verb = escaped(*verb);
  if (auto target = frame.find("target"); target != frame.end() && target->is_object()) {
    if (auto channel = target->find("channel"); channel != target->end() && channel->is_string())
      out.channel = escaped(*channel);
  }
  out.parsed = true;
  return true;
}

// ---------------------------------------------------------------------------
// WebSocket framing.

enum Opcode : std::uint8_t { kContinuation = 0, kText = 1, kBinary = 2, kClose = 8, kPing = 9, kPong = 10 };

// Appends one unfragmented frame. Frames a client sends must be masked; the
// key only has to be unpredictable to defeat proxies, which a benchmark on
// the loopback does not have, so one key per connection does.
void append_frame(std::string& out, Opcode opcode, std::string_view payload, bool mask,
                  std::uint32_t key) {
  const std::size_t n = payload.size();
  const std::uint8_t mask_bit = mask ? 0x80 : 0;
  out.push_back(static_cast<char>(0x80 | opcode));
  if (n < 126) {
    out.push_back(static_cast<char>(mask_bit | n));
  } else if (n < 65536) {
    out.push_back(static_cast<char>(mask_bit | 126));
    out.push_back(static_cast<char>(n >> 8));
    out.push_back(static_cast<char>(n));
  } else {
    out.push_back(static_cast<char>(mask_bit | 127));
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>(n >> shift));
  }
  if (!mask) {
    out.append(payload);
    return;
  }
  unsigned char k[4];
  std::memcpy(k, &key, 4);
  out.append(reinterpret_cast<const char*>(k), 4);
  const std::size_t start = out.size();
  out.append(payload);
  for (std::size_t i = 0; i < n; ++i) out[start + i] = static_cast<char>(out[start + i] ^ k[i & 3]);
}

std::string base64(const unsigned char* data, std::size_t n) {
  std::string out(4 * ((n + 2) / 3), '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data,
                                      static_cast<int>(n));
  out.resize(static_cast<std::size_t>(written));
  return out;
}

std::string accept_key(std::string_view client_key) {
  std::string material(client_key);
  material.append(kWebSocketGuid);
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(material.data()), material.size(), digest);
  return base64(digest, sizeof digest);
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool header_has_token(std::string_view value, std::string_view token) {
  while (!value.empty()) {
    auto comma = value.find(',');
    auto item = value.substr(0, comma);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    if (iequals(item, token)) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

// ---------------------------------------------------------------------------
// Connections.

struct Url {
  std::string host;
  std::string port;
  std::string target;
};

std::optional<Url> parse_ws_url(std::string_view url) {
  if (!url.starts_with("ws://")) return std::nullopt;
  url.remove_prefix(5);
  const auto slash = url.find('/');
  std::string_view authority = url.substr(0, slash);
  Url out;
  out.target = slash == std::string_view::npos ? "/" : std::string(url.substr(slash));
  const auto colon = authority.rfind(':');
  if (colon == std::string_view::npos) {
    out.host = std::string(authority);
    out.port = "80";
  } else {
    out.host = std::string(authority.substr(0, colon));
    out.port = std::string(authority.substr(colon + 1));
  }
  if (out.host.size() > 2 && out.host.front() == '[') out.host = out.host.substr(1, out.host.size() - 2);
  if (out.host.empty()) return std::nullopt;
  return out;
}

class Peer;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  enum class Role { Server, Client };

  Connection(Peer& peer, tcp::socket socket, Role role, std::uint64_t number)
      : peer_(peer), socket_(std::move(socket)), role_(role), number_(number) {
    RAND_bytes(reinterpret_cast<unsigned char*>(&mask_key_), sizeof mask_key_);
  }

  std::uint64_t number() const { return number_; }
  asio::any_io_executor executor() { return socket_.get_executor(); }

  void accept_upgrade();
  void dial_upgrade(const Url& url, std::string channel, std::function<void(bool)> done);

  // Everything below runs on the connection's strand.
  void announce(std::size_t calls);
  void add_events(std::uint64_t count);
  void start_flood() {
    flood_ = true;
    top_up();
    flush();
  }
  void stop_events() {
    flood_ = false;
    backlog_ = 0;
  }
  // Read by the rate ticker from outside the strand.
  std::size_t call_count() const { return call_count_.load(std::memory_order_relaxed); }
  bool said_hello() const { return said_hello_; }
  // Read from outside the strand by the driver's commands.
  bool is_open() const { return open_.load(std::memory_order_relaxed); }
  void close();

 private:
  void on_request(const boost::system::error_code& ec);
  void read_more();
  void on_read(const boost::system::error_code& ec, std::size_t n);
  bool process_frames();
  void on_message(std::string_view text);
  void answer(const Command& command, std::string_view text);
  void send_frame(Opcode opcode, std::string_view payload) {
    append_frame(out_, opcode, payload, role_ == Role::Client, mask_key_);
  }
  void append_event(const std::string& channel);
  void top_up();
  void flush();
  void fail();

  Peer& peer_;
  tcp::socket socket_;
  const Role role_;
  const std::uint64_t number_;
  std::uint32_t mask_key_ = 0;

  beast::flat_buffer http_buffer_;
  http::request<http::string_body> request_;
  http::response<http::string_body> response_;
  std::string handshake_;

  std::vector<char> in_ = std::vector<char>(kReadChunk);
  std::size_t in_begin_ = 0;
  std::size_t in_end_ = 0;
  std::string fragments_;
  bool in_fragmented_ = false;

  std::string out_;
  std::string sending_;
  bool writing_ = false;
  std::atomic<bool> open_{false};
  bool closing_ = false;
  bool finished_ = false;

  std::string app_ = "bench";
  bool said_hello_ = false;
  std::vector<std::string> channels_;
  std::atomic<std::size_t> call_count_{0};
  std::size_t next_channel_ = 0;
  std::uint64_t backlog_ = 0;  // events still to generate
  bool flood_ = false;
  std::uint64_t event_seq_ = 0;
  std::uint64_t playback_seq_ = 0;
  std::string scratch_;
  Command command_;
};

using ConnectionPtr = std::shared_ptr<Connection>;

// Spreads a total event rate over every call of every connection, in ticks.
struct RateState {
  double rate = 0;  // events per second in total; 0: off
  SteadyClock::time_point start;
  std::uint64_t issued = 0;
};

// What the command line asks for once calls are up, without the driver.
struct AutoStart {
  std::size_t announce = 0;  // listen mode: calls to announce after each hello
  std::string rate;          // events per second, "max", or empty for none
  std::uint64_t burst = 0;   // events per call
};

struct Counters {
  std::atomic<std::uint64_t> commands{0};
  std::atomic<std::uint64_t> events{0};  // generated, not necessarily delivered yet
  std::atomic<std::uint64_t> connections_open{0};
};

class Peer {
 public:
  Peer(unsigned threads, std::string token, std::string app, AutoStart auto_start)
      : io_(static_cast<int>(threads)), token_(std::move(token)), app_(std::move(app)),
        threads_(threads), auto_start_(std::move(auto_start)) {}

  const std::string& token() const { return token_; }
  const std::string& app() const { return app_; }
  Counters& counters() { return counters_; }

  void listen(const std::string& where, const std::string& port_file);
  // Opens `count` more connections, to `url` or to the URL given before.
  void dial(std::optional<Url> url, std::size_t count);
  void run();

  void on_hello(const ConnectionPtr& connection, const std::string& app);
  void on_closed(const ConnectionPtr& connection, bool was_open);

  // Driver commands, from the stdin thread.
  void announce(std::size_t calls);
  void set_rate(const std::string& rate);
  void burst(std::uint64_t per_call);
  void stop_events();
  void close_all();
  void print_stats();

 private:
  void accept_next();
  void dial_next();
  void apply_auto_events();
  void tick();
  void add_connection(const ConnectionPtr& connection);
  // The connection list is copied on every change and shared as it is, so
  // that the ticker can look at it every millisecond without copying it.
  std::shared_ptr<const std::vector<ConnectionPtr>> snapshot() {
    std::lock_guard lock(mutex_);
    return connections_;
  }

  asio::io_context io_;
  std::optional<tcp::acceptor> acceptor_;
  const std::string token_;
  const std::string app_;
  const unsigned threads_;
  const AutoStart auto_start_;
  Counters counters_;
  std::atomic<std::uint64_t> next_number_{1};

  std::mutex mutex_;
  std::shared_ptr<const std::vector<ConnectionPtr>> connections_ =
      std::make_shared<std::vector<ConnectionPtr>>();

  // Dial mode.
  std::optional<Url> dial_url_;
  std::size_t dial_total_ = 0;     // connections asked for so far
  std::size_t dial_started_ = 0;
  std::size_t dial_finished_ = 0;
  std::size_t dial_failed_ = 0;
  std::size_t dial_in_flight_ = 0;
  std::size_t dialled_ok_ = 0;

  // Rate mode: one ticker on its own strand.
  asio::strand<asio::io_context::executor_type> tick_strand_{asio::make_strand(io_)};
  asio::steady_timer tick_timer_{tick_strand_};
  RateState rate_;
  std::vector<double> credit_;
  bool ticking_ = false;
};

void Connection::accept_upgrade() {
  http::async_read(socket_, http_buffer_, request_,
                   [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                     self->on_request(ec);
                   });
}

void Connection::on_request(const boost::system::error_code& ec) {
  if (ec) return fail();
  const auto authorization = request_[http::field::authorization];
  const std::string expected = "Bearer " + peer_.token();
  const bool authorized = authorization == expected ||
                          (authorization.size() == expected.size() &&
                           authorization.starts_with("bearer ") &&
                           authorization.substr(7) == peer_.token());
  const bool upgrade = header_has_token(request_[http::field::upgrade], "websocket") &&
                       header_has_token(request_[http::field::connection], "upgrade") &&
                       !request_[http::field::sec_websocket_key].empty();
  if (!authorized || !upgrade) {
    // A refusal is a few dozen bytes on a fresh socket: written at once,
    // and the connection is done.
    const std::string_view refusal =
        authorized
            ? "HTTP/1.1 400 Bad Request\r\nContent-Length: 11\r\nConnection: close\r\n\r\nbad request"
            : "HTTP/1.1 401 Unauthorized\r\nContent-Length: 12\r\nConnection: close\r\n\r\nunauthorized";
    boost::system::error_code ignored;
    asio::write(socket_, asio::buffer(refusal), ignored);
    return fail();
  }
  handshake_ =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: " +
      accept_key(request_[http::field::sec_websocket_key]) +
      "\r\nSec-WebSocket-Protocol: " + std::string(kSubprotocol) + "\r\n\r\n";
  // Whatever arrived behind the request already belongs to the WebSocket.
  const auto rest = http_buffer_.cdata();
  if (rest.size() > in_.size()) in_.resize(rest.size() + kReadChunk);
  std::memcpy(in_.data(), rest.data(), rest.size());
  in_end_ = rest.size();
  http_buffer_ = beast::flat_buffer();
  request_ = {};
  asio::async_write(socket_, asio::buffer(handshake_),
                    [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                      if (ec) return self->fail();
                      self->handshake_.clear();
                      self->handshake_.shrink_to_fit();
                      self->open_ = true;
                      self->peer_.counters().connections_open.fetch_add(1);
                      if (self->process_frames()) self->read_more();
                      self->flush();
                    });
}

void Connection::dial_upgrade(const Url& url, std::string channel, std::function<void(bool)> done) {
  unsigned char nonce[16];
  RAND_bytes(nonce, sizeof nonce);
  handshake_ = "GET " + url.target + " HTTP/1.1\r\nHost: " + url.host + ":" + url.port +
               "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " +
               base64(nonce, sizeof nonce) +
               "\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: " +
               std::string(kSubprotocol) + "\r\nAuthorization: Bearer " + peer_.token() +
               "\r\n\r\n";
  channels_.push_back(std::move(channel));
  call_count_.store(channels_.size());
  asio::async_write(
      socket_, asio::buffer(handshake_),
      [self = shared_from_this(), done = std::move(done)](const boost::system::error_code& ec,
                                                          std::size_t) mutable {
        if (ec) {
          self->fail();
          return done(false);
        }
        http::async_read(
            self->socket_, self->http_buffer_, self->response_,
            [self, done = std::move(done)](const boost::system::error_code& ec, std::size_t) {
              if (ec || self->response_.result() != http::status::switching_protocols) {
                self->fail();
                return done(false);
              }
              const auto rest = self->http_buffer_.cdata();
              if (rest.size() > self->in_.size()) self->in_.resize(rest.size() + kReadChunk);
              std::memcpy(self->in_.data(), rest.data(), rest.size());
              self->in_end_ = rest.size();
              self->http_buffer_ = beast::flat_buffer();
              self->response_ = {};
              self->handshake_.clear();
              self->handshake_.shrink_to_fit();
              self->open_ = true;
              self->peer_.counters().connections_open.fetch_add(1);
              // The call's StasisStart is the connection's first frame.
              self->app_ = self->peer_.app();
              self->scratch_.clear();
              const auto& ch = self->channels_.front();
              self->scratch_ = R"({"type":"event","event":"StasisStart","channel":")" + ch +
                               R"(","app":")" + self->app_ + R"(","call_id":"call-)" + ch +
                               R"(","sip_call_id":")" + ch +
                               R"(@bench","payload":{"called":"100","caller":"bench","direction":"inbound","state":"ringing"}})";
              self->send_frame(kText, self->scratch_);
              if (self->process_frames()) self->read_more();
              self->flush();
              done(true);
            });
      });
}

void Connection::read_more() {
  // Keep at least one chunk of free space at the end, moving unread bytes to
  // the front rather than growing.
  if (in_begin_ == in_end_) {
    in_begin_ = in_end_ = 0;
  } else if (in_.size() - in_end_ < kReadChunk / 2 && in_begin_ > 0) {
    std::memmove(in_.data(), in_.data() + in_begin_, in_end_ - in_begin_);
    in_end_ -= in_begin_;
    in_begin_ = 0;
  }
  if (in_.size() - in_end_ < kReadChunk / 2) in_.resize(in_.size() + kReadChunk);
  socket_.async_read_some(
      asio::buffer(in_.data() + in_end_, in_.size() - in_end_),
      [self = shared_from_this()](const boost::system::error_code& ec, std::size_t n) {
        self->on_read(ec, n);
      });
}

void Connection::on_read(const boost::system::error_code& ec, std::size_t n) {
  if (ec) return fail();
  in_end_ += n;
  const bool go_on = process_frames();
  flush();
  if (go_on) read_more();
}

// Handles every complete frame in the input buffer; false once the
// connection must stop reading.
bool Connection::process_frames() {
  for (;;) {
    const std::size_t available = in_end_ - in_begin_;
    if (available < 2) return true;
    auto* p = reinterpret_cast<unsigned char*>(in_.data() + in_begin_);
    const bool fin = p[0] & 0x80;
    const auto opcode = static_cast<Opcode>(p[0] & 0x0F);
    const bool masked = p[1] & 0x80;
    std::uint64_t length = p[1] & 0x7F;
    std::size_t header = 2;
    if (length == 126) {
      if (available < 4) return true;
      length = (std::uint64_t{p[2]} << 8) | p[3];
      header = 4;
    } else if (length == 127) {
      if (available < 10) return true;
      length = 0;
      for (int i = 0; i < 8; ++i) length = (length << 8) | p[2 + i];
      header = 10;
    }
    if (length > kMaxMessage) {
      fail();
      return false;
    }
    const std::size_t key_at = header;
    if (masked) header += 4;
    const std::size_t total = header + length;
    if (available < total) {
      // Make room for the whole frame; read_more moves it to the front.
      if (in_.size() < total + kReadChunk) in_.resize(total + kReadChunk);
      return true;
    }
    char* payload = in_.data() + in_begin_ + header;
    if (masked) {
      const unsigned char* key = p + key_at;
      for (std::size_t i = 0; i < length; ++i) payload[i] = static_cast<char>(payload[i] ^ key[i & 3]);
    }
    const std::string_view data(payload, length);
    in_begin_ += total;

    switch (opcode) {
      case kText:
      case kBinary:
        if (fin) {
          if (opcode == kText) on_message(data);
        } else {
          fragments_.assign(data);
          in_fragmented_ = opcode == kText;
        }
        break;
      case kContinuation:
        fragments_.append(data);
        if (fragments_.size() > kMaxMessage) {
          fail();
          return false;
        }
        if (fin) {
          if (in_fragmented_) on_message(fragments_);
          fragments_.clear();
        }
        break;
      case kPing:
        send_frame(kPong, data);
        break;
      case kPong:
        break;
      case kClose:
        // Echo the status code, then stop; the socket closes once the
        // answer has been written.
        send_frame(kClose, data.substr(0, std::min<std::size_t>(2, data.size())));
        closing_ = true;
        return false;
      default:
        fail();
        return false;
    }
  }
}

void Connection::on_message(std::string_view text) {
  command_.id.clear();
  command_.verb.clear();
  command_.channel.clear();
  command_.parsed = false;
  if (!scan_command(text, command_)) {
    command_ = Command{};
    if (!parse_command(text, command_)) return;  // not a command: nothing to answer
  }
  answer(command_, text);
}

void Connection::answer(const Command& command, std::string_view text) {
  peer_.counters().commands.fetch_add(1, std::memory_order_relaxed);
  std::string& r = scratch_;
  r.assign(R"({"id":")");
  r.append(command.id);
  r.append(R"(","type":"reply","status":"ok","result":)");
  const std::string_view verb = command.verb;
  if (verb == "hello") {
    Json frame = Json::parse(text, nullptr, false);
    Json args = frame.is_object() ? frame.value("args", Json::object()) : Json::object();
    if (!args.is_object()) args = Json::object();
    app_ = args.value("app", std::string("bench"));
    Json result = {{"app", app_},
                   {"protocol", args.value("protocol", Json(1))},
                   {"subprotocol", kSubprotocol}};
    r.append(result.dump(-1, ' ', false, Json::error_handler_t::replace));
    r.push_back('}');
    send_frame(kText, r);
    if (!said_hello_) {
      said_hello_ = true;
      peer_.on_hello(shared_from_this(), app_);
    }
    return;
  }
  if (verb == "resync") {
    r.append(R"({"channels":[]}})");
  } else if (verb == "get_var") {
    r.append(R"({"value":"x"}})");
  } else {
    r.push_back('{');
    if (!command.channel.empty()) {
      r.append(R"("channel":")");
      r.append(command.channel);
      r.push_back('"');
    }
    auto member = [&](std::string_view text) {
      if (r.back() != '{') r.push_back(',');
      r.append(text);
    };
    if (verb == "play") {
      char digits[24];
      auto [end, ec] = std::to_chars(digits, digits + sizeof digits, ++playback_seq_);
      member(R"("playback_id":"pb-)");
      r.append(digits, end);
      r.push_back('"');
    } else if (verb == "answer") {
      member(R"("state":"answered")");
    } else if (verb == "hangup") {
      member(R"("state":"ended")");
    }
    r.append("}}");
  }
  send_frame(kText, r);
}

void Connection::announce(std::size_t calls) {
  if (!open_) return;
  for (std::size_t i = channels_.size() + 1; i <= calls; ++i) {
    std::string ch = "b-" + std::to_string(i);
    scratch_ = R"({"type":"event","event":"StasisStart","channel":")" + ch + R"(","app":")" +
               app_ + R"(","call_id":"call-)" + ch + R"(","sip_call_id":")" + ch +
               R"(@bench","payload":{"called":"100","caller":"bench","direction":"inbound","state":"ringing"}})";
    send_frame(kText, scratch_);
    channels_.push_back(std::move(ch));
  }
  call_count_.store(channels_.size());
  flush();
}

void Connection::add_events(std::uint64_t count) {
  if (!open_ || channels_.empty()) return;
  backlog_ += count;
  top_up();
  flush();
}

void Connection::append_event(const std::string& channel) {
  std::string& e = scratch_;
  e.assign(R"({"type":"event","event":"ChannelDtmfReceived","channel":")");
  e.append(channel);
  e.append(R"(","payload":{"digit":")");
  e.push_back(static_cast<char>('0' + event_seq_ % 10));
  e.append(R"(","duration_ms":100,"sent_ns":)");
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, monotonic_ns());
  e.append(digits, end);
  e.append(R"(,"seq":)");
  auto [end2, ec2] = std::to_chars(digits, digits + sizeof digits, ++event_seq_);
  e.append(digits, end2);
  e.append("}}");
  send_frame(kText, e);
}

// Generates pending events until the output buffer is full enough; called
// again whenever a write completes.
void Connection::top_up() {
  if (!open_ || closing_ || channels_.empty()) return;
  std::uint64_t made = 0;
  while ((flood_ || backlog_ > 0) && out_.size() < kOutputHighWater) {
    append_event(channels_[next_channel_]);
    if (++next_channel_ == channels_.size()) next_channel_ = 0;
    if (!flood_) --backlog_;
    ++made;
  }
  if (made) peer_.counters().events.fetch_add(made, std::memory_order_relaxed);
}

void Connection::flush() {
  if (writing_ || out_.empty() || !socket_.is_open()) return;
  writing_ = true;
  sending_.swap(out_);
  asio::async_write(socket_, asio::buffer(sending_),
                    [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                      self->writing_ = false;
                      self->sending_.clear();
                      if (ec) return self->fail();
                      if (self->closing_ && self->out_.empty()) return self->fail();
                      self->top_up();
                      self->flush();
                    });
}

void Connection::close() {
  if (!open_ || closing_) return;
  closing_ = true;
  send_frame(kClose, std::string_view("\x03\xe8", 2));  // 1000, normal closure
  flush();
}

void Connection::fail() {
  boost::system::error_code ignored;
  if (socket_.is_open()) {
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }
  flood_ = false;
  backlog_ = 0;
  if (finished_) return;
  finished_ = true;
  const bool was_open = open_.exchange(false);
  if (was_open) peer_.counters().connections_open.fetch_sub(1);
  peer_.on_closed(shared_from_this(), was_open);
}

// ---------------------------------------------------------------------------
// The peer.

void Peer::listen(const std::string& where, const std::string& port_file) {
  const auto colon = where.rfind(':');
  if (colon == std::string::npos) throw std::runtime_error("--listen needs HOST:PORT");
  std::string host = where.substr(0, colon);
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  const auto port = static_cast<std::uint16_t>(std::stoul(where.substr(colon + 1)));
  const tcp::endpoint endpoint(asio::ip::make_address(host), port);
  acceptor_.emplace(io_);
  acceptor_->open(endpoint.protocol());
  acceptor_->set_option(tcp::acceptor::reuse_address(true));
  acceptor_->bind(endpoint);
  acceptor_->listen(asio::socket_base::max_listen_connections);
  const auto bound = acceptor_->local_endpoint();
  if (!port_file.empty()) {
    // Written whole under another name and renamed, so a reader polling for
    // the file never sees it half written.
    const std::string temporary = port_file + ".tmp";
    std::ofstream(temporary) << bound.port() << '\n';
    std::rename(temporary.c_str(), port_file.c_str());
  }
  emit({{"event", "listening"},
        {"host", bound.address().to_string()},
        {"port", bound.port()},
        {"url", "ws://" + where.substr(0, colon) + ":" + std::to_string(bound.port()) + "/control/ws"}});
  accept_next();
}

void Peer::accept_next() {
  acceptor_->async_accept(asio::make_strand(io_), [this](const boost::system::error_code& ec,
                                                         tcp::socket socket) {
    if (ec) {
      if (ec != asio::error::operation_aborted) emit({{"event", "accept_failed"}, {"error", ec.message()}});
      if (ec == asio::error::operation_aborted) return;
    } else {
      boost::system::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      auto connection = std::make_shared<Connection>(*this, std::move(socket),
                                                     Connection::Role::Server, next_number_++);
      add_connection(connection);
      asio::dispatch(connection->executor(), [connection] { connection->accept_upgrade(); });
    }
    accept_next();
  });
}

void Peer::dial(std::optional<Url> url, std::size_t count) {
  std::lock_guard lock(mutex_);
  if (url) dial_url_ = std::move(url);
  if (!dial_url_) throw std::runtime_error("dial needs the peer to run in dial mode");
  dial_total_ += count;
  if (count == 0) return;
  asio::post(io_, [this] { dial_next(); });
}

// Starts upgrades until `kDialConcurrency` are in flight; every finished one
// starts the next.
void Peer::dial_next() {
  std::unique_lock lock(mutex_);
  while (dial_in_flight_ < kDialConcurrency && dial_started_ < dial_total_) {
    ++dial_in_flight_;
    const std::size_t index = ++dial_started_;
    const Url url = *dial_url_;
    lock.unlock();
    auto socket = std::make_shared<tcp::socket>(asio::make_strand(io_));
    auto resolver = std::make_shared<tcp::resolver>(socket->get_executor());
    auto finish = [this](bool ok) {
      bool all_done = false;
      std::size_t ok_count = 0, failed = 0, total = 0;
      {
        std::lock_guard lock(mutex_);
        --dial_in_flight_;
        ++dial_finished_;
        if (ok) ++dialled_ok_; else ++dial_failed_;
        all_done = dial_finished_ == dial_total_;
        ok_count = dialled_ok_;
        failed = dial_failed_;
        total = dial_total_;
      }
      if (all_done) {
        emit({{"event", "dialled"}, {"connections", ok_count}, {"failed", failed}, {"requested", total}});
        apply_auto_events();
      }
      asio::post(io_, [this] { dial_next(); });
    };
    resolver->async_resolve(
        url.host, url.port,
        [this, socket, resolver, url, index, finish](const boost::system::error_code& ec,
                                                     tcp::resolver::results_type results) {
          if (ec) return finish(false);
          asio::async_connect(
              *socket, results,
              [this, socket, url, index, finish](const boost::system::error_code& ec,
                                                 const tcp::endpoint&) {
                if (ec) return finish(false);
                boost::system::error_code ignored;
                socket->set_option(tcp::no_delay(true), ignored);
                auto connection = std::make_shared<Connection>(
                    *this, std::move(*socket), Connection::Role::Client, next_number_++);
                add_connection(connection);
                connection->dial_upgrade(url, "b-" + std::to_string(index), finish);
              });
        });
    lock.lock();
  }
}

void Peer::on_hello(const ConnectionPtr& connection, const std::string& app) {
  emit({{"event", "hello"}, {"connection", connection->number()}, {"app", app}});
  if (auto_start_.announce > 0) {
    connection->announce(auto_start_.announce);
    apply_auto_events();
  }
}

void Peer::on_closed(const ConnectionPtr& connection, bool was_open) {
  if (was_open) emit({{"event", "closed"}, {"connection", connection->number()}});
  std::lock_guard lock(mutex_);
  auto next = std::make_shared<std::vector<ConnectionPtr>>(*connections_);
  std::erase(*next, connection);
  connections_ = std::move(next);
}

void Peer::add_connection(const ConnectionPtr& connection) {
  std::lock_guard lock(mutex_);
  auto next = std::make_shared<std::vector<ConnectionPtr>>(*connections_);
  next->push_back(connection);
  connections_ = std::move(next);
}

void Peer::apply_auto_events() {
  if (!auto_start_.rate.empty()) set_rate(auto_start_.rate);
  if (auto_start_.burst > 0) burst(auto_start_.burst);
}

void Peer::announce(std::size_t calls) {
  auto list = snapshot();
  std::vector<ConnectionPtr> connections;
  for (const auto& connection : *list)
    if (connection->is_open()) connections.push_back(connection);
  auto remaining = std::make_shared<std::atomic<std::size_t>>(connections.size() + 1);
  auto announced = std::make_shared<std::atomic<std::size_t>>(0);
  auto done = [remaining, announced, calls] {
    if (remaining->fetch_sub(1) == 1)
      emit({{"event", "announced"}, {"calls", calls}, {"connections", announced->load()}});
  };
  for (auto& connection : connections) {
    asio::dispatch(connection->executor(), [connection, calls, announced, done] {
      if (connection->is_open() && connection->said_hello()) {
        connection->announce(calls);
        announced->fetch_add(1);
      }
      done();
    });
  }
  done();
}

void Peer::burst(std::uint64_t per_call) {
  for (auto& connection : *snapshot()) {
    asio::dispatch(connection->executor(), [connection, per_call] {
      connection->add_events(per_call * connection->call_count());
    });
  }
  emit({{"event", "burst_started"}, {"per_call", per_call}});
}

void Peer::stop_events() {
  asio::dispatch(tick_strand_, [this] { rate_.rate = 0; });
  for (auto& connection : *snapshot())
    asio::dispatch(connection->executor(), [connection] { connection->stop_events(); });
}

void Peer::set_rate(const std::string& rate) {
  if (rate == "max") {
    for (auto& connection : *snapshot())
      asio::dispatch(connection->executor(), [connection] { connection->start_flood(); });
    emit({{"event", "rate"}, {"rate", "max"}});
    return;
  }
  const double per_second = std::stod(rate);
  asio::dispatch(tick_strand_, [this, per_second] {
    rate_.rate = per_second;
    rate_.start = SteadyClock::now();
    rate_.issued = 0;
    if (per_second > 0 && !ticking_) {
      ticking_ = true;
      tick();
    }
  });
  emit({{"event", "rate"}, {"rate", per_second}});
}

// Every millisecond: the events due since the rate was set, spread over the
// connections in proportion to their calls, with the fractions carried over.
void Peer::tick() {
  if (rate_.rate <= 0) {
    ticking_ = false;
    return;
  }
  const auto now = SteadyClock::now();
  const double elapsed = std::chrono::duration<double>(now - rate_.start).count();
  const auto due = static_cast<std::uint64_t>(rate_.rate * elapsed);
  if (due > rate_.issued) {
    const std::uint64_t count = due - rate_.issued;
    rate_.issued = due;
    auto list = snapshot();
    const auto& connections = *list;
    std::size_t calls = 0;
    std::vector<std::size_t> per_connection(connections.size());
    // Call counts are read without the connections' strands: a stale count
    // only skews one tick's split.
    for (std::size_t i = 0; i < connections.size(); ++i) {
      per_connection[i] = connections[i]->call_count();
      calls += per_connection[i];
    }
    if (calls > 0) {
      credit_.resize(connections.size(), 0.0);
      for (std::size_t i = 0; i < connections.size(); ++i) {
        if (per_connection[i] == 0) continue;
        credit_[i] += static_cast<double>(count) * per_connection[i] / calls;
        const auto whole = static_cast<std::uint64_t>(credit_[i]);
        if (whole == 0) continue;
        credit_[i] -= static_cast<double>(whole);
        auto connection = connections[i];
        asio::post(connection->executor(), [connection, whole] { connection->add_events(whole); });
      }
    }
  }
  tick_timer_.expires_after(std::chrono::milliseconds(1));
  tick_timer_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec) tick();
  });
}

void Peer::close_all() {
  for (auto& connection : *snapshot())
    asio::dispatch(connection->executor(), [connection] { connection->close(); });
}

void Peer::print_stats() {
  emit({{"event", "stats"},
        {"connections", counters_.connections_open.load()},
        {"commands", counters_.commands.load()},
        {"events", counters_.events.load()},
        {"cpu_s", cpu_seconds()},
        {"threads", threads_}});
}

void Peer::run() {
  auto work = asio::make_work_guard(io_);
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < threads_; ++i) threads.emplace_back([this] { io_.run(); });
  io_.run();
  for (auto& t : threads) t.join();
}

// Raise the descriptor limit to its ceiling: dial mode opens thousands.
void raise_fd_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

void read_stdin(Peer& peer) {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string verb, arg;
    words >> verb >> arg;
    try {
      if (verb.empty()) continue;
      if (verb == "announce") {
        peer.announce(std::stoul(arg));
      } else if (verb == "dial") {
        std::size_t n = std::stoul(arg);
        peer.dial(std::nullopt, n);
      } else if (verb == "rate") {
        peer.set_rate(arg);
      } else if (verb == "burst") {
        peer.burst(std::stoull(arg));
      } else if (verb == "stop") {
        peer.stop_events();
        emit({{"event", "stopped"}});
      } else if (verb == "stats") {
        peer.print_stats();
      } else if (verb == "close") {
        peer.close_all();
        emit({{"event", "closing"}});
      } else if (verb == "quit") {
        break;
      } else {
        emit({{"event", "error"}, {"error", "unknown command " + verb}});
      }
    } catch (const std::exception& e) {
      emit({{"event", "error"}, {"error", std::string(e.what())}});
    }
  }
  // End of input or quit: the driver is gone or done with us.
  peer.print_stats();
  std::exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  std::string listen, port_file, dial_url, token = "tok", rate, app = "bench";
  std::size_t calls = 0;
  std::uint64_t burst = 0;
  unsigned threads = 2;
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::cerr << "missing value for " << flag << "\n" << usage;
        std::exit(2);
      }
      return argv[++i];
    };
    if (flag == "--listen") listen = value();
    else if (flag == "--port-file") port_file = value();
    else if (flag == "--dial") dial_url = value();
    else if (flag == "--token") token = value();
    else if (flag == "--calls") calls = std::stoul(value());
    else if (flag == "--events-per-second") rate = value();
    else if (flag == "--burst") burst = std::stoull(value());
    else if (flag == "--threads") threads = static_cast<unsigned>(std::max(1UL, std::stoul(value())));
    else if (flag == "--app") app = value();
    else if (flag == "--help" || flag == "-h") {
      std::cout << usage;
      return 0;
    } else {
      std::cerr << "unknown flag " << flag << "\n" << usage;
      return 2;
    }
  }
  if (listen.empty() == dial_url.empty()) {
    std::cerr << "give exactly one of --listen and --dial\n" << usage;
    return 2;
  }
  raise_fd_limit();
  Peer peer(threads, token, app, AutoStart{listen.empty() ? 0 : calls, rate, burst});
  try {
    if (!listen.empty()) {
      peer.listen(listen, port_file);
    } else {
      auto url = parse_ws_url(dial_url);
      if (!url) {
        std::cerr << "--dial needs a ws://HOST:PORT/PATH URL\n";
        return 2;
      }
      peer.dial(*url, calls);
    }
  } catch (const std::exception& e) {
    std::cerr << "fenwix_bench_peer: " << e.what() << "\n";
    return 1;
  }
  std::thread(read_stdin, std::ref(peer)).detach();
  peer.run();
}
