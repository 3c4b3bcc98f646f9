// Handshake and resync payloads, and the dial-branch payload: reading with
// exact type rules, writing back with every member in key order.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "fenwix/proto/events.hpp"
#include "fenwix/proto/payloads.hpp"
#include "test_support.hpp"

namespace fenwix {
namespace {

using testing::contains;
using testing::json;

std::string dump(const Json& value) {
  auto text = dump_json(value);
  return text ? *text : "<" + text.error() + ">";
}

TEST(HelloArgsTest, WritesAppAndProtocolSorted) {
  EXPECT_EQ(dump(hello_args("demo", 1)), R"({"app":"demo","protocol":1})");
  EXPECT_EQ(dump(hello_args("", std::numeric_limits<std::uint32_t>::max())),
            R"({"app":"","protocol":4294967295})");
}

struct HelloCase {
  std::string name;
  Json result;
  std::optional<HelloResult> expected;
  std::string error_part = "";
};

TEST(HelloResultTest, ReadsWithExactTypes) {
  const HelloResult demo{"demo", 1, "fenwix-control.v1"};
  const std::vector<HelloCase> cases = {
      {"extra member ignored",
       json(R"({"app":"demo","protocol":1,"subprotocol":"fenwix-control.v1","server":"x"})"),
       demo},
      {"value built in C++ holds the protocol as a signed number",
       Json{{"app", "demo"}, {"protocol", 1}, {"subprotocol", "fenwix-control.v1"}}, demo},
      {"largest protocol",
       json(R"({"app":"a","protocol":4294967295,"subprotocol":"s"})"),
       HelloResult{"a", 4294967295u, "s"}},
      {"protocol zero; another subprotocol is left to the caller",
       json(R"({"app":"","protocol":0,"subprotocol":"other"})"), HelloResult{"", 0, "other"}},
      {"protocol as a string", json(R"({"app":"demo","protocol":"1","subprotocol":"s"})"),
       std::nullopt, R"("protocol")"},
      {"negative protocol", json(R"({"app":"demo","protocol":-1,"subprotocol":"s"})"),
       std::nullopt, R"("protocol")"},
      {"fractional protocol", json(R"({"app":"demo","protocol":1.5,"subprotocol":"s"})"),
       std::nullopt, R"("protocol")"},
      {"protocol written as a float", json(R"({"app":"demo","protocol":1.0,"subprotocol":"s"})"),
       std::nullopt, R"("protocol")"},
      {"protocol past 32 bits",
       json(R"({"app":"demo","protocol":4294967296,"subprotocol":"s"})"), std::nullopt,
       R"("protocol")"},
      {"protocol past 64 bits",
       json(R"({"app":"demo","protocol":18446744073709551616,"subprotocol":"s"})"), std::nullopt,
       R"("protocol")"},
      {"null protocol", json(R"({"app":"demo","protocol":null,"subprotocol":"s"})"),
       std::nullopt, R"("protocol")"},
      {"missing protocol", json(R"({"app":"demo","subprotocol":"s"})"), std::nullopt,
       R"("protocol")"},
      {"missing app", json(R"({"protocol":1,"subprotocol":"s"})"), std::nullopt, R"("app")"},
      {"null app", json(R"({"app":null,"protocol":1,"subprotocol":"s"})"), std::nullopt,
       R"("app")"},
      {"missing subprotocol", json(R"({"app":"demo","protocol":1})"), std::nullopt,
       R"("subprotocol")"},
      {"numeric subprotocol", json(R"({"app":"demo","protocol":1,"subprotocol":1})"),
       std::nullopt, R"("subprotocol")"},
      {"null result", Json(), std::nullopt, "object"},
      {"array result", json(R"(["demo",1])"), std::nullopt, "object"},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto hello = HelloResult::from_json(c.result);
    if (c.expected) {
      ASSERT_TRUE(hello.has_value()) << hello.error();
      EXPECT_EQ(*hello, *c.expected);
    } else {
      ASSERT_FALSE(hello.has_value());
      EXPECT_TRUE(contains(hello.error(), c.error_part));
    }
  }
}

ChannelSnapshot snapshot(std::string channel, std::string call_id = "",
                         std::string sip_call_id = "", std::string state = "",
                         std::map<std::string, std::string> vars = {}) {
  return ChannelSnapshot{std::move(channel), std::move(call_id), std::move(sip_call_id),
                         std::move(state), std::move(vars)};
}

struct ResyncCase {
  std::string name;
  std::string text;
  std::optional<std::vector<ChannelSnapshot>> expected;
  std::string error_part = "";
};

TEST(ResyncResultTest, ReadsSnapshotsAllOrNothing) {
  const std::vector<ResyncCase> cases = {
      {"no channels member", "{}", std::vector<ChannelSnapshot>{}},
      {"empty channels", R"({"channels":[],"other":1})", std::vector<ChannelSnapshot>{}},
      {"minimal snapshot takes defaults", R"({"channels":[{"channel":"c1"}]})",
       std::vector{snapshot("c1")}},
      {"full snapshots in order, unknown members ignored",
       R"({"channels":[{"channel":"c2","call_id":"k2","sip_call_id":"s2@h","state":"up","vars":{"b":"2","a":"1"},"extra":[]},{"channel":"c1","vars":{}}]})",
       std::vector{snapshot("c2", "k2", "s2@h", "up", {{"a", "1"}, {"b", "2"}}), snapshot("c1")}},
      {"var that is a number", R"({"channels":[{"channel":"c1","vars":{"a":"1","n":5}}]})",
       std::nullopt, R"("vars")"},
      {"var that is null", R"({"channels":[{"channel":"c1","vars":{"n":null}}]})", std::nullopt,
       R"("vars")"},
      {"entry without channel", R"({"channels":[{"call_id":"k"}]})", std::nullopt,
       R"("channel")"},
      {"a bad second entry spoils the whole result",
       R"({"channels":[{"channel":"c1"},{"channel":7}]})", std::nullopt, "entry 1"},
      {"null channel", R"({"channels":[{"channel":null}]})", std::nullopt, R"("channel")"},
      {"null call_id", R"({"channels":[{"channel":"c1","call_id":null}]})", std::nullopt,
       R"("call_id")"},
      {"numeric sip_call_id", R"({"channels":[{"channel":"c1","sip_call_id":1}]})",
       std::nullopt, R"("sip_call_id")"},
      {"numeric state", R"({"channels":[{"channel":"c1","state":3}]})", std::nullopt,
       R"("state")"},
      {"null vars", R"({"channels":[{"channel":"c1","vars":null}]})", std::nullopt,
       R"("vars")"},
      {"vars as an array", R"({"channels":[{"channel":"c1","vars":["a"]}]})", std::nullopt,
       R"("vars")"},
      {"entry that is a string", R"({"channels":["c1"]})", std::nullopt, "entry 0"},
      {"null channels", R"({"channels":null})", std::nullopt, R"("channels")"},
      {"channels as an object", R"({"channels":{"channel":"c1"}})", std::nullopt,
       R"("channels")"},
      {"null result", "null", std::nullopt, "object"},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto resync = ResyncResult::from_json(json(c.text));
    if (c.expected) {
      ASSERT_TRUE(resync.has_value()) << resync.error();
      EXPECT_EQ(resync->channels, *c.expected);
    } else {
      ASSERT_FALSE(resync.has_value());
      EXPECT_TRUE(contains(resync.error(), c.error_part));
    }
  }
}

TEST(ChannelSnapshotTest, WritesAllFiveMembersSortedAndReadsBack) {
  const std::vector<std::pair<ChannelSnapshot, std::string>> cases = {
      {snapshot("c1"), R"({"call_id":"","channel":"c1","sip_call_id":"","state":"","vars":{}})"},
      {snapshot("c2", "k", "s@h", "ringing", {{"z", ""}, {"a", "x"}}),
       R"({"call_id":"k","channel":"c2","sip_call_id":"s@h","state":"ringing","vars":{"a":"x","z":""}})"},
  };

  for (const auto& [value, expected] : cases) {
    SCOPED_TRACE(expected);
    EXPECT_EQ(dump(value.to_json()), expected);
    EXPECT_EQ(ChannelSnapshot::from_json(value.to_json()), value);
  }
}

struct BranchCase {
  std::string name;
  std::string text;
  std::optional<DialBranchPayload> expected;
  std::string written = "";     // the branch written back, when it reads
  std::string error_part = "";  // when it does not
};

TEST(DialBranchPayloadTest, ReadsAndWritesBack) {
  const std::vector<BranchCase> cases = {
      {"only leg_id", R"({"leg_id":"b1"})", DialBranchPayload{"b1", "", "", std::nullopt},
       R"({"leg_id":"b1","leg_sip_call_id":"","target":""})"},
      {"all members; aor written first by key order",
       R"({"target":"sip:bob@10.0.0.2","aor":"sip:bob@example.com","leg_sip_call_id":"x@h","leg_id":"b2","state":"ringing"})",
       DialBranchPayload{"b2", "x@h", "sip:bob@10.0.0.2", "sip:bob@example.com"},
       R"({"aor":"sip:bob@example.com","leg_id":"b2","leg_sip_call_id":"x@h","target":"sip:bob@10.0.0.2"})"},
      {"null aor is none", R"({"leg_id":"b3","aor":null})",
       DialBranchPayload{"b3", "", "", std::nullopt},
       R"({"leg_id":"b3","leg_sip_call_id":"","target":""})"},
      {"an empty aor is still an aor", R"({"leg_id":"b4","aor":""})",
       DialBranchPayload{"b4", "", "", ""}, R"({"aor":"","leg_id":"b4","leg_sip_call_id":"","target":""})"},
      {"missing leg_id", R"({"target":"sip:x"})", std::nullopt, "", R"("leg_id")"},
      {"numeric leg_id", R"({"leg_id":1})", std::nullopt, "", R"("leg_id")"},
      {"numeric aor", R"({"leg_id":"b1","aor":5})", std::nullopt, "", R"("aor")"},
      {"null target", R"({"leg_id":"b1","target":null})", std::nullopt, "", R"("target")"},
      {"numeric leg_sip_call_id", R"({"leg_id":"b1","leg_sip_call_id":2})", std::nullopt, "",
       R"("leg_sip_call_id")"},
      {"not an object", R"("b1")", std::nullopt, "", "object"},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto branch = DialBranchPayload::from_json(json(c.text));
    if (c.expected) {
      ASSERT_TRUE(branch.has_value()) << branch.error();
      EXPECT_EQ(*branch, *c.expected);
      EXPECT_EQ(dump(branch->to_json()), c.written);
    } else {
      ASSERT_FALSE(branch.has_value());
      EXPECT_TRUE(contains(branch.error(), c.error_part));
    }
  }
}

}  // namespace
}  // namespace fenwix
