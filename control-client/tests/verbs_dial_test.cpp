// The args of dial, cancel_dial and route, and the dial summary.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fenwix/client/verbs.hpp"
#include "verb_cases.hpp"

namespace fenwix {
namespace {

using test::expect_summaries;
using test::expect_wire;
using test::none;

DialTarget uri(std::string u) { return DialTarget{DialTarget::Uri{.uri = std::move(u)}}; }

Json dial(std::vector<DialTarget> targets, const DialOptions& options = {}) {
  return dial_args(targets, options);
}

Json bridging(std::optional<Ringback> ringback) {
  return dial({uri("u")}, {.on_answer = OnAnswer{OnAnswer::Bridge{std::move(ringback)}}});
}

TEST(DialArgsTest, TargetsAndOptions) {
  expect_wire({
      {"uri alone is a bare string", dial({uri("sip:a@x")}), R"({"targets":["sip:a@x"]})"},
      {"uri with to",
       dial({DialTarget{DialTarget::Uri{.uri = "sip:a@x", .to = "sip:100@x"}}}),
       R"({"targets":[{"to":"sip:100@x","uri":"sip:a@x"}]})"},
      {"uri with next_hop and headers",
       dial({DialTarget{DialTarget::Uri{
           .uri = "sip:a@x", .next_hop = "sip:edge", .headers = {{"X-B", "2"}, {"X-A", "1"}}}}}),
       R"({"targets":[{"headers":{"X-A":"1","X-B":"2"},"next_hop":"sip:edge","uri":"sip:a@x"}]})"},
      {"aor alone stays an object", dial({DialTarget{DialTarget::Aor{.aor = "1001@x"}}}),
       R"({"targets":[{"aor":"1001@x"}]})"},
      {"aor with to and headers",
       dial({DialTarget{
           DialTarget::Aor{.aor = "1001@x", .to = "sip:1001@x", .headers = {{"X-A", "1"}}}}}),
       R"({"targets":[{"aor":"1001@x","headers":{"X-A":"1"},"to":"sip:1001@x"}]})"},
      {"order of targets is kept", dial({uri("b"), uri("a")}), R"({"targets":["b","a"]})"},
      {"no targets", dial({}), R"({"targets":[]})"},
      {"identity and routing options",
       dial({uri("u")}, {.strategy = DialStrategy::Sequential,
                         .timeout = 0,
                         .headers = {{"X-A", "1"}},
                         .profile = "p",
                         .from_uri = "sip:me@x",
                         .from_display = "Me",
                         .p_asserted_identity = "sip:pai@x",
                         .privacy = Privacy::Restricted}),
       R"({"from":"sip:me@x","from_display":"Me","headers":{"X-A":"1"},"p_asserted_identity":"sip:pai@x","privacy":"restricted","profile":"p","strategy":"sequential","targets":["u"],"timeout":0})"},
      {"connect", dial({uri("u")}, {.on_answer = OnAnswer{OnAnswer::Connect{}}}),
       R"({"on_answer":"connect","targets":["u"]})"},
      {"bridge without ringback", bridging(none), R"({"on_answer":"bridge","targets":["u"]})"},
      {"bridge ringback true", bridging(Ringback{true}),
       R"({"on_answer":"bridge","ringback":true,"targets":["u"]})"},
      {"bridge ringback false", bridging(Ringback{false}),
       R"({"on_answer":"bridge","ringback":false,"targets":["u"]})"},
      {"bridge ringback tone", bridging(Ringback{std::string("ringback_eu")}),
       R"({"on_answer":"bridge","ringback":"ringback_eu","targets":["u"]})"},
      {"cancel_dial", cancel_dial_args(none), "{}"},
      {"cancel_dial reason", cancel_dial_args("caller_left"), R"({"reason":"caller_left"})"},
  });
}

TEST(RouteArgsTest, TargetsStrategyAndHeaders) {
  const auto route = [](std::vector<RouteTarget> targets, std::string_view strategy = "sequential",
                        const HeaderPairs& headers = {}) {
    return route_args(targets, strategy, headers);
  };
  expect_wire({
      {"bare and timed targets", route({{.uri = "u1"}, {.uri = "u2", .timeout = 5}}),
       R"({"strategy":"sequential","targets":["u1",{"timeout":5,"uri":"u2"}]})"},
      {"flag false keeps the bare string",
       route({{.uri = "u", .reroute_after_progress = false}}),
       R"({"strategy":"sequential","targets":["u"]})"},
      {"flag true alone makes an object", route({{.uri = "u", .reroute_after_progress = true}}),
       R"({"strategy":"sequential","targets":[{"reroute_after_progress":true,"uri":"u"}]})"},
      {"next_hop and headers",
       route({{.uri = "u", .next_hop = "sip:edge", .headers = {{"X-C", "3"}}}}),
       R"({"strategy":"sequential","targets":[{"headers":{"X-C":"3"},"next_hop":"sip:edge","uri":"u"}]})"},
      {"strategy as given, route headers", route({{.uri = "u"}}, "Parallel", {{"X-A", "1"}}),
       R"({"headers":{"X-A":"1"},"strategy":"Parallel","targets":["u"]})"},
  });
}

TEST(DialRepliesTest, Summary) {
  // What a result with nothing readable in it comes to: the requested
  // channel and every other member null.
  constexpr std::string_view kNothingRead =
      R"({"channel":"c-1","strategy":null,"targets":null,"timeout":null})";
  expect_summaries({
      {"connecting dial, extra members dropped",
       R"({"channel":"c-9","targets":3,"strategy":"parallel","timeout":30,"state":"dialing"})",
       R"({"channel":"c-9","strategy":"parallel","targets":3,"timeout":30})"},
      {"no result", "null", kNothingRead},
      {"not an object", R"("dialing")", kNothingRead},
      {"negative targets", R"({"targets":-1})", kNothingRead},
      {"fractional targets", R"({"targets":2.5})", kNothingRead},
      {"integral float targets", R"({"targets":3.0})", kNothingRead},
      {"wrong member types", R"({"channel":5,"strategy":1,"timeout":"30"})", kNothingRead},
      {"largest targets", R"({"targets":18446744073709551615})",
       R"({"channel":"c-1","strategy":null,"targets":18446744073709551615,"timeout":null})"},
      {"timeout beyond 32 bits", R"({"timeout":4294967296})", kNothingRead},
      {"largest 32-bit timeout", R"({"timeout":4294967295})",
       R"({"channel":"c-1","strategy":null,"targets":null,"timeout":4294967295})"},
      {"bridging members without on_answer are dropped",
       R"({"group_id":"g","ringback":true,"branches":[{"leg_id":"b1"}]})", kNothingRead},
      {"bridging dial, unreadable branches skipped",
       R"({"channel":"c-9","targets":2,"strategy":"parallel","timeout":30,"on_answer":"bridge",
           "group_id":"g-1","total_timeout":60,"ringback":"ringback_eu",
           "branches":[{"leg_id":"b1","leg_sip_call_id":"s1","target":"sip:a@x","aor":"1001@x","x":1},
                       {"target":"sip:b@x"},{"leg_id":"b3","aor":5},"b4",
                       {"leg_id":"b5"}]})",
       R"({"branches":[{"aor":"1001@x","leg_id":"b1","leg_sip_call_id":"s1","target":"sip:a@x"},{"leg_id":"b5","leg_sip_call_id":"","target":""}],"channel":"c-9","group_id":"g-1","on_answer":"bridge","ringback":"ringback_eu","strategy":"parallel","targets":2,"timeout":30,"total_timeout":60})"},
      {"bridging dial, everything absent",
       R"({"on_answer":"bridge","total_timeout":-5,"ringback":0,"branches":{}})",
       R"({"branches":[],"channel":"c-1","group_id":null,"on_answer":"bridge","ringback":null,"strategy":null,"targets":null,"timeout":null,"total_timeout":null})"},
      {"ringback false", R"({"on_answer":"bridge","ringback":false})",
       R"({"branches":[],"channel":"c-1","group_id":null,"on_answer":"bridge","ringback":false,"strategy":null,"targets":null,"timeout":null,"total_timeout":null})"},
      {"ringback empty string", R"({"on_answer":"bridge","ringback":""})",
       R"({"branches":[],"channel":"c-1","group_id":null,"on_answer":"bridge","ringback":"","strategy":null,"targets":null,"timeout":null,"total_timeout":null})"},
  }, [](const Json& result) { return dialing_to_json(Dialing::from_reply(result, "c-1")); });
}

}  // namespace
}  // namespace fenwix
