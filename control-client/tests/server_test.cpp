// The per-call server against fake dialers: binding, the token check at the
// upgrade, the upgrade deadline and size limit, and one session per call.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "deadline.hpp"
#include "fenwix/client/server.hpp"
#include "peer.hpp"
#include "support.hpp"

namespace fenwix {
namespace {

using test::json;
using test::kWait;
using test::LogCapture;
using test::Outcome;
using namespace std::chrono_literals;
using log::Level;

constexpr std::string_view kListening = "control: per-call-connect server listening";
constexpr std::string_view kAccepted = "control: per-call dial accepted";
constexpr std::string_view kRejected = "control: rejected per-call dial";
constexpr std::string_view kBadToken = "control: per-call dial presented a bad/missing token";
constexpr std::string_view kConnectionClosed = "control: per-call connection closed";

// What the server hands to its handlers.
class ServerLog {
 public:
  struct Seen {
    std::string event;
    std::string channel;
    TransportPtr transport;
  };

  void on_event(EventFrame frame, TransportPtr transport) {
    std::lock_guard lock(mutex_);
    events_.push_back({frame.event, frame.channel.value_or("-"), std::move(transport)});
    changed_.notify_all();
  }

  void on_closed(const TransportPtr& transport) {
    std::lock_guard lock(mutex_);
    closed_.push_back(transport);
    changed_.notify_all();
  }

  std::vector<Seen> wait_events(std::size_t n) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kWait, [&] { return events_.size() >= n; });
    return events_;
  }

  std::vector<TransportPtr> wait_closed(std::size_t n) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kWait, [&] { return closed_.size() >= n; });
    return closed_;
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Seen> events_;
  std::vector<TransportPtr> closed_;
};

Json event_frame(std::string_view name, std::string_view channel) {
  return {{"type", "event"}, {"event", name}, {"channel", channel}, {"payload", Json::object()}};
}

// Checks a "rejected per-call dial" record: the peer's address and the reason.
::testing::AssertionResult is_rejection(const log::Record& r, std::string_view error) {
  if (r.level != Level::Debug || r.message != kRejected || r.fields.size() != 2 ||
      !r.field("peer") || !r.field("error"))
    return test::is_record(r, Level::Debug, kRejected);  // fails, showing the record
  if (!r.field("peer")->starts_with("127.0.0.1:"))
    return ::testing::AssertionFailure() << "peer " << *r.field("peer");
  if (!error.empty() && *r.field("error") != error)
    return ::testing::AssertionFailure() << "error " << *r.field("error");
  return ::testing::AssertionSuccess();
}

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ServerConfig config;
    config.app = "demo";
    config.token = "s3cret";
    config.bind = {"127.0.0.1", 0, false};
    config.reply_timeout = 5s;
    auto bound = ControlServer::bind(config);
    ASSERT_TRUE(bound) << to_string(bound.error());
    server_ = *bound;
    server_->on_connection_event(
        [log = log_](EventFrame frame, TransportPtr t) { log->on_event(std::move(frame), std::move(t)); });
    server_->on_connection_closed([log = log_](const TransportPtr& t) { log->on_closed(t); });
    auto address = server_->local_addr();
    ASSERT_TRUE(address) << to_string(address.error());
    port_ = address->port;
    accept_.emplace(server_->run());
  }

  void TearDown() override {
    accept_.reset();
    // Leave no connection behind to log into the next test.
    EXPECT_TRUE(test::wait_until([&] { return server_->open_connections() == 0; }));
  }

  // Dials with the right token and waits until the server has the call.
  std::shared_ptr<test::PeerConnection> call(std::string_view channel, std::size_t nth_event) {
    auto dialed = test::dial(port_, "Bearer s3cret");
    if (!dialed.connection) {
      ADD_FAILURE() << "dial failed: " << dialed.status << " " << dialed.error;
      return nullptr;
    }
    dialed.connection->send_json(event_frame("StasisStart", channel));
    if (log_->wait_events(nth_event + 1).size() <= nth_event) {
      ADD_FAILURE() << "the server did not hand on the StasisStart";
      return nullptr;
    }
    return dialed.connection;
  }

  LogCapture logs_;
  std::shared_ptr<ServerLog> log_ = std::make_shared<ServerLog>();
  std::shared_ptr<ControlServer> server_;
  std::uint16_t port_ = 0;
  std::optional<test::Task<Result<void>>> accept_;
};

TEST_F(ServerTest, ListensOnTheAssignedPortAndLogsTheConfiguredAddress) {
  EXPECT_NE(port_, 0);
  EXPECT_EQ(server_->local_addr()->ip, "127.0.0.1");
  ASSERT_TRUE(logs_.wait_for(kListening));
  const auto records = logs_.with_message(kListening);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(test::is_record(records[0], Level::Info, kListening,
                              {{"listen", "127.0.0.1:0"}, {"app", "demo"}}));
}

TEST_F(ServerTest, BindingAnAddressInUseIsAConfigurationError) {
  ServerConfig config;
  config.token = "x";
  config.bind = {"127.0.0.1", port_, false};
  auto second = ControlServer::bind(config);
  ASSERT_FALSE(second);
  EXPECT_TRUE(second.error().is<error::Config>());
  EXPECT_EQ(to_string(second.error()),
            "configuration error: bind 127.0.0.1:" + std::to_string(port_) +
                ": Address already in use");
}

TEST_F(ServerTest, TheUpgradeNeedsTheBearerToken) {
  struct Case {
    std::string label;
    std::optional<std::string> authorization;
    std::optional<std::string> subprotocol;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"Bearer", "Bearer s3cret", "fenwix-control.v1", true},
      {"lower-case scheme, no subprotocol asked", "bearer s3cret", std::nullopt, true},
      {"no header", std::nullopt, "fenwix-control.v1", false},
      {"scheme in capitals", "BEARER s3cret", "fenwix-control.v1", false},
      {"two spaces", "Bearer  s3cret", "fenwix-control.v1", false},
      // Whitespace around a field value is not part of it in HTTP: the
      // request parser drops it before the token is judged.
      {"trailing space", "Bearer s3cret ", "fenwix-control.v1", true},
      {"wrong token", "Bearer s3creT", "fenwix-control.v1", false},
      {"non-ASCII", "Bearer s3cr\xc3\xa9t", "fenwix-control.v1", false},
      {"still accepting after refusals", "Bearer s3cret", "fenwix-control.v1", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    logs_.clear();
    auto dialed = test::dial(port_, c.authorization, c.subprotocol);
    EXPECT_EQ(dialed.error, "");
    if (c.accepted) {
      EXPECT_EQ(dialed.status, 101u);
      EXPECT_EQ(dialed.header("Sec-WebSocket-Protocol"), "fenwix-control.v1");
      ASSERT_TRUE(dialed.connection);
      ASSERT_TRUE(logs_.wait_for(kAccepted));
      dialed.connection->close();
      EXPECT_TRUE(dialed.connection->wait_ended());
      EXPECT_EQ(logs_.count(kBadToken), 0u);
    } else {
      EXPECT_EQ(dialed.status, 401u);
      EXPECT_EQ(dialed.body, "unauthorized");
      EXPECT_FALSE(dialed.connection);
      ASSERT_TRUE(logs_.wait_for(kRejected));
      const auto warnings = logs_.with_message(kBadToken);
      ASSERT_EQ(warnings.size(), 1u);
      EXPECT_TRUE(test::is_record(warnings[0], Level::Warn, kBadToken));
      const auto rejections = logs_.with_message(kRejected);
      ASSERT_EQ(rejections.size(), 1u);
      EXPECT_TRUE(is_rejection(rejections[0], ""));
      EXPECT_EQ(logs_.count(kAccepted), 0u);
    }
  }
}

TEST_F(ServerTest, EachConnectionsEventsComeWithItsOwnSession) {
  auto a = call("c1", 0);
  ASSERT_TRUE(a);
  auto b = call("c2", 1);
  ASSERT_TRUE(b);
  a->send_json(event_frame("ChannelDtmfReceived", "c1"));
  a->send_json(event_frame("StasisEnd", "c1"));
  const auto seen = log_->wait_events(4);
  ASSERT_EQ(seen.size(), 4u);
  std::vector<std::string> on_a;
  for (const auto& s : seen)
    if (s.transport == seen[0].transport) on_a.push_back(s.event + " " + s.channel);
  EXPECT_EQ(on_a, (std::vector<std::string>{"StasisStart c1", "ChannelDtmfReceived c1",
                                            "StasisEnd c1"}));
  const auto ta = seen[0].transport;
  const auto tb = seen[1].transport;
  ASSERT_NE(ta, tb);

  // Commands go out over the connection that announced the call, with ids
  // that no other connection of the server uses.
  Outcome on_b, on_a_too;
  tb->send("sip", "answer", json(R"({"channel":"c2"})"), Json::object(), on_b.handler());
  ta->send("sip", "answer", json(R"({"channel":"c1"})"), Json::object(), on_a_too.handler());
  auto command_b = b->next_command("answer");
  auto command_a = a->next_command("answer");
  ASSERT_TRUE(command_a && command_b);
  EXPECT_EQ(command_b->at("id"), "c-1");
  EXPECT_EQ(command_a->at("id"), "c-2");
  EXPECT_EQ(command_a->at("target"), json(R"({"channel":"c1"})"));
  b->send_json(test::ok_reply(*command_b, {{"leg", "b"}}));
  a->send_json(test::ok_reply(*command_a, {{"leg", "a"}}));
  EXPECT_EQ(on_b.wait(), Result<Json>(json(R"({"leg":"b"})")));
  EXPECT_EQ(on_a_too.wait(), Result<Json>(json(R"({"leg":"a"})")));
  a->close();
  b->close();
}

TEST_F(ServerTest, AClosedConnectionIsReportedAfterItsLastEvent) {
  auto a = call("c1", 0);
  ASSERT_TRUE(a);
  a->send_json(event_frame("StasisEnd", "c1"));
  a->close();
  const auto closed = log_->wait_closed(1);
  ASSERT_EQ(closed.size(), 1u);
  const auto seen = log_->wait_events(2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(closed[0], seen[0].transport);
  ASSERT_TRUE(logs_.wait_for(kConnectionClosed));
  const auto records = logs_.with_message(kConnectionClosed);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, Level::Debug);
  EXPECT_TRUE(records[0].field("peer").value_or("").starts_with("127.0.0.1:"));
  Outcome late;
  closed[0]->send("sip", "hangup", nullptr, nullptr, late.handler());
  ASSERT_TRUE(late.now());
  EXPECT_EQ(to_string(late.now()->error()), "control connection is closed");
}

TEST_F(ServerTest, ConnectionsOutliveTheAcceptLoop) {
  auto a = call("c1", 0);
  ASSERT_TRUE(a);
  accept_->cancel();
  const auto transport = log_->wait_events(1).at(0).transport;
  Outcome outcome;
  transport->send("sip", "ring", nullptr, nullptr, outcome.handler());
  auto command = a->next_command("ring");
  ASSERT_TRUE(command);
  a->send_json(test::ok_reply(*command));
  EXPECT_EQ(outcome.wait(), Result<Json>(nullptr));
  a->close();
}

// A connection that does not finish its upgrade in time is cut, and does not
// hold up anybody else meanwhile.
TEST_F(ServerTest, AnUpgradeThatNeverCompletesIsCutAtTheDeadline) {
  test::RestoreUpgradeDeadline restore;
  detail::set_upgrade_deadline(300ms);
  const auto started = std::chrono::steady_clock::now();
  test::RawDialer silent(port_);
  test::RawDialer dripping(port_);
  ASSERT_TRUE(silent.connected() && dripping.connected());

  // Served normally while the two others hang on.
  auto served = test::dial(port_, "Bearer s3cret");
  EXPECT_EQ(served.status, 101u);
  ASSERT_TRUE(served.connection);

  // One byte every 20 ms would take seconds: the deadline counts from the
  // accept, not from the last byte.
  dripping.write_slowly(test::upgrade_request_text("Bearer s3cret"), 20ms);
  const auto dripped = dripping.read_until_closed();
  const auto silence = silent.read_until_closed();
  ASSERT_TRUE(dripped && silence) << "a stalled upgrade was not cut";
  EXPECT_EQ(dripped->find("101"), std::string::npos);
  EXPECT_EQ(*silence, "");
  EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
  ASSERT_TRUE(logs_.wait_for(kRejected, 2));
  for (const auto& r : logs_.with_message(kRejected))
    EXPECT_TRUE(is_rejection(r, "The socket was closed due to a timeout"));
  served.connection->close();
}

TEST_F(ServerTest, AnUpgradeSentOneByteAtATimeIsAccepted) {
  test::RawDialer dialer(port_);
  ASSERT_TRUE(dialer.connected());
  ASSERT_TRUE(dialer.write_slowly(test::upgrade_request_text("Bearer s3cret"), 1ms));
  const auto answer = dialer.read_until("\r\n\r\n");
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 101")) << answer;
  EXPECT_NE(answer.find("Sec-WebSocket-Protocol: fenwix-control.v1"), std::string::npos) << answer;
}

TEST_F(ServerTest, AnOversizedUpgradeRequestIsRefused) {
  test::RawDialer dialer(port_);
  ASSERT_TRUE(dialer.connected());
  dialer.write(test::upgrade_request_text("Bearer s3cret", "X-Pad: " + std::string(9000, 'a') + "\r\n"));
  const auto answer = dialer.read_until_closed();
  ASSERT_TRUE(answer) << "the server kept an oversized request open";
  EXPECT_EQ(answer->find("101"), std::string::npos) << *answer;
  ASSERT_TRUE(logs_.wait_for(kRejected));
  EXPECT_EQ(test::dial(port_, "Bearer s3cret").status, 101u);
}

// Running out of descriptors makes accept fail for a while; the server must
// take calls again once it passes.
TEST_F(ServerTest, ATransientAcceptFailureDoesNotEndTheAcceptLoop) {
  rlimit original{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
  const int probe = ::dup(0);
  ASSERT_GE(probe, 0);
  ::close(probe);
  rlimit lowered = original;
  lowered.rlim_cur = static_cast<rlim_t>(probe) + 16;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  std::vector<int> fillers;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) fillers.push_back(fd);
  // One slot for the dialer's socket; none is left for the server's accept.
  ::close(fillers.back());
  fillers.pop_back();
  std::optional<test::RawDialer> dialer;
  dialer.emplace(port_);
  const bool failed = logs_.wait_for("control: accept failed — retrying", 1, 2s);
  for (int fd : fillers) ::close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &original), 0);
  ASSERT_TRUE(dialer->connected());
  ASSERT_TRUE(failed) << "accept did not fail for want of descriptors";
  const auto records = logs_.with_message("control: accept failed — retrying");
  EXPECT_TRUE(test::is_record(records.at(0), Level::Warn, "control: accept failed — retrying",
                              {{"error", "Too many open files"}}));

  ASSERT_TRUE(dialer->write(test::upgrade_request_text("Bearer s3cret")));
  const auto answer = dialer->read_until("\r\n\r\n");
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 101")) << answer;
  EXPECT_FALSE(accept_->done());
}

// The accept loop needs nothing from the handle it was started through.
TEST(ServerLifetimeTest, TheAcceptLoopOutlivesTheHandleThatStartedIt) {
  ServerConfig config;
  config.token = "s3cret";
  config.bind = {"127.0.0.1", 0, false};
  auto bound = ControlServer::bind(config);
  ASSERT_TRUE(bound) << to_string(bound.error());
  auto server = *bound;
  const auto port = server->local_addr()->port;
  test::Task<Result<void>> accept(server->run());
  server.reset();
  auto dialed = test::dial(port, "Bearer s3cret");
  EXPECT_EQ(dialed.status, 101u);
  ASSERT_TRUE(dialed.connection);
  dialed.connection->close();
  EXPECT_TRUE(dialed.connection->wait_ended());
}

}  // namespace
}  // namespace fenwix
