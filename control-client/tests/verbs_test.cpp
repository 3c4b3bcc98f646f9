// Enumeration spellings and the args of the answering, ending, playback,
// recording, streaming, bridging, header and transfer verbs.
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

// The wire name the text parses to, or "-" when it does not parse.
template <class E>
std::string parsed(std::string_view text) {
  const auto value = from_name<E>(text);
  return value ? std::string(wire_name(*value)) : "-";
}

TEST(VerbNamesTest, SpellingsParseToTheirWireNames) {
  struct Case {
    std::string_view label;
    std::string result;
    std::string_view expected;
  };
  const std::vector<Case> cases = {
      // Folded types accept any ASCII letter case and nothing else.
      {"mode BRIDGE", parsed<StreamMode>("BRIDGE"), "bridge"},
      {"mode Tee", parsed<StreamMode>("Tee"), "tee"},
      {"mode empty", parsed<StreamMode>(""), "-"},
      {"mode trailing blank", parsed<StreamMode>("tee "), "-"},
      {"mode prefix", parsed<StreamMode>("te"), "-"},
      {"direction cALLEE", parsed<StreamDirection>("cALLEE"), "callee"},
      {"record direction BOTH", parsed<RecordDirection>("BOTH"), "both"},
      {"record direction in", parsed<RecordDirection>("in"), "-"},
      {"record channels StereO", parsed<RecordChannels>("StereO"), "stereo"},
      {"strategy SEQUENTIAL", parsed<DialStrategy>("SEQUENTIAL"), "sequential"},
      {"strategy Parallel", parsed<DialStrategy>("Parallel"), "parallel"},
      {"refresher UAS", parsed<SessionRefresher>("UAS"), "uas"},
      {"refresher B2bUa", parsed<SessionRefresher>("B2bUa"), "b2bua"},
      {"refresher uac", parsed<SessionRefresher>("uac"), "uac"},
      // Exact types take only the wire spelling.
      {"privacy restricted", parsed<Privacy>("restricted"), "restricted"},
      {"privacy allowed", parsed<Privacy>("allowed"), "allowed"},
      {"privacy Restricted", parsed<Privacy>("Restricted"), "-"},
      {"peer hangup hold", parsed<PeerHangup>("hold"), "hold"},
      {"peer hangup hangup", parsed<PeerHangup>("hangup"), "hangup"},
      {"peer hangup Hold", parsed<PeerHangup>("Hold"), "-"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(c.result, c.expected);
  }
}

TEST(VerbNamesTest, StreamChannelsAreOneOrTwo) {
  EXPECT_EQ(stream_channels_from_number(1), StreamChannels::Mono);
  EXPECT_EQ(stream_channels_from_number(2), StreamChannels::Stereo);
  for (const int n : {0, 3, 255}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(stream_channels_from_number(static_cast<std::uint8_t>(n)), std::nullopt);
  }
}

TEST(VerbArgsTest, AnsweringEndingBridgingAndHeaders) {
  expect_wire({
      {"answer_with code only", response_args(200, none, none, none), R"({"code":200})"},
      {"answer_with body", response_args(183, none, "v=0", "application/sdp"),
       R"({"body":"v=0","code":183,"content_type":"application/sdp"})"},
      {"answer_with reason", response_args(0, "OK", none, none), R"({"code":0,"reason":"OK"})"},
      {"answer_anchored bare", answer_anchored_args(none, none), R"({"anchor":true})"},
      {"answer_anchored shaped", answer_anchored_args("voice_ai", "wss://b/{call_id}"),
       R"({"anchor":true,"profile":"voice_ai","ws_uri":"wss://b/{call_id}"})"},
      {"no reason", reason_args(none), "{}"},
      {"empty reason is kept", reason_args(""), R"({"reason":""})"},
      {"reject code", reject_args(486, none), R"({"code":486})"},
      {"reject empty reason", reject_args(603, ""), R"({"code":603,"reason":""})"},
      {"drop without ban", drop_args(none, false), "{}"},
      {"drop with ban", drop_args("scanner", true), R"({"ban":true,"reason":"scanner"})"},
      {"bridge", bridge_args("c-2", none), R"({"with":"c-2"})"},
      {"bridge hold", bridge_args("c-2", PeerHangup::Hold),
       R"({"on_peer_hangup":"hold","with":"c-2"})"},
      {"get_header", header_name_args("X-A"), R"({"name":"X-A"})"},
      {"set_header", set_header_args("X-A", ""), R"({"name":"X-A","value":""})"},
      {"refer", refer_args("sip:b@x"), R"({"to":"sip:b@x"})"},
  });
}

std::vector<std::uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

Json blob_args(std::vector<std::uint8_t> blob) {
  return play_args(PlaySource{PlaySource::Blob{std::move(blob)}}, {});
}

TEST(VerbArgsTest, PlaybackAndDtmf) {
  expect_wire({
      {"file", play_args(PlaySource{PlaySource::File{"a"}}, {}), R"({"file":"a"})"},
      {"db_id", play_args(PlaySource{PlaySource::DbId{18446744073709551615u}}, {}),
       R"({"db_id":18446744073709551615})"},
      {"tone", play_args(PlaySource{PlaySource::Tone{"425/1000,0/4000*inf"}}, {}),
       R"({"tone":"425/1000,0/4000*inf"})"},
      {"url", play_args(PlaySource{PlaySource::Url{"https://m/a.wav"}}, {}),
       R"({"url":"https://m/a.wav"})"},
      // Base64 with the standard alphabet and padding.
      {"empty blob", blob_args({}), R"({"blob":""})"},
      {"one byte", blob_args(bytes("f")), R"({"blob":"Zg=="})"},
      {"two bytes", blob_args(bytes("fo")), R"({"blob":"Zm8="})"},
      {"three bytes", blob_args(bytes("foo")), R"({"blob":"Zm9v"})"},
      {"seven bytes", blob_args(bytes("foobarb")), R"({"blob":"Zm9vYmFyYg=="})"},
      {"high bytes use + and /", blob_args({0xFB, 0xFF, 0xBF, 0x00}), R"({"blob":"+/+/AA=="})"},
      {"repeat inf",
       play_args(PlaySource{PlaySource::File{"a"}}, {.repeat = PlayRepeat{PlayRepeat::Infinite{}}}),
       R"({"file":"a","repeat":"inf"})"},
      {"every option",
       play_args(PlaySource{PlaySource::File{"a"}},
                 {.repeat = PlayRepeat{std::uint64_t{0}},
                  .start_ms = 500,
                  .duration_ms = 0,
                  .gain_decibels = -6,
                  .to_tag = ""}),
       R"({"duration_ms":0,"file":"a","gain_decibels":-6,"repeat":0,"start_ms":500,"to_tag":""})"},
      {"dtmf digits only", dtmf_args("", {}), R"({"digits":""})"},
      {"dtmf every option",
       dtmf_args("12#", {.duration_ms = 80, .volume_dbm0 = -10, .pause_ms = 40, .to_tag = "t"}),
       R"({"digits":"12#","duration_ms":80,"pause_ms":40,"to_tag":"t","volume_dbm0":-10})"},
  });
}

TEST(VerbArgsTest, RecordingAndStreaming) {
  expect_wire({
      {"record_start defaults", RecordOptions{}.to_json(), "{}"},
      {"record_start every option",
       RecordOptions{.direction = RecordDirection::Both,
                     .channels = RecordChannels::Stereo,
                     .max_duration_ms = 60000,
                     .silence_ms = 3000,
                     .path = "/var/rec/a.wav"}
           .to_json(),
       R"({"channels":"stereo","direction":"both","max_duration_ms":60000,"path":"/var/rec/a.wav","silence_ms":3000})"},
      {"record_stop all", record_stop_args(none), "{}"},
      {"record_stop one", record_stop_args("r-1"), R"({"recording_id":"r-1"})"},
      {"stream_start default mode is written",
       stream_start_args("wss://t", StreamMode::Tee, none, none, none, none),
       R"({"mode":"tee","ws_uri":"wss://t"})"},
      {"stream_start tee shaping",
       stream_start_args("wss://t", StreamMode::Tee, StreamDirection::Callee,
                         StreamChannels::Stereo, 12345, none),
       R"({"channels":2,"direction":"callee","mode":"tee","sample_rate":12345,"ws_uri":"wss://t"})"},
      {"stream_start bridge profile",
       stream_start_args("wss://b", StreamMode::Bridge, none, StreamChannels::Mono, none,
                         "voice_ai"),
       R"({"channels":1,"mode":"bridge","profile":"voice_ai","ws_uri":"wss://b"})"},
      {"stream_stop", stream_stop_args(StreamMode::Bridge), R"({"mode":"bridge"})"},
  });
}

TEST(VerbRepliesTest, RecordingSummary) {
  expect_summaries({
      {"other members dropped", R"({"channel":"c-9","recording_id":"r-1","path":"/a.wav"})",
       R"({"channel":"c-9","recording_id":"r-1"})"},
      {"no result", "null", R"({"channel":"c-1","recording_id":null})"},
      {"not an object", R"(["c-9","r-1"])", R"({"channel":"c-1","recording_id":null})"},
      {"wrong member types", R"({"channel":7,"recording_id":12})",
       R"({"channel":"c-1","recording_id":null})"},
  }, [](const Json& result) { return Recording::from_reply(result, "c-1").to_json(); });
}

TEST(VerbArgsTest, TransferTargetRefusesBoth) {
  for (const std::string_view verb : {"accept_refer", "replace_peer"}) {
    SCOPED_TRACE(verb);
    const auto target = transfer_target(verb, "sip:b@x", "1001@x");
    ASSERT_FALSE(target.has_value());
    EXPECT_EQ(target.error(), std::string(verb) + " takes a target URI or aor=, not both");
  }
  const auto nothing = transfer_target("accept_refer", none, none);
  ASSERT_TRUE(nothing.has_value());
  EXPECT_FALSE(nothing->has_value());
}

TransferTarget target_of(std::optional<std::string> uri, std::optional<std::string> aor) {
  return transfer_target("accept_refer", std::move(uri), std::move(aor)).value().value();
}

TEST(VerbArgsTest, TransferVerbs) {
  const TransferTarget uri = target_of("sip:b@x", none);
  const TransferTarget aor = target_of(none, "1001@x");
  expect_wire({
      {"accept_refer bare", accept_refer_args(none, none, none, {}), "{}"},
      {"accept_refer aor target", accept_refer_args(aor, none, none, {}),
       R"({"target":{"aor":"1001@x"}})"},
      {"accept_refer from goes out as from",
       accept_refer_args(uri, "terminate", none, {.from_uri = "sip:a@x"}),
       R"({"from":"sip:a@x","mode":"terminate","target":"sip:b@x"})"},
      {"accept_refer every dial member",
       accept_refer_args(none, "Transparent", "rtp_passthrough",
                         {.headers = {{"X-B", "2"}},
                          .next_hop = "sip:proxy",
                          .from_display = "Desk",
                          .p_asserted_identity = "sip:pai@x",
                          .number_policy = "strip",
                          .format = "e164",
                          .privacy = Privacy::Restricted}),
       R"({"format":"e164","from_display":"Desk","headers":{"X-B":"2"},"mode":"Transparent","next_hop":"sip:proxy","number_policy":"strip","p_asserted_identity":"sip:pai@x","privacy":"restricted","profile":"rtp_passthrough"})"},
      {"controller", accept_refer_controller_args(none), R"({"mode":"controller"})"},
      {"controller timeout", accept_refer_controller_args(90), R"({"mode":"controller","timeout":90})"},
      {"complete_refer", complete_refer_args(100, none), R"({"code":100})"},
      {"complete_refer reason", complete_refer_args(200, "OK"), R"({"code":200,"reason":"OK"})"},
      {"replace_peer false and zero are written", replace_peer_args(uri, false, none, 0, {}),
       R"({"replace_a_leg":false,"target":"sip:b@x","timeout":0})"},
      {"replace_peer aor target", replace_peer_args(aor, none, "p", none, {}),
       R"({"profile":"p","target":{"aor":"1001@x"}})"},
  });
}

}  // namespace
}  // namespace fenwix
