// The call model: the facade that turns pushed events into calls, the call's
// event stream, and both connection shapes end to end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fenwix/client/sip.hpp"
#include "peer.hpp"
#include "support.hpp"

namespace fenwix {
namespace {

using test::config_for;
using test::json;
using test::kWait;
using test::LogCapture;
using test::RecordingTransport;
using namespace std::chrono_literals;
using log::Level;

EventFrame frame(std::string_view text) {
  auto parsed = EventFrame::from_json(json(text));
  if (!parsed) throw std::invalid_argument("bad event in test: " + parsed.error());
  return std::move(*parsed);
}

EventFrame event(std::string_view name, std::optional<std::string_view> channel,
                 Json payload = nullptr) {
  Json f = {{"type", "event"}, {"event", name}};
  if (channel) f["channel"] = *channel;
  if (!payload.is_null()) f["payload"] = std::move(payload);
  return frame(f.dump());
}

// The calls dispatched to the handler, in order.
class CallLog : public std::enable_shared_from_this<CallLog> {
 public:
  CallHandler handler(Result<void> outcome = {}) {
    return [self = shared_from_this(), outcome](Call call) -> asio::awaitable<Result<void>> {
      self->add(std::move(call));
      co_return outcome;
    };
  }

  std::vector<Call> wait(std::size_t n, test::Millis limit = kWait) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return calls_.size() >= n; });
    return calls_;
  }

  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return calls_.size();
  }

 private:
  void add(Call call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Call> calls_;
};

// The dispatched call that matches: calls are handed to the handler on tasks
// of their own, so their order in the log is not their order of arrival.
Call find_call(const std::vector<Call>& calls, const std::function<bool(const Call&)>& match) {
  for (const auto& call : calls)
    if (match(call)) return call;
  ADD_FAILURE() << "no such call among " << calls.size();
  return calls.empty() ? Call() : calls.front();
}

Call on_channel(const std::vector<Call>& calls, std::string_view channel, bool reattached = false) {
  return find_call(calls, [&](const Call& c) {
    return c.channel_id() == channel && c.is_reattached() == reattached;
  });
}

// The next event of a call's stream as "Kind" (or "end"), bounded.
std::string next_of(const Call& call) {
  auto next = test::run(call.next_event());
  if (!next) return "(still waiting)";
  if (!*next) return "end";
  return std::string((*next)->kind.name());
}

// The rest of a stream up to and including its end.
std::vector<std::string> drain(const Call& call) {
  std::vector<std::string> out;
  for (int i = 0; i < 20; ++i) {
    out.push_back(next_of(call));
    if (out.back() == "end" || out.back() == "(still waiting)") break;
  }
  return out;
}

class SipFacadeTest : public ::testing::Test {
 protected:
  void SetUp() override { facade_->set_handler(calls_->handler()); }

  LogCapture logs_;
  FacadePtr facade_ = SipFacade::create();
  std::shared_ptr<CallLog> calls_ = std::make_shared<CallLog>();
  TransportPtr transport_ = std::make_shared<RecordingTransport>();
};

TEST_F(SipFacadeTest, AStasisStartBecomesACallWithTheFramesIdentity) {
  struct Case {
    std::string label;
    std::string start;
    std::optional<std::string> call_id, sip_call_id, app;
    Json payload;
  };
  const std::vector<Case> cases = {
      {"all members",
       R"({"type":"event","event":"StasisStart","channel":"c1","call_id":"k1","sip_call_id":"s1","app":"demo","payload":{"caller":"100"}})",
       "k1", "s1", "demo", json(R"({"caller":"100"})")},
      {"bare", R"({"type":"event","event":"StasisStart","channel":"c1"})", std::nullopt,
       std::nullopt, std::nullopt, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto facade = SipFacade::create();
    auto calls = std::make_shared<CallLog>();
    facade->set_handler(calls->handler());
    facade->handle_event(frame(c.start), transport_);
    const auto got = calls->wait(1);
    ASSERT_EQ(got.size(), 1u);
    const Call& call = got[0];
    EXPECT_EQ(call.channel_id(), "c1");
    EXPECT_EQ(call.call_id(), c.call_id);
    EXPECT_EQ(call.sip_call_id(), c.sip_call_id);
    EXPECT_EQ(call.app(), c.app);
    EXPECT_EQ(call.payload(), c.payload);
    EXPECT_FALSE(call.is_reattached());
    EXPECT_EQ(call.transport(), transport_);
    // The StasisStart itself is not in the stream.
    EXPECT_EQ(call.events()->buffered(), 0u);
  }
}

TEST_F(SipFacadeTest, LaterEventsArriveInOrderAndStasisEndEndsTheStream) {
  facade_->handle_event(event("StasisStart", "c1"), transport_);
  facade_->handle_event(event("ChannelStateChange", "c1", json(R"({"state":"Up"})")), transport_);
  facade_->handle_event(event("ChannelDtmfReceived", "c1"), transport_);
  facade_->handle_event(event("SomethingNew", "c1"), transport_);
  facade_->handle_event(event("StasisEnd", "c1"), transport_);
  facade_->handle_event(event("ChannelStateChange", "c1"), transport_);  // no route any more
  const auto got = calls_->wait(1);
  ASSERT_EQ(got.size(), 1u);
  const Call call = got[0];
  auto first = test::run(call.next_event());
  ASSERT_TRUE(first && *first);
  EXPECT_EQ((*first)->kind.kind, SipEventKind::ChannelStateChange);
  EXPECT_EQ((*first)->payload, json(R"({"state":"Up"})"));
  EXPECT_EQ((*first)->frame.channel, "c1");
  EXPECT_EQ(drain(call), (std::vector<std::string>{"ChannelDtmfReceived", "SomethingNew",
                                                   "StasisEnd", "end"}));
  // And it stays ended.
  EXPECT_EQ(next_of(call), "end");
  EXPECT_EQ(facade_->route_count(), 0u);
  EXPECT_TRUE(logs_.with_prefix("control(sip)").empty());
}

TEST_F(SipFacadeTest, ASecondStasisStartForALiveChannelStartsANewCall) {
  facade_->handle_event(frame(R"({"type":"event","event":"StasisStart","channel":"c1","call_id":"k1"})"),
                        transport_);
  facade_->handle_event(event("ChannelDtmfReceived", "c1"), transport_);
  facade_->handle_event(frame(R"({"type":"event","event":"StasisStart","channel":"c1","call_id":"k2"})"),
                        transport_);
  facade_->handle_event(event("ChannelStateChange", "c1"), transport_);
  const auto got = calls_->wait(2);
  ASSERT_EQ(got.size(), 2u);
  const auto first = find_call(got, [](const Call& c) { return c.call_id() == "k1"; });
  const auto second = find_call(got, [](const Call& c) { return c.call_id() == "k2"; });
  EXPECT_EQ(drain(first), (std::vector<std::string>{"ChannelDtmfReceived", "end"}));
  EXPECT_EQ(next_of(second), "ChannelStateChange");
  EXPECT_EQ(facade_->route_count(), 1u);
}

TEST_F(SipFacadeTest, EventsThatBelongToNoCallAreDroppedSilently) {
  facade_->handle_event(event("ChannelStateChange", "nobody"), transport_);
  facade_->handle_event(event("StasisEnd", "nobody"), transport_);
  facade_->handle_event(event("StasisEnd", std::nullopt), transport_);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(calls_->size(), 0u);
  EXPECT_EQ(facade_->route_count(), 0u);
  EXPECT_TRUE(logs_.with_prefix("control(sip)").empty());
}

TEST_F(SipFacadeTest, AStasisStartWithoutAChannelIsDropped) {
  facade_->handle_event(event("StasisStart", std::nullopt), transport_);
  const auto records = logs_.with_prefix("control(sip)");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(test::is_record(records[0], Level::Warn,
                              "control(sip): StasisStart without a channel — dropping"));
  EXPECT_EQ(facade_->route_count(), 0u);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(calls_->size(), 0u);
}

TEST_F(SipFacadeTest, EventsWithoutAChannelGoToTheApplicationHandler) {
  std::vector<AppEvent> seen;
  facade_->set_app_handler([&](AppEvent e) { seen.push_back(std::move(e)); });
  facade_->handle_event(event("RegistrationChanged", std::nullopt, json(R"({"aor":"a"})")),
                        transport_);
  facade_->handle_event(event("DialogStateChanged", std::nullopt), transport_);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].frame.event, "RegistrationChanged");
  EXPECT_EQ(seen[0].kind, SipEvent::from_name("RegistrationChanged"));
  EXPECT_EQ(seen[0].payload, json(R"({"aor":"a"})"));
  EXPECT_EQ(seen[1].kind.kind, SipEventKind::DialogStateChanged);
  EXPECT_TRUE(logs_.with_prefix("control(sip)").empty());

  facade_->set_app_handler(nullptr);
  facade_->handle_event(event("RegistrationChanged", std::nullopt), transport_);
  const auto records = logs_.with_prefix("control(sip)");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(test::is_record(records[0], Level::Debug,
                              "control(sip): no app event handler — dropped",
                              {{"event", "RegistrationChanged"}}));
  EXPECT_EQ(seen.size(), 2u);
}

TEST_F(SipFacadeTest, ACallWithNoHandlerIsDroppedButItsRouteStays) {
  facade_->set_handler(nullptr);
  facade_->handle_event(event("StasisStart", "c7"), transport_);
  const auto records = logs_.with_prefix("control(sip)");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(test::is_record(records[0], Level::Debug,
                              "control(sip): no handler/stream — call dropped",
                              {{"channel", "c7"}}));
  EXPECT_EQ(facade_->route_count(), 1u);
  // Nobody reads the stream: events for it go nowhere, quietly.
  facade_->handle_event(event("ChannelStateChange", "c7"), transport_);
  facade_->handle_event(event("StasisEnd", "c7"), transport_);
  EXPECT_EQ(facade_->route_count(), 0u);
  EXPECT_EQ(logs_.with_prefix("control(sip)").size(), 1u);
}

TEST_F(SipFacadeTest, AHandlerErrorIsLogged) {
  facade_->set_handler(calls_->handler(fail({error::Remote{ControlErrorCode::NotFound, "gone"}})));
  facade_->handle_event(event("StasisStart", "c1"), transport_);
  ASSERT_TRUE(logs_.wait_for("control(sip): call handler returned an error"));
  const auto records = logs_.with_message("control(sip): call handler returned an error");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(test::is_record(records[0], Level::Warn,
                              "control(sip): call handler returned an error",
                              {{"error", "control command rejected (NotFound): gone"}}));
}

// The outbound client's reconnection as the facade sees it: generation 1
// announced c1 and c2; the resync of generation 2 reports c1 only.
TEST_F(SipFacadeTest, AReattachReplacesTheCallAndTheResyncEndsTheRest) {
  facade_->handle_event(event("StasisStart", "c1"), transport_, 1);
  facade_->handle_event(event("StasisStart", "c2"), transport_, 1);
  // Arrives on the new session before c1's reattach notice.
  facade_->handle_event(event("ChannelDtmfReceived", "c1"), transport_, 2);
  ChannelSnapshot snapshot{"c1", "k1", "s1", "Up", {{"a", "b"}}};
  facade_->reattach(snapshot, transport_, 2);
  facade_->end_routes_before(2);
  facade_->handle_event(event("ChannelStateChange", "c1"), transport_, 2);

  const auto got = calls_->wait(3);
  ASSERT_EQ(got.size(), 3u);
  const Call before = on_channel(got, "c1");
  const Call gone = on_channel(got, "c2");
  const Call after = on_channel(got, "c1", true);
  EXPECT_EQ(drain(before), (std::vector<std::string>{"ChannelDtmfReceived", "end"}));
  EXPECT_EQ(drain(gone), std::vector<std::string>{"end"});
  EXPECT_TRUE(after.is_reattached());
  EXPECT_EQ(after.channel_id(), "c1");
  EXPECT_EQ(after.call_id(), "k1");
  EXPECT_EQ(after.sip_call_id(), "s1");
  EXPECT_EQ(after.app(), std::nullopt);
  EXPECT_EQ(after.payload(),
            json(R"({"call_id":"k1","channel":"c1","sip_call_id":"s1","state":"Up","vars":{"a":"b"}})"));
  EXPECT_EQ(next_of(after), "ChannelStateChange");
  EXPECT_EQ(facade_->route_count(), 1u);
}

TEST_F(SipFacadeTest, ClosingAConnectionEndsOnlyItsCalls) {
  TransportPtr other = std::make_shared<RecordingTransport>();
  facade_->handle_event(event("StasisStart", "c1"), transport_);
  facade_->handle_event(event("StasisStart", "c2"), other);
  const auto got = calls_->wait(2);
  ASSERT_EQ(got.size(), 2u);
  facade_->end_routes_of(transport_);
  EXPECT_EQ(drain(on_channel(got, "c1")), std::vector<std::string>{"end"});
  facade_->handle_event(event("ChannelStateChange", "c2"), other);
  EXPECT_EQ(next_of(on_channel(got, "c2")), "ChannelStateChange");
  EXPECT_EQ(facade_->route_count(), 1u);
}

// After a shutdown nothing can feed a stream: not even an event that was
// already on its way when the streams were ended.
TEST_F(SipFacadeTest, EndingAllRoutesIsFinal) {
  facade_->handle_event(event("StasisStart", "c1"), transport_);
  const auto got = calls_->wait(1);
  ASSERT_EQ(got.size(), 1u);
  facade_->end_all_routes();
  EXPECT_EQ(drain(got[0]), std::vector<std::string>{"end"});
  facade_->handle_event(event("StasisStart", "c2"), transport_);
  facade_->reattach(ChannelSnapshot{"c3"}, transport_, 2);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(calls_->size(), 1u);
  EXPECT_EQ(facade_->route_count(), 0u);
}

// One stream and its sending end, with no facade in between.
class EventStreamTest : public ::testing::Test {
 protected:
  // Sends an event named `name` for channel c1.
  void send(const std::string& name) { sender_.send(CallEvent::from_frame(event(name, "c1"))); }

  std::pair<std::shared_ptr<EventStream>, EventSender> pair_ = make_event_stream();
  std::shared_ptr<EventStream>& stream_ = pair_.first;
  EventSender& sender_ = pair_.second;
};

TEST_F(EventStreamTest, ConcurrentWaitersAreServedInTurn) {
  test::Task<std::optional<CallEvent>> first(stream_->next());
  EXPECT_TRUE(first.still_running_after(20ms));
  test::Task<std::optional<CallEvent>> second(stream_->next());
  EXPECT_TRUE(second.still_running_after(20ms));
  send("PlayStarted");
  send("PlayFinished");
  auto a = first.wait();
  auto b = second.wait();
  ASSERT_TRUE(a && *a && b && *b);
  EXPECT_EQ((*a)->kind.kind, SipEventKind::PlayStarted);
  EXPECT_EQ((*b)->kind.kind, SipEventKind::PlayFinished);
}

TEST_F(EventStreamTest, ACancelledWaitLosesNoEvent) {
  // Cancelled while nothing has arrived: the next event goes to the next waiter.
  {
    test::Task<std::optional<CallEvent>> waiter(stream_->next());
    EXPECT_TRUE(waiter.still_running_after(10ms));
    waiter.cancel();
    EXPECT_TRUE(waiter.threw());
  }
  send("E0");
  auto got = test::run(stream_->next());
  ASSERT_TRUE(got && *got);
  EXPECT_EQ((*got)->frame.event, "E0");

  // Cancelled just as an event arrives: whichever way the race goes, every
  // event is delivered exactly once and in order.
  constexpr int kRounds = 200;
  std::vector<std::string> delivered;
  for (int i = 0; i < kRounds; ++i) {
    test::Task<std::optional<CallEvent>> waiter(stream_->next());
    std::thread pusher([&, i] { send("E" + std::to_string(i + 1)); });
    waiter.cancel();
    pusher.join();
    if (!waiter.threw()) {
      auto result = waiter.wait();
      ASSERT_TRUE(result && *result);
      delivered.push_back((*result)->frame.event);
    }
  }
  sender_ = EventSender(std::weak_ptr<EventStream>());  // ends the stream
  for (;;) {
    auto next = test::run(stream_->next());
    ASSERT_TRUE(next);
    if (!*next) break;
    delivered.push_back((*next)->frame.event);
  }
  ASSERT_EQ(delivered.size(), static_cast<std::size_t>(kRounds));
  for (int i = 0; i < kRounds; ++i) EXPECT_EQ(delivered[i], "E" + std::to_string(i + 1));
}

TEST_F(EventStreamTest, AnUnreadEventGoesToTheNextWaiterFirst) {
  send("E1");
  send("E2");
  // A waiter that could not hand its event on puts it back.
  std::optional<std::string> refused;
  stream_->wait([&](std::optional<CallEvent> e, StreamHold hold) {
    refused = e->frame.event;
    hold.unread(std::move(*e));
  });
  EXPECT_EQ(refused, "E1");
  std::vector<std::string> order;
  for (int i = 0; i < 2; ++i) {
    auto next = test::run(stream_->next());
    ASSERT_TRUE(next && *next);
    order.push_back((*next)->frame.event);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"E1", "E2"}));
}

// --- Both connection shapes end to end ------------------------------------------

Json start_frame(std::string_view channel) {
  return {{"type", "event"}, {"event", "StasisStart"}, {"channel", channel},
          {"app", "demo"},   {"call_id", "k-" + std::string(channel)}, {"payload", Json::object()}};
}

TEST(SipClientTest, CallsSurviveAReconnectAsReattachedCalls) {
  LogCapture logs;
  test::FakeSwitch sw;
  auto connected = test::run(SipClient::connect(config_for(sw)));
  ASSERT_TRUE(connected && *connected);
  const SipClient sip = std::move(**connected);
  auto calls = std::make_shared<CallLog>();
  sip.facade()->set_handler(calls->handler());
  test::Task<Result<void>> supervision(sip.run());
  auto conn0 = sw.connection(0);
  ASSERT_TRUE(conn0);
  conn0->send_json(start_frame("c1"));
  conn0->send_json(start_frame("c2"));
  auto got = calls->wait(2);
  ASSERT_EQ(got.size(), 2u);
  const Call before = on_channel(got, "c1");
  EXPECT_EQ(before.transport(), sip.commander());

  // A verb goes out on the live session, addressed to the channel.
  test::Task<Result<Json>> answer(before.sip(SipVerb::Answer, Json::object()));
  auto command = conn0->next_command("answer");
  ASSERT_TRUE(command);
  EXPECT_EQ(command->dump(),
            R"({"args":{},"id":"c-2","module":"sip","target":{"channel":"c1"},"type":"command","verb":"answer"})");
  conn0->send_json(test::ok_reply(*command));
  EXPECT_EQ(answer.wait(), Result<Json>(nullptr));

  // The switch restarts its control plane; c1 survives, c2 does not.
  sw.respond("resync", nullptr);
  conn0->drop();
  auto conn1 = sw.connection(1);
  ASSERT_TRUE(conn1);
  auto resync = conn1->next_command("resync");
  ASSERT_TRUE(resync);
  conn1->send_json({{"type", "event"}, {"event", "ChannelDtmfReceived"}, {"channel", "c1"}});
  conn1->send_json(test::ok_reply(
      *resync, json(R"({"channels":[{"channel":"c1","call_id":"k-c1","state":"Up"}]})")));
  got = calls->wait(3);
  ASSERT_EQ(got.size(), 3u);
  const Call after = on_channel(got, "c1", true);
  EXPECT_TRUE(after.is_reattached());
  EXPECT_EQ(after.app(), std::nullopt);
  EXPECT_EQ(after.payload(),
            json(R"({"call_id":"k-c1","channel":"c1","sip_call_id":"","state":"Up","vars":{}})"));
  EXPECT_EQ(drain(before), (std::vector<std::string>{"ChannelDtmfReceived", "end"}));
  EXPECT_EQ(drain(on_channel(got, "c2")), std::vector<std::string>{"end"});

  conn1->send_json({{"type", "event"}, {"event", "StasisEnd"}, {"channel", "c1"}});
  EXPECT_EQ(drain(after), (std::vector<std::string>{"StasisEnd", "end"}));
  sip.shutdown();
  EXPECT_EQ(supervision.wait(), Result<void>{});
}

TEST(SipClientTest, ShutdownEndsEveryStream) {
  test::FakeSwitch sw;
  auto connected = test::run(SipClient::connect(config_for(sw)));
  ASSERT_TRUE(connected && *connected);
  const SipClient sip = std::move(**connected);
  auto calls = std::make_shared<CallLog>();
  sip.facade()->set_handler(calls->handler());
  auto conn0 = sw.connection(0);
  ASSERT_TRUE(conn0);
  conn0->send_json(start_frame("c1"));
  const auto got = calls->wait(1);
  ASSERT_EQ(got.size(), 1u);
  test::Task<std::optional<CallEvent>> waiting(got[0].next_event());
  EXPECT_TRUE(waiting.still_running_after(20ms));
  sip.shutdown();
  auto next = waiting.wait();
  ASSERT_TRUE(next);
  EXPECT_FALSE(*next);
}

// A call model that keeps its calls keeps the client too (through their
// commander); a shutdown must still let it all go.
TEST(SipClientTest, ShutdownReleasesTheCallModel) {
  test::FakeSwitch sw;
  std::weak_ptr<CallLog> watch;
  {
    auto connected = test::run(SipClient::connect(config_for(sw)));
    ASSERT_TRUE(connected && *connected);
    const SipClient sip = std::move(**connected);
    auto calls = std::make_shared<CallLog>();
    watch = calls;
    sip.facade()->set_handler(calls->handler());
    auto conn0 = sw.connection(0);
    ASSERT_TRUE(conn0);
    conn0->send_json(start_frame("c1"));
    ASSERT_EQ(calls->wait(1).size(), 1u);
    sip.shutdown();
  }
  EXPECT_TRUE(test::wait_until([&] { return watch.expired(); }))
      << "the client, its facade and the calls keep each other alive";
}

TEST(SipServerTest, EachDialedConnectionCarriesOneCall) {
  LogCapture logs;
  ServerConfig config;
  config.app = "demo";
  config.token = "s3cret";
  config.bind = {"127.0.0.1", 0, false};
  auto bound = SipServer::bind(config);
  ASSERT_TRUE(bound) << to_string(bound.error());
  const SipServer server = std::move(*bound);
  auto calls = std::make_shared<CallLog>();
  server.facade()->set_handler(calls->handler());
  test::Task<Result<void>> accept(server.run());
  const auto port = server.local_addr()->port;

  auto a = test::dial(port, "Bearer s3cret");
  auto b = test::dial(port, "Bearer s3cret");
  ASSERT_TRUE(a.connection && b.connection);
  a.connection->send_json(start_frame("c1"));
  ASSERT_EQ(calls->wait(1).size(), 1u);
  b.connection->send_json(start_frame("c2"));
  const auto got = calls->wait(2);
  ASSERT_EQ(got.size(), 2u);
  const Call& on_a = got[0];
  const Call& on_b = got[1];
  EXPECT_NE(on_a.transport(), on_b.transport());

  test::Task<Result<Json>> hangup(on_b.sip(SipVerb::Hangup, nullptr));
  auto command = b.connection->next_command("hangup");
  ASSERT_TRUE(command);
  EXPECT_EQ(command->at("target"), json(R"({"channel":"c2"})"));
  b.connection->send_json(test::ok_reply(*command));
  EXPECT_EQ(hangup.wait(), Result<Json>(nullptr));

  // The switch hangs up the connection without a StasisEnd: the call's
  // stream ends, the other call is untouched.
  a.connection->close();
  EXPECT_EQ(drain(on_a), std::vector<std::string>{"end"});
  b.connection->send_json({{"type", "event"}, {"event", "PlayFinished"}, {"channel", "c2"}});
  EXPECT_EQ(next_of(on_b), "PlayFinished");
  b.connection->close();
  EXPECT_EQ(drain(on_b), std::vector<std::string>{"end"});
  EXPECT_TRUE(test::wait_until([&] { return server.server()->open_connections() == 0; }));
}

}  // namespace
}  // namespace fenwix
