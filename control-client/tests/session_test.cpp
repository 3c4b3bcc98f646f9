// The session core without a socket: command ids, the pending table, reply
// time-outs, the close, and the classification of inbound text messages.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fenwix/client/async.hpp"
#include "offline_session.hpp"
#include "support.hpp"

namespace fenwix {
namespace {

using test::json;
using test::LogCapture;
using test::OfflineSession;
using test::Outcome;
using namespace std::chrono_literals;

constexpr std::string_view kUnknownReply = "control: reply for unknown/expired id — dropping";

// The id of the last command written.
std::string last_id(OfflineSession& s) {
  auto written = s.written();
  if (written.empty()) return "(nothing written)";
  return json(written.back()).at("id").get<std::string>();
}

TEST(SessionCoreTest, WritesTheCommandFrameAndCompletesWithTheReply) {
  OfflineSession s;
  Outcome outcome;
  s.core->send(std::nullopt, "hello", nullptr, json(R"({"protocol":1,"app":"demo"})"),
               outcome.handler());
  EXPECT_EQ(s.written(),
            std::vector<std::string>{
                R"({"id":"c-1","type":"command","verb":"hello","target":null,"args":{"app":"demo","protocol":1}})"});
  EXPECT_EQ(s.core->pending_count(), 1u);
  EXPECT_FALSE(outcome.now());

  s.receive(R"({"type":"reply","id":"c-1","status":"ok","result":{"x":1}})");
  ASSERT_TRUE(outcome.now());
  EXPECT_EQ(*outcome.now(), Result<Json>(json(R"({"x":1})")));
  EXPECT_EQ(s.core->pending_count(), 0u);
}

TEST(SessionCoreTest, RepliesBecomeResultsOrErrors) {
  struct Case {
    std::string_view label;
    std::string_view reply;  // for id c-1
    std::string_view outcome;
  };
  const std::vector<Case> cases = {
      {"ok without result", R"({"type":"reply","id":"c-1","status":"ok"})", "null"},
      {"ok with null result", R"({"type":"reply","id":"c-1","status":"ok","result":null})",
       "null"},
      {"rejected", R"({"type":"reply","id":"c-1","status":"error","error":{"code":"not_found","message":"no such channel"}})",
       "control command rejected (NotFound): no such channel"},
      {"error without a body", R"({"type":"reply","id":"c-1","status":"error"})",
       "control command rejected (ProtocolError): error reply without an error body"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    OfflineSession s;
    Outcome outcome;
    s.core->send("sip", "answer", nullptr, nullptr, outcome.handler());
    s.receive(c.reply);
    auto result = outcome.now();
    ASSERT_TRUE(result);
    EXPECT_EQ(*result ? (*result)->dump() : to_string(result->error()), c.outcome);
    EXPECT_EQ(outcome.calls(), 1);
  }
}

TEST(SessionCoreTest, IdsComeFromTheSharedCounterAcrossSessions) {
  auto ids = make_id_counter();
  OfflineSession first(ids), second(ids);
  const auto ignore = [](Result<Json>) {};
  first.core->send(std::nullopt, "a", nullptr, nullptr, ignore);
  EXPECT_EQ(last_id(first), "c-1");
  second.core->send(std::nullopt, "b", nullptr, nullptr, ignore);
  EXPECT_EQ(last_id(second), "c-2");
  first.core->mark_closed();
  // A refused command draws no id.
  first.core->send(std::nullopt, "c", nullptr, nullptr, ignore);
  second.core->send(std::nullopt, "d", nullptr, nullptr, ignore);
  EXPECT_EQ(last_id(second), "c-3");
}

TEST(SessionCoreTest, ConcurrentSendersGetDistinctIdsAndTheirOwnReplies) {
  auto ids = make_id_counter();
  OfflineSession first(ids), second(ids);
  constexpr int kThreads = 4, kEach = 100;
  std::vector<Outcome> outcomes(kThreads * kEach);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto& s = t % 2 ? first : second;
      for (int i = 0; i < kEach; ++i)
        s.core->send(std::nullopt, "n", nullptr, t * kEach + i, outcomes[t * kEach + i].handler());
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::string> seen;
  for (auto* s : {&first, &second}) {
    for (const auto& text : s->written()) {
      auto frame = json(text);
      const auto id = frame.at("id").get<std::string>();
      EXPECT_TRUE(seen.insert(id).second) << "id used twice: " << id;
      // Answer each command with its own argument.
      Json reply = {{"type", "reply"}, {"id", id}, {"status", "ok"}, {"result", frame.at("args")}};
      s->receive(reply.dump());
    }
  }
  EXPECT_EQ(seen.size(), outcomes.size());
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    auto result = outcomes[i].now();
    ASSERT_TRUE(result) << i;
    EXPECT_EQ(*result, Result<Json>(Json(i)));
  }
}

TEST(SessionCoreTest, ACommandWithoutAReplyTimesOutAndALateReplyIsDropped) {
  LogCapture logs;
  OfflineSession s(make_id_counter(), 30ms);
  const auto ignore = [](Result<Json>) {};
  for (int i = 0; i < 6; ++i) s.core->send(std::nullopt, "x", nullptr, nullptr, ignore);
  Outcome outcome;
  s.core->send(std::nullopt, "get_var", nullptr, nullptr, outcome.handler());  // c-7
  auto result = outcome.wait();
  ASSERT_TRUE(result);
  ASSERT_FALSE(*result);
  EXPECT_TRUE(result->error().is<error::Timeout>());
  EXPECT_EQ(to_string(result->error()), "timed out awaiting a reply after 30ms");
  EXPECT_EQ(s.core->pending_count(), 0u);

  logs.clear();
  s.receive(R"({"type":"reply","id":"c-7","status":"ok"})");
  const auto records = logs.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(test::is_record(records[0], log::Level::Debug, kUnknownReply, {{"id", "c-7"}}));
  EXPECT_EQ(outcome.calls(), 1);
  EXPECT_FALSE(s.core->is_closed());
}

// One timer serves every deadline of a session: each command must still get
// its full time-out, whatever happened to the commands before it.
TEST(SessionCoreTest, NoCommandFailsBeforeItsTimeout) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kTimeout = 60ms;
  OfflineSession s(make_id_counter(), kTimeout);
  constexpr int kCommands = 4;
  std::mutex mutex;
  std::vector<Clock::time_point> sent(kCommands), failed(kCommands);
  std::atomic<int> done{0};
  for (int i = 0; i < kCommands; ++i) {
    {
      std::lock_guard lock(mutex);
      sent[i] = Clock::now();
    }
    s.core->send(std::nullopt, "x", nullptr, nullptr, [&, i](Result<Json> r) {
      std::lock_guard lock(mutex);
      failed[i] = Clock::now();
      if (!r && r.error().is<error::Timeout>()) ++done;
    });
    if (i == 1) s.receive(R"({"type":"reply","id":"c-2","status":"ok"})");
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(test::wait_until([&] { return done == kCommands - 1; }));
  std::lock_guard lock(mutex);
  for (int i : {0, 2, 3}) EXPECT_GE(failed[i] - sent[i], kTimeout) << "command " << i;
}

TEST(SessionCoreTest, TheCloseFailsWaitersOnceAndRefusesLaterCommands) {
  OfflineSession s;
  Outcome in_flight;
  s.core->send("sip", "answer", nullptr, nullptr, in_flight.handler());
  s.written();
  test::Task<bool> waiter([](SessionPtr core) -> asio::awaitable<bool> {
    co_await core->wait_closed();
    co_return true;
  }(s.core));
  EXPECT_TRUE(waiter.still_running_after(20ms));

  std::vector<std::thread> closers;
  for (int i = 0; i < 2; ++i) closers.emplace_back([&] { s.core->mark_closed(); });
  for (auto& t : closers) t.join();
  EXPECT_TRUE(s.core->is_closed());
  ASSERT_TRUE(in_flight.now());
  EXPECT_EQ(to_string(in_flight.now()->error()), "control connection is closed");
  EXPECT_EQ(in_flight.calls(), 1);
  EXPECT_EQ(waiter.wait(), true);

  // After the close: refused at once, nothing written, and wait_closed
  // returns at once.
  Outcome late;
  s.core->send("sip", "answer", nullptr, nullptr, late.handler());
  ASSERT_TRUE(late.now());
  EXPECT_EQ(to_string(late.now()->error()), "control connection is closed");
  EXPECT_TRUE(s.written().empty());
  EXPECT_EQ(test::run([](SessionPtr core) -> asio::awaitable<bool> {
              co_await core->wait_closed();
              co_return true;
            }(s.core)),
            true);
}

TEST(SessionCoreTest, ACommandAfterTheWriterStoppedFailsAtOnce) {
  OfflineSession s;
  s.core->stop_writer();
  Outcome outcome;
  s.core->send("sip", "answer", nullptr, nullptr, outcome.handler());
  ASSERT_TRUE(outcome.now());
  EXPECT_EQ(to_string(outcome.now()->error()), "control connection is closed");
  EXPECT_EQ(s.core->pending_count(), 0u);
}

TEST(SessionCoreTest, TheCoroutineFormIsCancellableAndDropsTheLateReply) {
  OfflineSession s;
  test::Task<Result<Json>> command(s.core->send_command("sip", "answer", nullptr, nullptr));
  ASSERT_TRUE(test::wait_until([&] { return s.core->pending_count() == 1; }));
  command.cancel();
  EXPECT_TRUE(command.threw());
  // The command is not withdrawn; its reply is simply discarded.
  s.receive(R"({"type":"reply","id":"c-1","status":"ok"})");
  EXPECT_EQ(s.core->pending_count(), 0u);
}

// Every inbound text message, however malformed, is logged or routed and
// leaves the session open.
TEST(DispatchTextTest, ClassifiesLogsAndKeepsTheSessionOpen) {
  using log::Level;
  struct Case {
    std::string_view label;
    std::string text;
    Level level;
    std::string_view message;
    std::string field;
    std::optional<std::string> value;  // "*": any non-empty text
  };
  const std::vector<Case> cases = {
      {"not JSON", "hello", Level::Warn, "control: malformed inbound frame — dropping", "error",
       "*"},
      {"trailing garbage", R"({"type":"event","event":"X"} x)", Level::Warn,
       "control: malformed inbound frame — dropping", "error", "*"},
      {"reply id a number", R"({"type":"reply","id":3,"status":"ok"})", Level::Warn,
       "control: unparseable reply frame", "error", "*"},
      {"reply status in capitals", R"({"type":"reply","id":"c-1","status":"OK"})", Level::Warn,
       "control: unparseable reply frame", "error", "*"},
      {"reply with unknown code",
       R"({"type":"reply","id":"c-1","status":"error","error":{"code":"teapot","message":"m"}})",
       Level::Warn, "control: unparseable reply frame", "error", "*"},
      {"event without name", R"({"type":"event"})", Level::Warn,
       "control: unparseable event frame", "error", "*"},
      {"array", "[1,2,3]", Level::Debug, "control: ignoring frame of unknown type", "other",
       std::nullopt},
      {"type a number", R"({"type":5})", Level::Debug, "control: ignoring frame of unknown type",
       "other", std::nullopt},
      {"no type", R"({"id":"c-1"})", Level::Debug, "control: ignoring frame of unknown type",
       "other", std::nullopt},
      {"inbound command", R"({"type":"command","id":"c-1","verb":"x"})", Level::Debug,
       "control: ignoring frame of unknown type", "other", "command"},
      {"reply for an id never issued", R"({"type":"reply","id":"c-99","status":"ok"})",
       Level::Debug, kUnknownReply, "id", "c-99"},
      {"reply for a foreign id", R"({"type":"reply","id":"x-1","status":"ok"})", Level::Debug,
       kUnknownReply, "id", "x-1"},
      {"reply for a zero-padded id", R"({"type":"reply","id":"c-01","status":"ok"})",
       Level::Debug, kUnknownReply, "id", "c-01"},
  };
  LogCapture logs;
  OfflineSession s(make_id_counter(), 10s);
  Outcome pending;
  s.core->send(std::nullopt, "x", nullptr, nullptr, pending.handler());  // c-1
  auto events = std::make_shared<std::atomic<int>>(0);
  EventSink sink = std::make_shared<std::function<void(EventFrame, const SessionPtr&)>>(
      [events](EventFrame, const SessionPtr&) { ++*events; });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    logs.clear();
    s.receive(c.text, sink);
    const auto records = logs.records();
    ASSERT_EQ(records.size(), 1u);
    const auto& r = records[0];
    EXPECT_EQ(r.level, c.level);
    EXPECT_EQ(r.message, c.message);
    ASSERT_EQ(r.fields.size(), 1u);
    EXPECT_EQ(r.fields[0].name, c.field);
    if (c.value == "*")
      EXPECT_TRUE(r.fields[0].value && !r.fields[0].value->empty());
    else
      EXPECT_EQ(r.fields[0].value, c.value);
  }
  EXPECT_EQ(*events, 0);
  EXPECT_FALSE(s.core->is_closed());
  // The command c-1 was not failed by any of it (an unparseable reply for it
  // included) and still completes.
  EXPECT_FALSE(pending.now());
  s.receive(R"({"type":"reply","id":"c-1","status":"ok"})", sink);
  EXPECT_TRUE(pending.now());
}

TEST(DispatchTextTest, EventsReachTheSinkInOrderWithTheirSession) {
  OfflineSession s;
  std::vector<std::string> seen;
  EventSink sink = std::make_shared<std::function<void(EventFrame, const SessionPtr&)>>(
      [&](EventFrame frame, const SessionPtr& session) {
        EXPECT_EQ(session, s.core);
        seen.push_back(frame.event + "/" + frame.channel.value_or("-"));
      });
  LogCapture logs;
  s.receive(R"({"type":"event","event":"StasisStart","channel":"c1","payload":{}})", sink);
  s.receive(R"({"type":"event","event":"ChannelStateChange","channel":null})", sink);
  EXPECT_EQ(seen, (std::vector<std::string>{"StasisStart/c1", "ChannelStateChange/-"}));
  EXPECT_TRUE(logs.records().empty());
}

// Once a session is closed (shut down, or its hello failed) nothing it still
// reads may surface as an event: the owner has given it up.
TEST(DispatchTextTest, AClosedSessionDeliversNoEvents) {
  OfflineSession s;
  int events = 0;
  EventSink sink = std::make_shared<std::function<void(EventFrame, const SessionPtr&)>>(
      [&](EventFrame, const SessionPtr&) { ++events; });
  s.core->mark_closed();
  s.receive(R"({"type":"event","event":"StasisStart","channel":"c1"})", sink);
  EXPECT_EQ(events, 0);
}

TEST(AsyncEventTest, WaitersBeforeAndAfterTheSetReturn) {
  AsyncEvent event;
  test::Task<bool> early([](AsyncEvent& e) -> asio::awaitable<bool> {
    co_await e.wait();
    co_return true;
  }(event));
  EXPECT_TRUE(early.still_running_after(10ms));
  event.set();
  event.set();
  EXPECT_EQ(early.wait(), true);
  EXPECT_EQ(test::run([](AsyncEvent& e) -> asio::awaitable<bool> {
              co_await e.wait();
              co_return true;
            }(event)),
            true);
}

TEST(AsyncMutexTest, ServesWaitersInOrderAndSurvivesACancelledOne) {
  AsyncMutex mutex;
  auto held = mutex.try_lock();
  ASSERT_TRUE(held);
  EXPECT_FALSE(mutex.try_lock());

  std::mutex order_mutex;
  std::vector<int> order;
  auto locker = [&](int n) -> asio::awaitable<bool> {
    auto guard = co_await mutex.lock();
    std::lock_guard lock(order_mutex);
    order.push_back(n);
    co_return true;
  };
  test::Task<bool> first(locker(1));
  EXPECT_TRUE(first.still_running_after(10ms));
  test::Task<bool> cancelled(locker(2));
  EXPECT_TRUE(cancelled.still_running_after(10ms));
  test::Task<bool> third(locker(3));
  EXPECT_TRUE(third.still_running_after(10ms));
  cancelled.cancel();
  held.release();
  EXPECT_EQ(first.wait(), true);
  EXPECT_EQ(third.wait(), true);
  EXPECT_EQ(order, (std::vector<int>{1, 3}));
  EXPECT_TRUE(mutex.try_lock());
}

}  // namespace
}  // namespace fenwix
