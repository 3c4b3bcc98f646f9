// The outbound client against a fake switch: the upgrade and hello, the
// session over a real socket, and the supervision that reconnects.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "deadline.hpp"
#include "fenwix/client/client.hpp"
#include "peer.hpp"
#include "support.hpp"

namespace fenwix {
namespace {

using test::config_for;
using test::FakeSwitch;
using test::json;
using test::kWait;
using test::LogCapture;
using test::Outcome;
using test::PeerConnection;
using namespace std::chrono_literals;
using log::Level;

constexpr std::string_view kHandshakeComplete = "control: handshake complete";
constexpr std::string_view kReconnecting = "control: connection closed — reconnecting";
constexpr std::string_view kBackingOff = "control: reconnect failed — backing off";
constexpr std::string_view kReattachedCount = "control: reattached channels after reconnect";
constexpr std::string_view kResyncFailed = "control: resync after reconnect failed";
constexpr std::string_view kResyncUnparseable = "control: resync result unparseable";
constexpr std::string_view kPeerClosed = "control: peer closed the connection";
constexpr std::string_view kReadError = "control: read error";

Json hello_ok(const Json& command) {
  const Json& args = command.at("args");
  return test::ok_reply(command, {{"app", args.at("app")},
                                  {"protocol", args.at("protocol")},
                                  {"subprotocol", "fenwix-control.v1"}});
}

Json event_frame(std::string_view name, std::optional<std::string_view> channel) {
  Json frame = {{"type", "event"}, {"event", name}};
  if (channel) frame["channel"] = *channel;
  return frame;
}

// Records what the client delivers to its callback, as short texts.
class EventLog {
 public:
  static std::shared_ptr<EventLog> install(const ControlClient& client) {
    auto log = std::make_shared<EventLog>();
    client.install_event_callback([log](ClientEvent event) { log->add(std::move(event)); });
    return log;
  }

  std::vector<std::string> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

  bool wait_size(std::size_t n, test::Millis limit = kWait) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return events_.size() >= n; });
  }

 private:
  void add(ClientEvent event) {
    std::string text = std::visit(
        [](const auto& e) -> std::string {
          using E = std::decay_t<decltype(e)>;
          if constexpr (std::is_same_v<E, client_event::Event>)
            return "event " + e.frame.event + " " + e.frame.channel.value_or("-") + " g" +
                   std::to_string(e.generation);
          else if constexpr (std::is_same_v<E, client_event::Reattached>)
            return "reattached " + e.snapshot.channel + " " + e.snapshot.state + " g" +
                   std::to_string(e.generation);
          else
            return "resynced g" + std::to_string(e.generation);
        },
        event);
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(text));
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> events_;
};

std::optional<ControlClient> connect(ClientConfig config) {
  auto result = test::run(ControlClient::connect(std::move(config)));
  if (!result) return std::nullopt;
  if (!*result) {
    ADD_FAILURE() << "connect failed: " << to_string(result->error());
    return std::nullopt;
  }
  return std::move(**result);
}

// Sends one command through the client and has the switch answer it; true
// when it completed with the switch's result.
bool round_trip(const ControlClient& client, PeerConnection& conn) {
  Outcome outcome;
  client.command("sip", "ring", json(R"({"channel":"c1"})"), Json::object(), outcome.handler());
  if (auto failed = outcome.now()) {
    ADD_FAILURE() << "the command failed at once: " << test::error_text(*failed);
    return false;
  }
  auto command = conn.next_command("ring");
  if (!command) return false;
  conn.send_json(test::ok_reply(*command, {{"ok", true}}));
  auto result = outcome.wait();
  return result && *result && **result == json(R"({"ok":true})");
}

class ClientTest : public ::testing::Test {
 protected:
  // Connects to the switch; the switch's side of the connection is conn0_.
  void open(ClientConfig config) {
    client_ = connect(std::move(config));
    ASSERT_TRUE(client_);
    conn0_ = sw_.connection(0);
    ASSERT_TRUE(conn0_);
  }

  LogCapture logs_;
  FakeSwitch sw_;
  std::optional<ControlClient> client_;
  std::shared_ptr<PeerConnection> conn0_;
};

// A client connected with the default config, recording what reaches its
// event callback.
class ConnectedClientTest : public ClientTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(open(config_for(sw_)));
    events_ = EventLog::install(*client_);
  }

  std::shared_ptr<EventLog> events_;
};

TEST_F(ClientTest, UpgradeCarriesTokenAndSubprotocolAndHelloIdentifiesTheApp) {
  auto config = config_for(sw_);
  config.url = sw_.url("/control/ws?tenant=7");
  config.protocol = 3;
  sw_.respond("hello", [](const Json& command) -> std::optional<Json> {
    return test::ok_reply(command, {{"app", "other-name"},
                                    {"protocol", 9},
                                    {"subprotocol", "fenwix-control.v1"},
                                    {"server", "x"}});
  });
  auto client = connect(config);
  ASSERT_TRUE(client);

  const auto requests = sw_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/control/ws?tenant=7");
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer t0k");
  EXPECT_EQ(requests[0].header("Sec-WebSocket-Protocol"), "fenwix-control.v1");
  EXPECT_EQ(requests[0].header("Host"), "127.0.0.1:" + std::to_string(sw_.port()));

  auto conn = sw_.connection(0);
  ASSERT_TRUE(conn);
  EXPECT_EQ(conn->next_text(),
            R"({"id":"c-1","type":"command","verb":"hello","target":null,"args":{"app":"demo","protocol":3}})");
  // The configured name, the protocol the switch reported.
  const auto records = logs_.with_message(kHandshakeComplete);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(test::is_record(records[0], Level::Info, kHandshakeComplete,
                              {{"app", "demo"}, {"protocol", "9"}}));
  EXPECT_EQ(client->generation(), 1u);
  EXPECT_TRUE(round_trip(*client, *conn));
}

template <class T>
bool is_kind(const ControlError& e) {
  return e.is<T>();
}

TEST(ClientConnectTest, FailedAttemptsReportWhatWentWrong) {
  struct Case {
    std::string label;
    std::function<void(FakeSwitch&, ClientConfig&)> setup;
    bool (*kind)(const ControlError&);
    std::string text;  // the whole display text, or its start when it ends in "..."
    bool reaches_switch;
    bool closed_by_client;  // upgraded, then closed at once by the client
  };
  const auto answer = [](test::UpgradeAnswer a) {
    return [a](FakeSwitch& sw, ClientConfig&) { sw.set_upgrade_answer(a); };
  };
  const auto hello = [](FakeSwitch::Responder r) {
    return [r](FakeSwitch& sw, ClientConfig&) { sw.respond("hello", r); };
  };
  const std::vector<Case> cases = {
      {"token with a line feed", [](FakeSwitch&, ClientConfig& c) { c.token = "t0k\nX-A: b"; },
       is_kind<error::Config>,
       "configuration error: invalid token header: failed to parse header value", false, false},
      {"URL without a host", [](FakeSwitch&, ClientConfig& c) { c.url = "ws:///control/ws"; },
       is_kind<error::Config>, "configuration error: invalid control url \"ws:///control/ws\": ...",
       false, false},
      {"http scheme",
       [](FakeSwitch& sw, ClientConfig& c) { c.url = "http://127.0.0.1:" + std::to_string(sw.port()) + "/"; },
       is_kind<error::WebSocket>, "websocket error: ...", false, false},
      {"switch not listening", [](FakeSwitch& sw, ClientConfig&) { sw.stop(); },
       is_kind<error::WebSocket>, "websocket error: Connection refused", false, false},
      {"upgrade refused with 401", answer({.status = 401, .body = "unauthorized"}),
       is_kind<error::HandshakeRejected>,
       "unauthorized: the control token was rejected (HTTP 401)", true, false},
      {"upgrade refused with 404", answer({.status = 404, .body = "no such path"}),
       is_kind<error::HandshakeRejected>,
       "unauthorized: the control token was rejected (HTTP 404)", true, false},
      {"101 without the subprotocol", answer({.subprotocol = false}), is_kind<error::WebSocket>,
       "websocket error: the switch did not select the subprotocol \"fenwix-control.v1\"", true,
       false},
      {"hello rejected",
       hello([](const Json& c) -> std::optional<Json> {
         return test::error_reply(c, "unauthorized", "unknown app");
       }),
       is_kind<error::Remote>, "control command rejected (Unauthorized): unknown app", true, true},
      {"hello result without subprotocol",
       hello([](const Json& c) -> std::optional<Json> {
         return test::ok_reply(c, {{"app", "demo"}, {"protocol", 1}});
       }),
       is_kind<error::Handshake>, "handshake failed: bad hello reply: ...", true, true},
      {"hello result with a string protocol",
       hello([](const Json& c) -> std::optional<Json> {
         return test::ok_reply(
             c, {{"app", "demo"}, {"protocol", "1"}, {"subprotocol", "fenwix-control.v1"}});
       }),
       is_kind<error::Handshake>, "handshake failed: bad hello reply: ...", true, true},
      {"hello names another subprotocol",
       hello([](const Json& c) -> std::optional<Json> {
         return test::ok_reply(
             c, {{"app", "demo"}, {"protocol", 1}, {"subprotocol", "fenwix-control.v2"}});
       }),
       is_kind<error::Handshake>,
       "handshake failed: server negotiated subprotocol \"fenwix-control.v2\", expected "
       "\"fenwix-control.v1\"",
       true, true},
      {"hello unanswered",
       [](FakeSwitch& sw, ClientConfig& c) {
         sw.respond("hello", nullptr);
         c.reply_timeout = 50ms;
       },
       is_kind<error::Timeout>, "timed out awaiting a reply after 50ms", true, true},
      {"upgrade never answered",
       [](FakeSwitch& sw, ClientConfig&) {
         sw.set_upgrade_answer({.stall = true});
         detail::set_upgrade_deadline(100ms);
       },
       is_kind<error::WebSocket>, "websocket error: timed out connecting to the switch after 100ms",
       true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    LogCapture logs;
    FakeSwitch sw;
    test::RestoreUpgradeDeadline restore;
    auto config = config_for(sw);
    c.setup(sw, config);
    auto result = test::run(ControlClient::connect(config));
    ASSERT_TRUE(result);
    ASSERT_FALSE(*result);
    const auto& error = result->error();
    EXPECT_TRUE(c.kind(error)) << to_string(error);
    if (c.text.ends_with("..."))
      EXPECT_TRUE(to_string(error).starts_with(c.text.substr(0, c.text.size() - 3)))
          << to_string(error);
    else
      EXPECT_EQ(to_string(error), c.text);
    EXPECT_EQ(sw.accepted() > 0, c.reaches_switch);
    if (c.closed_by_client) {
      auto conn = sw.connection(0);
      ASSERT_TRUE(conn);
      auto ending = conn->wait_ended();
      ASSERT_TRUE(ending) << "the client kept the connection of a failed hello";
      EXPECT_TRUE(ending->close_frame) << ending->error;
    }
    EXPECT_EQ(logs.count(kHandshakeComplete), 0u);
  }
}

TEST(ClientTlsTest, WssVerifiesTheSwitchCertificate) {
  struct Case {
    std::string label;
    bool trust_test_ca;
  };
  for (const auto& c : {Case{"trusted through the extra CA", true},
                        Case{"untrusted certificate", false}}) {
    SCOPED_TRACE(c.label);
    FakeSwitch sw(&test::test_tls_identity());
    auto config = config_for(sw);
    ASSERT_TRUE(config.url.starts_with("wss://"));
    if (c.trust_test_ca) config.extra_ca_pem = test::test_tls_identity().ca_pem;
    auto result = test::run(ControlClient::connect(config));
    ASSERT_TRUE(result);
    if (c.trust_test_ca) {
      ASSERT_TRUE(*result) << to_string(result->error());
      auto conn = sw.connection(0);
      ASSERT_TRUE(conn);
      EXPECT_TRUE(round_trip(**result, *conn));
    } else {
      ASSERT_FALSE(*result);
      EXPECT_TRUE(result->error().is<error::WebSocket>());
      EXPECT_NE(to_string(result->error()).find("certificate verify failed"), std::string::npos)
          << to_string(result->error());
      EXPECT_EQ(sw.connection_count(), 0u);
    }
  }
}

TEST_F(ConnectedClientTest, JunkFramesAreLoggedAndTheSessionStaysOpen) {
  conn0_->send_binary(std::string("\x01\x02", 2));
  conn0_->send_text("not json");
  conn0_->send_text(R"({"type":"command"})");
  conn0_->send_json(event_frame("StasisStart", "c1"));
  ASSERT_TRUE(events_->wait_size(1));

  const auto binary = logs_.with_message("control: ignoring unexpected binary frame");
  ASSERT_EQ(binary.size(), 1u);
  EXPECT_TRUE(test::is_record(binary[0], Level::Warn, "control: ignoring unexpected binary frame"));
  EXPECT_EQ(logs_.count("control: malformed inbound frame — dropping"), 1u);
  const auto unknown = logs_.with_message("control: ignoring frame of unknown type");
  ASSERT_EQ(unknown.size(), 1u);
  EXPECT_TRUE(test::is_record(unknown[0], Level::Debug, "control: ignoring frame of unknown type",
                              {{"other", "command"}}));
  EXPECT_FALSE(client_->current_session()->is_closed());
  EXPECT_TRUE(round_trip(*client_, *conn0_));
}

TEST_F(ConnectedClientTest, EventsReachTheCallbackInArrivalOrder) {
  conn0_->send_json(event_frame("StasisStart", "c1"));
  conn0_->send_json(event_frame("ChannelDtmfReceived", "c1"));
  conn0_->send_json(event_frame("RegistrationChanged", std::nullopt));
  conn0_->send_json(event_frame("StasisEnd", "c1"));
  ASSERT_TRUE(events_->wait_size(4));
  EXPECT_EQ(events_->events(),
            (std::vector<std::string>{"event StasisStart c1 g1", "event ChannelDtmfReceived c1 g1",
                                      "event RegistrationChanged - g1", "event StasisEnd c1 g1"}));
}

// However the connection ends, a command waiting on it fails at once with
// the closed error, not at its time-out, and so does every later command.
TEST(ClientSessionEndTest, WaitingCommandsFailAtOnce) {
  struct Case {
    std::string label;
    std::function<void(PeerConnection&)> end;
    std::optional<std::string_view> record;  // DEBUG, no fields
  };
  const std::vector<Case> cases = {
      {"close frame", [](PeerConnection& c) { c.close(1000); }, kPeerClosed},
      {"close frame without a code", [](PeerConnection& c) { c.close(0); }, kPeerClosed},
      {"end of stream", [](PeerConnection& c) { c.drop(); }, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    LogCapture logs;
    FakeSwitch sw;
    auto config = config_for(sw);
    config.reply_timeout = 60s;
    auto client = connect(config);
    ASSERT_TRUE(client);
    auto conn = sw.connection(0);
    ASSERT_TRUE(conn);
    Outcome in_flight;
    client->command("sip", "answer", json(R"({"channel":"c1"})"), nullptr, in_flight.handler());
    ASSERT_TRUE(conn->next_command("answer"));
    c.end(*conn);

    auto result = in_flight.wait();
    ASSERT_TRUE(result) << "the waiting command did not fail at once";
    ASSERT_FALSE(*result);
    EXPECT_EQ(to_string(result->error()), "control connection is closed");
    EXPECT_TRUE(client->current_session()->is_closed());

    Outcome late;
    client->command("sip", "answer", json(R"({"channel":"c1"})"), nullptr, late.handler());
    ASSERT_TRUE(late.now());
    EXPECT_EQ(to_string(late.now()->error()), "control connection is closed");

    if (c.record) {
      const auto records = logs.with_message(*c.record);
      ASSERT_EQ(records.size(), 1u);
      EXPECT_TRUE(test::is_record(records[0], Level::Debug, *c.record));
    } else {
      EXPECT_EQ(logs.count(kPeerClosed), 0u);
      EXPECT_EQ(logs.count(kReadError), 0u);
    }
  }
}

// The header of an unmasked text frame announcing `size` bytes of payload.
std::string text_frame_header(std::uint64_t size) {
  std::string header = {'\x81', '\x7f'};
  for (int shift = 56; shift >= 0; shift -= 8)
    header.push_back(static_cast<char>((size >> shift) & 0xff));
  return header;
}

// The largest inbound message the client takes: one of exactly this size gets
// through, one byte more ends the connection.
constexpr std::size_t kInboundLimit = 16 * 1024 * 1024;

TEST_F(ConnectedClientTest, AMessageOfExactly16MiBIsDelivered) {
  const std::string head = R"({"type":"event","event":"Big","payload":")";
  const std::string tail = R"("})";
  conn0_->send_text(head + std::string(kInboundLimit - head.size() - tail.size(), 'a') + tail);
  ASSERT_TRUE(events_->wait_size(1));
  EXPECT_EQ(events_->events(), std::vector<std::string>{"event Big - g1"});
  EXPECT_TRUE(round_trip(*client_, *conn0_));
}

TEST_F(ConnectedClientTest, AMessageOver16MiBIsRefusedFromItsHeader) {
  // Only the announcement: the client must refuse the message from its
  // header, before it has read (or buffered) the body.
  conn0_->send_raw(text_frame_header(kInboundLimit + 1) + "{\"type\":");
  auto ending = conn0_->wait_ended();
  ASSERT_TRUE(ending);
  EXPECT_TRUE(ending->close_frame) << ending->error;
  EXPECT_EQ(ending->close_code, 1009);
  EXPECT_TRUE(test::wait_until([&] { return client_->current_session()->is_closed(); }));
  EXPECT_TRUE(events_->events().empty());
}

// Waits until the client has adopted the session of `generation` (the
// handshake record comes a little before that).
bool wait_live(const ControlClient& client, std::uint64_t generation) {
  return test::wait_until([&] {
    auto session = client.current_session();
    return client.generation() == generation && session && !session->is_closed();
  });
}

class SupervisionTest : public ClientTest {
 protected:
  // Connects and starts supervising.
  void start(ClientConfig config) {
    ASSERT_NO_FATAL_FAILURE(open(std::move(config)));
    ASSERT_TRUE(conn0_->next_command("hello"));
    supervision_.emplace(client_->run());
  }

  void TearDown() override {
    if (client_) client_->shutdown();
    if (supervision_) supervision_->wait();
  }

  std::optional<test::Task<Result<void>>> supervision_;
};

TEST_F(SupervisionTest, ReconnectsAfterTheSwitchRestartsAndIdsKeepCounting) {
  auto config = config_for(sw_);
  config.reconnect_backoff = 250ms;
  start(config);
  auto events = EventLog::install(*client_);
  EXPECT_TRUE(round_trip(*client_, *conn0_));  // c-2

  sw_.stop();
  ASSERT_TRUE(logs_.wait_for(kBackingOff, 2));
  // While the switch is away, commands fail at once and draw no id.
  Outcome down;
  client_->command("sip", "ring", nullptr, nullptr, down.handler());
  ASSERT_TRUE(down.now());
  EXPECT_EQ(to_string(down.now()->error()), "control connection is closed");

  sw_.restart();
  ASSERT_TRUE(logs_.wait_for(kHandshakeComplete, 2));
  auto conn1 = sw_.connection(1);
  ASSERT_TRUE(conn1);
  EXPECT_EQ(conn1->next_text(),
            R"({"id":"c-3","type":"command","verb":"hello","target":null,"args":{"app":"demo","protocol":1}})");
  EXPECT_EQ(conn1->next_text(), R"({"id":"c-4","type":"command","verb":"resync","target":null,"args":null})");
  ASSERT_TRUE(events->wait_size(1));
  EXPECT_EQ(events->events(), std::vector<std::string>{"resynced g2"});
  EXPECT_EQ(client_->generation(), 2u);
  EXPECT_TRUE(round_trip(*client_, *conn1));  // c-5 on the new session
  EXPECT_EQ(json(conn1->texts().back()).at("id"), "c-5");

  const auto reconnecting = logs_.with_message(kReconnecting);
  ASSERT_EQ(reconnecting.size(), 1u);
  EXPECT_TRUE(test::is_record(reconnecting[0], Level::Warn, kReconnecting));
  const auto failures = logs_.with_message(kBackingOff);
  ASSERT_GE(failures.size(), 2u);
  for (const auto& r : failures)
    EXPECT_TRUE(test::is_record(r, Level::Warn, kBackingOff,
                                {{"error", "websocket error: Connection refused"}}));
  // The first attempt is made at once; the next ones a back-off apart.
  const auto closed_at = logs_.times(kReconnecting).at(0);
  const auto failed_at = logs_.times(kBackingOff);
  EXPECT_LT(failed_at[0] - closed_at, config.reconnect_backoff);
  for (std::size_t i = 1; i < failed_at.size(); ++i)
    EXPECT_GE(failed_at[i] - failed_at[i - 1], config.reconnect_backoff);
  EXPECT_EQ(logs_.count(kReattachedCount), 0u);
}

TEST(SupervisionResyncTest, ResyncOutcomes) {
  struct Case {
    std::string label;
    std::function<void(FakeSwitch&, ClientConfig&)> setup;
    std::vector<std::string> events;
    std::optional<std::tuple<Level, std::string_view, std::string, std::string>> record;
  };
  const auto resync = [](FakeSwitch::Responder r) {
    return [r](FakeSwitch& sw, ClientConfig&) { sw.respond("resync", r); };
  };
  const std::vector<Case> cases = {
      {"two channels",
       [](FakeSwitch& sw, ClientConfig&) {
         sw.resync_channels(json(R"([{"channel":"c1","state":"Up","vars":{"k":"v"}},{"channel":"c2"}])"));
       },
       {"reattached c1 Up g2", "reattached c2  g2", "resynced g2"},
       std::tuple{Level::Info, kReattachedCount, "count", "2"}},
      {"no channels", [](FakeSwitch&, ClientConfig&) {}, {"resynced g2"}, std::nullopt},
      {"empty result",
       resync([](const Json& c) -> std::optional<Json> { return test::ok_reply(c, Json::object()); }),
       {"resynced g2"}, std::nullopt},
      {"rejected",
       resync([](const Json& c) -> std::optional<Json> {
         return test::error_reply(c, "unavailable", "busy");
       }),
       {},
       std::tuple{Level::Warn, kResyncFailed, "error",
                  "control command rejected (Unavailable): busy"}},
      {"unanswered",
       [](FakeSwitch& sw, ClientConfig& c) {
         sw.respond("resync", nullptr);
         c.reply_timeout = 80ms;
       },
       {},
       std::tuple{Level::Warn, kResyncFailed, "error", "timed out awaiting a reply after 80ms"}},
      {"unparseable",
       resync([](const Json& c) -> std::optional<Json> {
         return test::ok_reply(c, json(R"({"channels":[{"state":"Up"}]})"));
       }),
       {}, std::tuple{Level::Warn, kResyncUnparseable, "error", "*"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    LogCapture logs;
    FakeSwitch sw;
    auto config = config_for(sw);
    c.setup(sw, config);
    auto client = connect(config);
    ASSERT_TRUE(client);
    auto events = EventLog::install(*client);
    test::Task<Result<void>> supervision(client->run());
    auto conn0 = sw.connection(0);
    ASSERT_TRUE(conn0);
    conn0->drop();
    auto conn1 = sw.connection(1);
    ASSERT_TRUE(conn1);
    ASSERT_TRUE(conn1->next_command("resync"));
    if (!c.events.empty()) {
      ASSERT_TRUE(events->wait_size(c.events.size()));
    }
    if (c.record) {
      ASSERT_TRUE(logs.wait_for(std::get<1>(*c.record)));
    }
    // The connection is kept whatever the resync did.
    EXPECT_TRUE(round_trip(*client, *conn1));
    EXPECT_EQ(events->events(), c.events);
    if (c.record) {
      const auto& [level, message, field, value] = *c.record;
      const auto records = logs.with_message(message);
      ASSERT_EQ(records.size(), 1u);
      if (value == "*") {
        EXPECT_EQ(records[0].level, level);
        EXPECT_TRUE(records[0].field(field).has_value());
      } else {
        EXPECT_TRUE(test::is_record(records[0], level, message, {{field, value}}));
      }
    }
    if (!c.record || std::get<1>(*c.record) != kReattachedCount) {
      EXPECT_EQ(logs.count(kReattachedCount), 0u);
    }
    client->shutdown();
    EXPECT_TRUE(supervision.wait());
  }
}

// A refusal about the token ends supervision: retrying cannot help.
class TokenRefusalTest : public SupervisionTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(TokenRefusalTest, EndsSupervision) {
  const unsigned status = GetParam();
  start(config_for(sw_));
  sw_.set_upgrade_answer({.status = status, .body = "unauthorized"});
  conn0_->drop();
  auto result = supervision_->wait();
  ASSERT_TRUE(result);
  ASSERT_FALSE(*result);
  EXPECT_EQ(result->error(),
            (ControlError{error::HandshakeRejected{static_cast<std::uint16_t>(status)}}));
  // No further attempt, however long one waits.
  const auto attempts = sw_.accepted();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(sw_.accepted(), attempts);
  EXPECT_EQ(logs_.count(kBackingOff), 0u);
}

INSTANTIATE_TEST_SUITE_P(Statuses, TokenRefusalTest, ::testing::Values(401u, 403u));

// Any other refusal (a proxy answering 503 while the switch restarts) says
// nothing about the token: supervision backs off and connects again.
TEST_F(SupervisionTest, AnotherRefusalIsRetriedAfterTheBackoff) {
  auto config = config_for(sw_);
  config.reconnect_backoff = 50ms;
  start(config);
  sw_.set_upgrade_answer({.status = 503, .body = "switch restarting"});
  conn0_->drop();
  ASSERT_TRUE(logs_.wait_for(kBackingOff, 1));
  EXPECT_TRUE(test::is_record(logs_.with_message(kBackingOff).at(0), Level::Warn, kBackingOff,
                              {{"error", "unauthorized: the control token was rejected (HTTP 503)"}}));
  sw_.set_upgrade_answer({});
  ASSERT_TRUE(logs_.wait_for(kHandshakeComplete, 2));
  auto conn = sw_.connection(sw_.connection_count() - 1);
  ASSERT_TRUE(conn);
  ASSERT_TRUE(wait_live(*client_, 2));
  EXPECT_TRUE(round_trip(*client_, *conn));
  client_->shutdown();
  EXPECT_EQ(supervision_->wait(), Result<void>{});
}

TEST_F(SupervisionTest, ARejectedHelloIsRetriedAfterTheBackoff) {
  auto config = config_for(sw_);
  config.reconnect_backoff = 100ms;
  start(config);
  auto hellos = std::make_shared<std::atomic<int>>(0);
  sw_.respond("hello", [hellos](const Json& c) -> std::optional<Json> {
    if ((*hellos)++ == 0) return test::error_reply(c, "unauthorized", "token revoked");
    return hello_ok(c);
  });
  conn0_->drop();
  ASSERT_TRUE(logs_.wait_for(kHandshakeComplete, 2));
  const auto failures = logs_.with_message(kBackingOff);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_TRUE(test::is_record(
      failures[0], Level::Warn, kBackingOff,
      {{"error", "control command rejected (Unauthorized): token revoked"}}));
  EXPECT_GE(logs_.times(kHandshakeComplete).at(1) - logs_.times(kBackingOff).at(0),
            config.reconnect_backoff);
  // The rejected connection was closed by the client; the next one is used.
  auto rejected = sw_.connection(1);
  ASSERT_TRUE(rejected);
  auto ending = rejected->wait_ended();
  ASSERT_TRUE(ending);
  EXPECT_TRUE(ending->close_frame);
  auto conn2 = sw_.connection(2);
  ASSERT_TRUE(conn2);
  ASSERT_TRUE(wait_live(*client_, 2));
  EXPECT_TRUE(round_trip(*client_, *conn2));
}

TEST_F(SupervisionTest, ShutdownWhileLive) {
  start(config_for(sw_));
  Outcome in_flight;
  client_->command("sip", "answer", nullptr, nullptr, in_flight.handler());
  ASSERT_TRUE(conn0_->next_command("answer"));
  client_->shutdown();
  // Failed by the shutdown itself.
  ASSERT_TRUE(in_flight.now());
  EXPECT_EQ(to_string(in_flight.now()->error()), "control connection is closed");
  EXPECT_EQ(supervision_->wait(), Result<void>{});
  // The writer said goodbye with a Close frame without a status code.
  auto ending = conn0_->wait_ended();
  ASSERT_TRUE(ending);
  EXPECT_TRUE(ending->close_frame);
  EXPECT_EQ(ending->close_code, std::nullopt);
  // A shut-down client stays down.
  EXPECT_EQ(test::run(client_->run()), Result<void>{});
  Outcome later;
  client_->command("sip", "answer", nullptr, nullptr, later.handler());
  ASSERT_TRUE(later.now());
  EXPECT_FALSE(*later.now());
  EXPECT_EQ(sw_.connection_count(), 1u);
}

TEST_F(SupervisionTest, ShutdownDuringTheBackoff) {
  auto config = config_for(sw_);
  config.reconnect_backoff = 60s;
  start(config);
  sw_.stop();
  ASSERT_TRUE(logs_.wait_for(kBackingOff));
  client_->shutdown();
  EXPECT_EQ(supervision_->wait(), Result<void>{});
  EXPECT_EQ(logs_.count(kBackingOff), 1u);
}

TEST_F(SupervisionTest, ASessionOpenedAfterShutdownIsClosedNotKept) {
  start(config_for(sw_));
  sw_.respond("hello", nullptr);
  conn0_->drop();
  auto conn1 = sw_.connection(1);
  ASSERT_TRUE(conn1);
  auto hello = conn1->next_command("hello");
  ASSERT_TRUE(hello);
  client_->shutdown();
  conn1->send_json(hello_ok(*hello));
  auto ending = conn1->wait_ended();
  ASSERT_TRUE(ending);
  EXPECT_TRUE(ending->close_frame);
  EXPECT_EQ(supervision_->wait(), Result<void>{});
  // Nothing but the hello went over it.
  EXPECT_EQ(conn1->texts().size(), 1u);
  auto current = client_->current_session();
  EXPECT_TRUE(!current || current->is_closed());
}

TEST_F(SupervisionTest, DroppingTheLastHandleShutsTheClientDown) {
  start(config_for(sw_));
  // The loop is well under way: it must not count as a handle itself.
  EXPECT_TRUE(supervision_->still_running_after(20ms));
  client_.reset();
  EXPECT_EQ(supervision_->wait(), Result<void>{});
  auto ending = conn0_->wait_ended();
  ASSERT_TRUE(ending);
  EXPECT_TRUE(ending->close_frame);
}

TEST_F(SupervisionTest, CancellingRunLeavesTheSessionUp) {
  start(config_for(sw_));
  EXPECT_TRUE(supervision_->still_running_after(20ms));
  supervision_->cancel();
  EXPECT_TRUE(supervision_->done());
  supervision_.reset();
  EXPECT_FALSE(client_->current_session()->is_closed());
  EXPECT_TRUE(round_trip(*client_, *conn0_));
  // Without supervision a lost connection stays lost.
  conn0_->drop();
  ASSERT_TRUE(test::wait_until([&] { return client_->current_session()->is_closed(); }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(sw_.connection_count(), 1u);
}

}  // namespace
}  // namespace fenwix
