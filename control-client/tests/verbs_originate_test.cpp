// The args of originate and the summaries its replies resolve to.
#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "fenwix/client/verbs.hpp"
#include "verb_cases.hpp"

namespace fenwix {
namespace {

using test::expect_summaries;
using test::expect_wire;

const OriginateDestination kTo = OriginateTo{"sip:b@x"};
const OriginateMedia kAnchored{OriginateMedia::Anchored{}};

TEST(OriginateArgsTest, DestinationMediaAndOptions) {
  expect_wire({
      {"anchored media without shaping", originate_args("c-1", kTo, kAnchored, {}),
       R"({"channel":"c-1","media":true,"to":"sip:b@x"})"},
      {"anchored media shaped",
       originate_args("c-1", kTo,
                      OriginateMedia{OriginateMedia::Anchored{.profile = "voice_ai",
                                                              .ws_uri = "wss://b"}},
                      {}),
       R"({"channel":"c-1","media":true,"profile":"voice_ai","to":"sip:b@x","ws_uri":"wss://b"})"},
      {"own sdp", originate_args("c-1", kTo, OriginateMedia{OriginateMedia::Sdp{"v=0"}}, {}),
       R"({"channel":"c-1","sdp":"v=0","to":"sip:b@x"})"},
      {"body takes application/sdp by default",
       originate_args("c-1", kTo, OriginateMedia{OriginateMedia::Body{.body = "v=0"}}, {}),
       R"({"body":"v=0","channel":"c-1","content_type":"application/sdp","to":"sip:b@x"})"},
      {"body with its own type",
       originate_args("", kTo,
                      OriginateMedia{OriginateMedia::Body{.body = "<x/>",
                                                          .content_type = "application/xml"}},
                      {}),
       R"({"body":"<x/>","channel":"","content_type":"application/xml","to":"sip:b@x"})"},
      {"aor without ring options",
       originate_args("c-1", OriginateAor{.aor = "1001@x"}, kAnchored, {}),
       R"({"aor":"1001@x","channel":"c-1","media":true})"},
      {"aor ring options, zero bound written",
       originate_args("c-1",
                      OriginateAor{.aor = "1001@x",
                                   .ring = {.strategy = DialStrategy::Sequential,
                                            .total_timeout = 0}},
                      kAnchored, {}),
       R"({"aor":"1001@x","channel":"c-1","media":true,"strategy":"sequential","total_timeout":0})"},
      {"every option",
       originate_args("c-1", kTo, kAnchored,
                      {.from_uri = "sip:me@x",
                       .from_display = "Me",
                       .to_display = "You",
                       .next_hop = "sip:edge",
                       .p_asserted_identity = "sip:pai@x",
                       .privacy = Privacy::Restricted,
                       .headers = {{"X-A", "1"}},
                       .timeout = 45,
                       .on_lost = "hangup",
                       .vars = {{"k", "v"}},
                       .session_timer = SessionTimer{.expires = 1800,
                                                     .min_se = 90,
                                                     .refresher = SessionRefresher::B2bua}}),
       R"({"channel":"c-1","from":"sip:me@x","from_display":"Me","headers":{"X-A":"1"},"media":true,"next_hop":"sip:edge","on_lost":"hangup","p_asserted_identity":"sip:pai@x","privacy":"restricted","session_timer":{"expires":1800,"min_se":90,"refresher":"b2bua"},"timeout":45,"to":"sip:b@x","to_display":"You","vars":{"k":"v"}})"},
      {"empty timer is written, empty lists are not",
       originate_args("c-1", kTo, kAnchored,
                      {.headers = {}, .vars = {}, .session_timer = SessionTimer{}}),
       R"({"channel":"c-1","media":true,"session_timer":{},"to":"sip:b@x"})"},
      {"partial timer",
       originate_args("c-1", kTo, kAnchored,
                      {.session_timer = SessionTimer{.refresher = SessionRefresher::Uas}}),
       R"({"channel":"c-1","media":true,"session_timer":{"refresher":"uas"},"to":"sip:b@x"})"},
  });
}

TEST(OriginateRepliesTest, UriForm) {
  expect_summaries({
      {"empty object", "{}", R"({"call_id":null,"channel":"req","sip_call_id":null})"},
      {"no result", "null", R"({"call_id":null,"channel":"req","sip_call_id":null})"},
      {"full, extra members dropped",
       R"({"channel":"c-9","call_id":"k-1","sip_call_id":"s-1","state":"calling"})",
       R"({"call_id":"k-1","channel":"c-9","sip_call_id":"s-1"})"},
      {"wrong member types", R"({"channel":7,"call_id":null,"sip_call_id":["s"]})",
       R"({"call_id":null,"channel":"req","sip_call_id":null})"},
  }, [](const Json& result) { return Originated::from_reply(result, "req").to_json(); });
}

TEST(OriginateRepliesTest, AorForm) {
  expect_summaries({
      {"no result", "null",
       R"({"aor":null,"branches":[],"channel":"req","group_id":null,"strategy":null,"total_timeout":null})"},
      {"full, unreadable branches skipped",
       R"({"channel":"c-9","group_id":"g-1","aor":"1001@x","strategy":"Parallel",
           "total_timeout":4294967296,"extra":true,
           "branches":[{"leg_id":"b1","leg_sip_call_id":"s1","target":"sip:p1@x"},{"leg_sip_call_id":"s2"}]})",
       R"({"aor":"1001@x","branches":[{"leg_id":"b1","leg_sip_call_id":"s1","target":"sip:p1@x"}],"channel":"c-9","group_id":"g-1","strategy":"Parallel","total_timeout":4294967296})"},
      {"wrong member types",
       R"({"channel":null,"group_id":1,"aor":{},"strategy":true,"total_timeout":-1,"branches":"b1"})",
       R"({"aor":null,"branches":[],"channel":"req","group_id":null,"strategy":null,"total_timeout":null})"},
      {"fractional total_timeout", R"({"total_timeout":1.5})",
       R"({"aor":null,"branches":[],"channel":"req","group_id":null,"strategy":null,"total_timeout":null})"},
  }, [](const Json& result) { return OriginatedGroup::from_reply(result, "req").to_json(); });
}

}  // namespace
}  // namespace fenwix
