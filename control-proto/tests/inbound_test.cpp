// Inbound text: classification by "type", reading replies and events, and
// turning a reply into a result or an error.
#include <gtest/gtest.h>

#include <random>

#include "fenwix/proto/frames.hpp"
#include "test_support.hpp"

namespace fenwix {
namespace {

using testing::contains;
using testing::is_valid_utf8;
using testing::json;
using testing::nested_arrays;

// Error texts end up in log records; whatever a peer sends, they stay short.
constexpr std::size_t kErrorTextLimit = 300;

enum class Outcome { Malformed, Reply, UnparseableReply, Event, UnparseableEvent, UnknownType };

Outcome outcome_of(const Inbound& inbound) { return static_cast<Outcome>(inbound.index()); }

struct ClassifyCase {
  std::string name;
  std::string text;
  Outcome expected;
  std::optional<std::string> unknown_type = std::nullopt;  // for UnknownType
};

TEST(ClassifyInboundTest, ClassifiesByTypeAndNeverThrows) {
  const std::string ok_reply = R"({"type":"reply","id":"c-1","status":"ok"})";
  const std::string huge_string(100000, 'x');
  const std::vector<ClassifyCase> cases = {
      {"reply", ok_reply, Outcome::Reply},
      {"event", R"({"type":"event","event":"StasisStart","channel":"ch"})", Outcome::Event},
      {"reply with a numeric id", R"({"type":"reply","id":3,"status":"ok"})",
       Outcome::UnparseableReply},
      {"reply with upper-case status", R"({"type":"reply","id":"c-1","status":"OK"})",
       Outcome::UnparseableReply},
      {"event without a name", R"({"type":"event","channel":"ch"})", Outcome::UnparseableEvent},
      {"array", "[1,2,3]", Outcome::UnknownType},
      {"numeric type", R"({"type":5,"id":"c-1","status":"ok"})", Outcome::UnknownType},
      {"null type", R"({"type":null})", Outcome::UnknownType},
      {"no type", R"({"id":"c-1","status":"ok"})", Outcome::UnknownType},
      {"a bare string that says reply", R"("reply")", Outcome::UnknownType},
      {"inbound command", R"({"type":"command","id":"c-1","verb":"x"})", Outcome::UnknownType,
       "command"},
      {"type spelling is case-sensitive", R"({"type":"Reply","id":"c-1","status":"ok"})",
       Outcome::UnknownType, "Reply"},
      {"empty type name", R"({"type":""})", Outcome::UnknownType, ""},
      {"repeated type: the last one counts",
       R"({"type":"event","id":"c-1","type":"reply","status":"ok"})", Outcome::Reply},
      {"trailing whitespace is fine", ok_reply + " \r\n\t", Outcome::Reply},
      {"trailing garbage", ok_reply + " x", Outcome::Malformed},
      {"two values", ok_reply + ok_reply, Outcome::Malformed},
      {"garbage hidden behind a NUL byte", ok_reply + std::string(1, '\0') + "garbage",
       Outcome::Malformed},
      {"empty text", "", Outcome::Malformed},
      {"whitespace only", "  \n", Outcome::Malformed},
      {"truncated object", R"({"type":"reply","id":"c-1")", Outcome::Malformed},
      {"invalid UTF-8 inside a string", "{\"type\":\"event\",\"event\":\"\xff\xfe\"}",
       Outcome::Malformed},
      {"invalid UTF-8 outside strings", "{\"type\":\"event\"\xc3}", Outcome::Malformed},
      {"unterminated long string", "{\"type\":\"event\",\"event\":\"" + huge_string,
       Outcome::Malformed},
      {"number beyond double range", R"({"type":"event","event":"X","payload":1e400})",
       Outcome::Malformed},
      {"integer beyond 64 bits is read as a float",
       R"({"type":"event","event":"X","payload":123456789012345678901234567890})",
       Outcome::Event},
      {"deep nesting at the top level", nested_arrays(200000), Outcome::Malformed},
      {"deep nesting inside a payload",
       R"({"type":"event","event":"X","payload":)" + nested_arrays(200000) + "}",
       Outcome::Malformed},
      {"payload nested up to the limit",
       R"({"type":"event","event":"X","payload":)" + nested_arrays(kMaxJsonDepth - 1) + "}",
       Outcome::Event},
      {"payload nested one level past the limit",
       R"({"type":"event","event":"X","payload":)" + nested_arrays(kMaxJsonDepth) + "}",
       Outcome::Malformed},
      {"brackets inside strings do not nest",
       R"({"type":"event","event":"X","payload":"\"[)" + std::string(5000, '[') + R"("})",
       Outcome::Event},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Inbound inbound = classify_inbound(c.text);
    ASSERT_EQ(outcome_of(inbound), c.expected);
    if (const auto* unknown = std::get_if<inbound::UnknownType>(&inbound)) {
      EXPECT_EQ(unknown->type, c.unknown_type);
    }
    const std::string* error = nullptr;
    if (const auto* m = std::get_if<inbound::Malformed>(&inbound)) error = &m->error;
    if (const auto* r = std::get_if<inbound::UnparseableReply>(&inbound)) error = &r->error;
    if (const auto* e = std::get_if<inbound::UnparseableEvent>(&inbound)) error = &e->error;
    if (error != nullptr) {
      EXPECT_FALSE(error->empty());
      EXPECT_LE(error->size(), kErrorTextLimit);
      EXPECT_TRUE(is_valid_utf8(*error)) << *error;
    }
  }
}

struct ReplyCase {
  std::string name;
  std::string text;
  std::optional<ReplyFrame> expected;  // nullopt: must not read
  std::string error_part = "";         // in the error text when it does not read
};

ReplyFrame reply(std::string id, ReplyStatus status, std::optional<Json> result = std::nullopt,
                 std::optional<ReplyError> error = std::nullopt) {
  return ReplyFrame{std::move(id), FrameType::Reply, status, std::move(result), std::move(error)};
}

TEST(ReplyFrameTest, ReadsRepliesAndNamesTheOffendingMember) {
  using enum ReplyStatus;
  const std::vector<ReplyCase> cases = {
      {"ok without result", R"({"id":"c-3","type":"reply","status":"ok"})", reply("c-3", Ok)},
      {"null result is no result", R"({"id":"c-3","type":"reply","status":"ok","result":null})",
       reply("c-3", Ok)},
      {"a false result is still a result",
       R"({"id":"c-3","type":"reply","status":"ok","result":false})",
       reply("c-3", Ok, Json(false))},
      {"result kept as sent",
       R"({"id":"c-3","type":"reply","status":"ok","result":{"b":[1,{"x":null}],"a":"s"}})",
       reply("c-3", Ok, json(R"({"a":"s","b":[1,{"x":null}]})"))},
      {"error body",
       R"({"id":"c-4","type":"reply","status":"error","error":{"code":"not_found","message":"no such channel"}})",
       reply("c-4", Error, std::nullopt, ReplyError{ControlErrorCode::NotFound, "no such channel"})},
      {"null error body is no error body",
       R"({"id":"c-4","type":"reply","status":"error","error":null})", reply("c-4", Error)},
      {"ok reply keeps both result and error body",
       R"({"id":"c-5","type":"reply","status":"ok","result":1,"error":{"code":"conflict","message":""}})",
       reply("c-5", Ok, Json(1), ReplyError{ControlErrorCode::Conflict, ""})},
      {"unknown members ignored, also in the error body",
       R"({"id":"c-6","type":"reply","status":"error","extra":[1],"error":{"code":"unavailable","message":"m","detail":{}}})",
       reply("c-6", Error, std::nullopt, ReplyError{ControlErrorCode::Unavailable, "m"})},
      {"numeric id", R"({"id":3,"type":"reply","status":"ok"})", std::nullopt, R"("id")"},
      {"null id", R"({"id":null,"type":"reply","status":"ok"})", std::nullopt, R"("id")"},
      {"missing id", R"({"type":"reply","status":"ok"})", std::nullopt, R"("id")"},
      {"missing type", R"({"id":"c-1","status":"ok"})", std::nullopt, R"("type")"},
      {"unknown type spelling", R"({"id":"c-1","type":"REPLY","status":"ok"})", std::nullopt,
       R"("type")"},
      {"upper-case status", R"({"id":"c-1","type":"reply","status":"OK"})", std::nullopt,
       R"("status")"},
      {"boolean status", R"({"id":"c-1","type":"reply","status":true})", std::nullopt,
       R"("status")"},
      {"missing status", R"({"id":"c-1","type":"reply"})", std::nullopt, R"("status")"},
      {"unknown error code",
       R"({"id":"c-1","type":"reply","status":"error","error":{"code":"teapot","message":"m"}})",
       std::nullopt, "teapot"},
      {"error code spelling is case-sensitive",
       R"({"id":"c-1","type":"reply","status":"error","error":{"code":"NOT_FOUND","message":"m"}})",
       std::nullopt, R"("code")"},
      {"numeric error code",
       R"({"id":"c-1","type":"reply","status":"error","error":{"code":2,"message":"m"}})",
       std::nullopt, R"("code")"},
      {"error body without code",
       R"({"id":"c-1","type":"reply","status":"error","error":{"message":"m"}})", std::nullopt,
       R"("code")"},
      {"error body without message",
       R"({"id":"c-1","type":"reply","status":"error","error":{"code":"not_found"}})",
       std::nullopt, R"("message")"},
      {"non-string message",
       R"({"id":"c-1","type":"reply","status":"error","error":{"code":"not_found","message":7}})",
       std::nullopt, R"("message")"},
      {"error body that is a string",
       R"({"id":"c-1","type":"reply","status":"error","error":"boom"})", std::nullopt,
       R"("error")"},
      {"a broken error body spoils an ok reply too",
       R"({"id":"c-1","type":"reply","status":"ok","error":{"code":"teapot","message":"m"}})",
       std::nullopt, "teapot"},
      {"status value quoted only in part",
       R"({"id":"c-1","type":"reply","status":")" + std::string(5000, 's') + R"("})",
       std::nullopt, R"("status")"},
      {"not an object", R"(["c-1","reply","ok"])", std::nullopt, "object"},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Json value = json(c.text);
    const auto frame = ReplyFrame::from_json(value);
    if (c.expected) {
      ASSERT_TRUE(frame.has_value()) << frame.error();
      EXPECT_EQ(*frame, *c.expected);
    } else {
      ASSERT_FALSE(frame.has_value());
      EXPECT_TRUE(contains(frame.error(), c.error_part));
      EXPECT_LE(frame.error().size(), kErrorTextLimit);
    }
    // Reading from a value given up by the caller moves its result out; the
    // outcome must not differ.
    EXPECT_EQ(ReplyFrame::from_json(json(c.text)), frame);
  }
}

struct ResultCase {
  std::string name;
  ReplyFrame reply;
  Result<Json> expected;
};

TEST(ReplyToResultTest, TurnsRepliesIntoResultsOrErrors) {
  using enum ReplyStatus;
  const ReplyError not_found{ControlErrorCode::NotFound, "no such channel"};
  const std::vector<ResultCase> cases = {
      {"error body becomes a rejection", reply("c-1", Error, std::nullopt, not_found),
       fail({error::Remote{ControlErrorCode::NotFound, "no such channel"}})},
      {"result of an error reply is ignored", reply("c-1", Error, Json(1), not_found),
       fail({error::Remote{ControlErrorCode::NotFound, "no such channel"}})},
      {"error reply without a body", reply("c-1", Error),
       fail({error::Remote{ControlErrorCode::ProtocolError, "error reply without an error body"}})},
      {"error reply without a body but with a result", reply("c-1", Error, Json("x")),
       fail({error::Remote{ControlErrorCode::ProtocolError, "error reply without an error body"}})},
      {"ok without result is null", reply("c-1", Ok), Json()},
      {"ok with result", reply("c-1", Ok, json(R"({"a":[1]})")), json(R"({"a":[1]})")},
      {"error body of an ok reply is ignored", reply("c-1", Ok, Json(0), not_found), Json(0)},
      {"ok reply with only an error body is null", reply("c-1", Ok, std::nullopt, not_found),
       Json()},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(reply_to_result(c.reply), c.expected);
  }
}

struct EventCase {
  std::string name;
  std::string text;
  std::optional<EventFrame> expected;
  std::string error_part = "";
};

TEST(EventFrameTest, ReadsEventsAndNamesTheOffendingMember) {
  EventFrame minimal;
  minimal.event = "StasisStart";

  EventFrame full;
  full.event = "ChannelDtmfReceived";
  full.channel = "ch-1";
  full.app = "demo";
  full.call_id = "call-1";
  full.sip_call_id = "abc@host";
  full.payload = json(R"({"digit":"5","duration_ms":100})");

  EventFrame scalar_payload = minimal;
  scalar_payload.payload = Json(0);

  const std::vector<EventCase> cases = {
      {"without payload: null payload, no optional members",
       R"({"type":"event","event":"StasisStart"})", minimal},
      {"all members",
       R"({"type":"event","event":"ChannelDtmfReceived","channel":"ch-1","app":"demo","call_id":"call-1","sip_call_id":"abc@host","payload":{"duration_ms":100,"digit":"5"}})",
       full},
      {"null optional members are absent",
       R"({"type":"event","event":"StasisStart","channel":null,"app":null,"call_id":null,"sip_call_id":null,"payload":null})",
       minimal},
      {"falsy payload kept", R"({"type":"event","event":"StasisStart","payload":0})",
       scalar_payload},
      {"unknown members ignored", R"({"type":"event","event":"StasisStart","extra":{"a":1}})",
       minimal},
      {"missing event name", R"({"type":"event","channel":"ch"})", std::nullopt, R"("event")"},
      {"null event name", R"({"type":"event","event":null})", std::nullopt, R"("event")"},
      {"numeric event name", R"({"type":"event","event":1})", std::nullopt, R"("event")"},
      {"numeric channel", R"({"type":"event","event":"X","channel":5})", std::nullopt,
       R"("channel")"},
      {"boolean app", R"({"type":"event","event":"X","app":true})", std::nullopt, R"("app")"},
      {"object call_id", R"({"type":"event","event":"X","call_id":{}})", std::nullopt,
       R"("call_id")"},
      {"array sip_call_id", R"({"type":"event","event":"X","sip_call_id":[]})", std::nullopt,
       R"("sip_call_id")"},
      {"missing type", R"({"event":"X"})", std::nullopt, R"("type")"},
      {"unknown type spelling", R"({"type":"Event","event":"X"})", std::nullopt, R"("type")"},
      {"not an object", "null", std::nullopt, "object"},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Json value = json(c.text);
    const auto frame = EventFrame::from_json(value);
    if (c.expected) {
      ASSERT_TRUE(frame.has_value()) << frame.error();
      EXPECT_EQ(*frame, *c.expected);
    } else {
      ASSERT_FALSE(frame.has_value());
      EXPECT_TRUE(contains(frame.error(), c.error_part));
    }
    EXPECT_EQ(EventFrame::from_json(json(c.text)), frame);
  }
}


// The frame reader takes a shortcut for the common shape of replies and
// events; whatever it is given, the outcome must be the one that reading the
// whole document gives, down to the kind of every number.
bool identical(const Json& a, const Json& b) {
  if (a.type() != b.type()) return false;
  if (a.is_object()) {
    const auto& x = a.get_ref<const Json::object_t&>();
    const auto& y = b.get_ref<const Json::object_t&>();
    if (x.size() != y.size()) return false;
    for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
      if (i->first != j->first || !identical(i->second, j->second)) return false;
    }
    return true;
  }
  if (a.is_array()) {
    const auto& x = a.get_ref<const Json::array_t&>();
    const auto& y = b.get_ref<const Json::array_t&>();
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (!identical(x[i], y[i])) return false;
    }
    return true;
  }
  return a == b;
}

bool identical(const std::optional<Json>& a, const std::optional<Json>& b) {
  return a.has_value() == b.has_value() && (!a || identical(*a, *b));
}

::testing::AssertionResult same_outcome(std::string_view text) {
  const Inbound fast = classify_inbound(text);
  const Inbound whole = detail::classify_inbound_document(text);
  auto failure = [&](std::string_view what) {
    return ::testing::AssertionFailure() << what << " for " << ::testing::PrintToString(std::string(text));
  };
  if (fast.index() != whole.index()) return failure("different outcome kinds");
  if (const auto* r = std::get_if<inbound::Reply>(&fast)) {
    const auto& w = std::get<inbound::Reply>(whole).frame;
    if (!(r->frame == w) || !identical(r->frame.result, w.result)) return failure("different replies");
  } else if (const auto* e = std::get_if<inbound::Event>(&fast)) {
    const auto& w = std::get<inbound::Event>(whole).frame;
    if (!(e->frame == w) || !identical(e->frame.payload, w.payload)) return failure("different events");
  } else if (const auto* m = std::get_if<inbound::Malformed>(&fast)) {
    if (m->error != std::get<inbound::Malformed>(whole).error) return failure("different errors");
  } else if (const auto* u = std::get_if<inbound::UnparseableReply>(&fast)) {
    if (u->error != std::get<inbound::UnparseableReply>(whole).error) return failure("different errors");
  } else if (const auto* u = std::get_if<inbound::UnparseableEvent>(&fast)) {
    if (u->error != std::get<inbound::UnparseableEvent>(whole).error) return failure("different errors");
  }
  return ::testing::AssertionSuccess();
}

TEST(ClassifyInboundTest, ShortcutAgreesWithReadingTheWholeDocument) {
  const std::string bom = "\xEF\xBB\xBF";
  const std::vector<std::string> texts = {
      R"({"id":"c-1","type":"reply","status":"ok","result":{"channel":"b-1","playback_id":"pb-1"}})",
      R"({"id":"c-2","type":"reply","status":"ok"})",
      R"({"type":"reply","id":"c-3","result":null,"status":"ok"})",
      R"({"id":"c-4","type":"reply","status":"ok","result":[1,-2,0,-0,"x",true,false,null,{"a":[]},[]]})",
      R"( { "id" : "c-5" , "type" : "reply" , "status" : "ok" , "result" : 17 } )",
      R"({"id":"c-6","type":"reply","status":"error","error":{"code":"not_found","message":"m"}})",
      R"({"id":"c-7","type":"reply","status":"ok","error":null})",
      R"({"id":"c-8","type":"reply","status":"ok","result":{"a":1,"a":2}})",
      R"({"id":"c-9","type":"reply","status":"ok","result":{"b":1,"a":{"d":[1,2],"c":"x"}}})",
      R"({"id":"c-10","type":"reply","status":"ok","result":18446744073709551615})",
      R"({"id":"c-11","type":"reply","status":"ok","result":18446744073709551616})",
      R"({"id":"c-12","type":"reply","status":"ok","result":-9223372036854775808})",
      R"({"id":"c-13","type":"reply","status":"ok","result":-9223372036854775809})",
      R"({"id":"c-14","type":"reply","status":"ok","result":[1.5,1e3,-0.0,2E-2]})",
      R"({"id":"c-15","type":"reply","status":"ok","result":01})",
      R"({"id":"c-16","type":"reply","status":"ok","result":-})",
      R"({"id":"c-17","type":"reply","status":"ok","result":{"s":"a\"b\\c\u00e9\n"}})",
      "{\"id\":\"c-18\",\"type\":\"reply\",\"status\":\"ok\",\"result\":{\"s\":\"\xc3\xa9\"}}",
      "{\"id\":\"c-19\",\"type\":\"reply\",\"status\":\"ok\",\"result\":{\"s\":\"\xff\"}}",
      "{\"id\":\"c-20\",\"type\":\"reply\",\"status\":\"ok\",\"result\":\"\x7f\"}",
      "{\"id\":\"c-21\",\"type\":\"reply\",\"status\":\"ok\",\"result\":" + bom + "1}",
      "{\"id\":\"c-22\",\"type\":\"reply\",\"status\":\"ok\",\"result\":" + bom + "{}}",
      bom + R"({"id":"c-23","type":"reply","status":"ok"})",
      R"({"id":"c-24","type":"reply","status":"ok","result":tru})",
      R"({"id":"c-25","type":"reply","status":"ok","result":truex})",
      R"({"id":"c-26","type":"reply","status":"ok","result":[1,]})",
      R"({"id":"c-27","type":"reply","status":"ok","result":{"a":1,}})",
      R"({"id":"c-28","type":"reply","status":"ok","result":{"a" 1}})",
      R"({"id":"c-29","type":"reply","status":"ok","result":[1 2]})",
      R"({"id":"c-30","type":"reply","status":"ok","result":1} )",
      R"({"id":"c-31","type":"reply","status":"ok","result":1}})",
      R"({"id":"c-32","type":"reply","status":"ok","result":1,"id":"c-33"})",
      R"({"id":"c\u002d34","type":"reply","status":"ok"})",
      R"({"id":"c-35","type":"reply","status":"OK"})",
      R"({"id":5,"type":"reply","status":"ok"})",
      R"({"type":"reply","status":"ok"})",
      R"({"id":"c-36","type":"reply","status":"ok","result":)" + nested_arrays(31) + "}",
      R"({"id":"c-37","type":"reply","status":"ok","result":)" + nested_arrays(33) + "}",
      R"({"id":"c-38","type":"reply","status":"ok","result":)" + nested_arrays(70) + "}",
      R"({"id":"c-39","type":"reply","status":"ok","result":)" + nested_arrays(kMaxJsonDepth) + "}",
      R"({"id":"c-40","type":"reply","status":"ok","result":"a)" + std::string(1, '\0') + R"("})",
      R"({"id":"c-41","type":"reply","status":"ok","result":1)" + std::string(1, '\0') + "}",
      R"({"id":"c-42","type":"reply","status":"ok","result":{"":""}})",
      R"({"id":"c-43","type":"reply","status":"ok","result":"\\"})",
      R"({"id":"c-44","type":"reply","status":"ok","result":["]"]})",
      R"({"type":"event","event":"ChannelDtmfReceived","channel":"b-1","payload":{"digit":"5","duration_ms":100,"seq":7}})",
      R"({"type":"event","event":"StasisStart","channel":"b-2","app":"a","call_id":"k","sip_call_id":"s@h","payload":{"x":"\u00e9\n"}})",
      R"({"type":"event","event":"X","channel":null,"app":null,"call_id":null,"sip_call_id":null})",
      R"({"type":"event","event":"Y","payload":"str"})",
      R"({"type":"event","event":"Y","payload":null})",
      R"({"type":"event","event":"Y","channel":5})",
      R"({"type":"event","event":"Y","channel":nul})",
      R"({"type":"event","event":"Y","channel":"a","channel":"b"})",
      R"({"type":"event","event":"Y","id":"c-1"})",
      R"({"type":"event","channel":"b-1"})",
      "{\"type\":\"event\",\"event\":\"\xc3\xa9\"}",
      R"({"type":"command","id":"c-1"})",
      R"({"type":"event","event":"X","type":"reply","id":"c-1","status":"ok"})",
      R"({})",
      R"([])",
      "",
  };
  for (const auto& text : texts) EXPECT_TRUE(same_outcome(text));

  // Typical messages with a few random edits each: most edits break the
  // shape the shortcut expects, some only move it to the edge of it.
  const std::string alphabet = std::string("{}[]\":,\\ \t\nnul0123456789-+.eEtrfalsidc\x01\x7f\xc3\xa9\xff\xef\xbb\xbf") +
                               std::string(1, '\0');
  const std::vector<std::string> seeds = {
      R"({"id":"c-1","type":"reply","status":"ok","result":{"channel":"b-1","playback_id":"pb-1"}})",
      R"({"id":"c-4","type":"reply","status":"ok","result":[1,-2,0,"x",true,false,null,{"a":[]},[]]})",
      R"({"id":"c-5","type":"reply","status":"ok","result":{"a":1,"a":-20,"b":{"c":[0]}}})",
      R"({"id":"c-6","type":"reply","status":"error","error":{"code":"not_found","message":"m"}})",
      R"({"type":"event","event":"ChannelDtmfReceived","channel":"b-1","payload":{"digit":"5","seq":7}})",
      R"({"type":"event","event":"X","channel":null,"app":"a","call_id":"k","sip_call_id":"s@h"})",
  };
  std::mt19937_64 random(20261211);
  for (int round = 0; round < 20000; ++round) {
    std::string text = seeds[random() % seeds.size()];
    const int edits = static_cast<int>(random() % 4);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const std::size_t at = random() % text.size();
      const char c = alphabet[random() % alphabet.size()];
      switch (random() % 3) {
        case 0: text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), c); break;
        case 1: text.erase(at, 1); break;
        default: text[at] = c; break;
      }
    }
    ASSERT_TRUE(same_outcome(text)) << "round " << round;
  }
}

}  // namespace
}  // namespace fenwix
