// Pure helpers of the transport and call model: quoting, socket addresses,
// the upgrade-request builder, the token check, the call's argument helpers
// and the frames a call's verbs put on the wire.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "fenwix/client/call.hpp"
#include "fenwix/client/client.hpp"
#include "fenwix/client/quote.hpp"
#include "fenwix/client/server.hpp"
#include "offline_session.hpp"
#include "support.hpp"

namespace fenwix {
namespace {

using test::json;

TEST(QuoteTest, EscapesWhatWouldBeInvisibleOrAmbiguous) {
  struct Case {
    std::string_view label;
    std::string text;
    std::string_view quoted;
  };
  const std::vector<Case> cases = {
      {"empty", "", R"("")"},
      {"plain", "ws://h/p", R"("ws://h/p")"},
      {"quote and backslash", R"(a"b\c)", R"("a\"b\\c")"},
      {"tab, CR, LF", "\t\r\n", R"("\t\r\n")"},
      {"NUL", std::string("a\0b", 3), R"("a\0b")"},
      {"other C0 control", "\x01\x1b", R"("\u{1}\u{1b}")"},
      {"DEL", "\x7f", R"("\u{7f}")"},
      {"C1 control", "\xc2\x85", R"("\u{85}")"},
      {"combining mark", "e\xcc\x81", R"("e\u{301}")"},
      {"zero-width space", "\xe2\x80\x8b", R"("\u{200b}")"},
      {"byte order mark", "\xef\xbb\xbf", R"("\u{feff}")"},
      {"line separator", "\xe2\x80\xa8", R"("\u{2028}")"},
      {"accented letter kept", "caf\xc3\xa9", "\"caf\xc3\xa9\""},
      {"CJK kept", "\xe6\x97\xa5\xe6\x9c\xac", "\"\xe6\x97\xa5\xe6\x9c\xac\""},
      {"emoji kept", "\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},
      {"stray byte", "a\xff" "b", R"("a\x{ff}b")"},
      {"truncated sequence", "\xc3", R"("\x{c3}")"},
      {"overlong slash", "\xc0\xaf", R"("\x{c0}\x{af}")"},
      {"surrogate", "\xed\xa0\x80", R"("\x{ed}\x{a0}\x{80}")"},
      {"beyond U+10FFFF", "\xf4\x90\x80\x80", R"("\x{f4}\x{90}\x{80}\x{80}")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(quote(c.text), c.quoted);
  }
}

TEST(SocketAddressTest, ParsesLiteralAddressesWithAPort) {
  struct Case {
    std::string_view text;
    std::string ip;
    std::uint16_t port;
    bool v6;
    std::string_view written;
  };
  const std::vector<Case> cases = {
      {"127.0.0.1:0", "127.0.0.1", 0, false, "127.0.0.1:0"},
      {"0.0.0.0:8790", "0.0.0.0", 8790, false, "0.0.0.0:8790"},
      {"255.255.255.255:65535", "255.255.255.255", 65535, false, "255.255.255.255:65535"},
      {"[::1]:9000", "::1", 9000, true, "[::1]:9000"},
      {"[::]:0", "::", 0, true, "[::]:0"},
      {"[2001:db8::1]:443", "2001:db8::1", 443, true, "[2001:db8::1]:443"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto parsed = SocketAddress::parse(c.text);
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(*parsed, (SocketAddress{c.ip, c.port, c.v6}));
    EXPECT_EQ(parsed->to_string(), c.written);
  }
}

TEST(SocketAddressTest, RefusesAnythingElse) {
  const std::vector<std::string_view> cases = {
      "",
      "127.0.0.1",           // no port
      "127.0.0.1:",          // empty port
      ":80",                 // no host
      "localhost:80",        // names are not resolved
      "127.0.0.1:65536",     // port out of range
      "127.0.0.1:123456",
      "127.0.0.1:-1",
      "127.0.0.1:+1",
      "127.0.0.1:80x",
      " 127.0.0.1:80",
      "1.2.3:80",            // not a dotted quad
      "1.2.3.4.5:80",
      "01.2.3.4:80",         // leading zero
      "256.1.1.1:80",
      "::1:80",              // IPv6 needs brackets
      "[::1]",
      "[::1]80",
      "[::1]:",
      "[fe80::1%eth0]:80",   // no zone ids
      "[1.2.3.4]:80",
      // The address parsers stop at a NUL byte; what follows it must not
      // slip through.
      std::string_view("1.2.3.4\0junk:80", 15),
      std::string_view("[::1\0x]:80", 10),
  };
  for (auto text : cases) {
    SCOPED_TRACE(text);
    auto parsed = SocketAddress::parse(text);
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error(), "invalid socket address syntax");
  }
}

TEST(AuthorizeUpgradeTest, AcceptsOnlyTheExactBearerForms) {
  struct Case {
    std::string_view label;
    std::optional<std::string> header;
    std::string token;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"Bearer", "Bearer s3cret", "s3cret", true},
      {"lower-case scheme", "bearer s3cret", "s3cret", true},
      {"missing header", std::nullopt, "s3cret", false},
      {"empty header", "", "s3cret", false},
      {"scheme in capitals", "BEARER s3cret", "s3cret", false},
      {"mixed-case scheme", "bEARER s3cret", "s3cret", false},
      {"two spaces", "Bearer  s3cret", "s3cret", false},
      {"tab instead of space", "Bearer\ts3cret", "s3cret", false},
      {"trailing space", "Bearer s3cret ", "s3cret", false},
      {"token prefix", "Bearer s3cre", "s3cret", false},
      {"token differs in last byte", "Bearer s3creT", "s3cret", false},
      {"other scheme", "Basic s3cret", "s3cret", false},
      {"no scheme", "s3cret", "s3cret", false},
      {"scheme only", "Bearer ", "s3cret", false},
      {"non-ASCII token never matches", "Bearer p\xc3\xa4ss", "p\xc3\xa4ss", false},
      {"control byte never matches", "Bearer a\x01" "b", "a\x01" "b", false},
      {"DEL never matches", "Bearer ab\x7f", "ab\x7f", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::optional<std::string_view> header;
    if (c.header) header = *c.header;
    EXPECT_EQ(authorize_upgrade(header, c.token), c.accepted);
  }
}

TEST(BuildClientRequestTest, SplitsTheUrlAndSetsTheTwoHeaders) {
  struct Case {
    std::string_view url;
    std::string scheme, host, port, target;
  };
  const std::vector<Case> cases = {
      {kDefaultControlUrl, "ws", "127.0.0.1", "9090", "/control/ws"},
      {"ws://example.com", "ws", "example.com", "80", "/"},
      {"wss://example.com/x?y=1", "wss", "example.com", "443", "/x?y=1"},
      {"ws://example.com?y=1", "ws", "example.com", "80", "/?y=1"},
      {"ws://example.com/p#fragment", "ws", "example.com", "80", "/p"},
      {"WS://Example.com:1/", "ws", "Example.com", "1", "/"},
      {"ws://[::1]:9000/p", "ws", "::1", "9000", "/p"},
      {"ws://user:pw@h:7/", "ws", "h", "7", "/"},
      // The scheme is judged only when connecting.
      {"http://127.0.0.1:1/", "http", "127.0.0.1", "1", "/"},
      // Bytes that cannot stand in the request line are percent-encoded: a
      // CR LF in the URL must not start a header of its own.
      {"ws://h/a b?q=\r\nX-Injected: 1", "ws", "h", "80", "/a%20b?q=%0D%0AX-Injected:%201"},
      {"ws://h/\x7f\xc3\xa4\t", "ws", "h", "80", "/%7F%C3%A4%09"},
      {"ws://h?\x01", "ws", "h", "80", "/?%01"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    auto req = build_client_request(c.url, "t0k");
    ASSERT_TRUE(req) << test::error_text(req);
    EXPECT_EQ(req->scheme, c.scheme);
    EXPECT_EQ(req->host, c.host);
    EXPECT_EQ(req->port, c.port);
    EXPECT_EQ(req->target, c.target);
    EXPECT_EQ(req->authorization, "Bearer t0k");
    EXPECT_EQ(req->subprotocol, "fenwix-control.v1");
  }
}

TEST(BuildClientRequestTest, RefusesUnusableUrlsAndTokens) {
  struct Case {
    std::string_view label;
    std::string url;
    std::string token;
    std::string_view text;
  };
  const std::vector<Case> cases = {
      {"token with a line feed", std::string(kDefaultControlUrl), "t0k\nX-Evil: 1",
       "configuration error: invalid token header: failed to parse header value"},
      {"token with a carriage return", std::string(kDefaultControlUrl), "t0k\r",
       "configuration error: invalid token header: failed to parse header value"},
      {"token with DEL", std::string(kDefaultControlUrl), "t0k\x7f",
       "configuration error: invalid token header: failed to parse header value"},
      {"URL without a host", "ws:///control/ws", "t0k",
       "configuration error: invalid control url \"ws:///control/ws\": empty host"},
      {"not a URL", "not a url", "t0k",
       "configuration error: invalid control url \"not a url\": relative URL without a base"},
      {"port out of range", "ws://h:99999/", "t0k",
       "configuration error: invalid control url \"ws://h:99999/\": invalid port number"},
      {"URL quoted with escapes", "ws://a b\n/", "t0k",
       "configuration error: invalid control url \"ws://a b\\n/\": invalid domain character"},
      {"NUL inside an IPv6 literal", std::string("ws://[::1\0junk]/", 16), "t0k",
       "configuration error: invalid control url \"ws://[::1\\0junk]/\": invalid IPv6 address"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto req = build_client_request(c.url, c.token);
    ASSERT_FALSE(req);
    EXPECT_TRUE(req.error().is<error::Config>());
    EXPECT_EQ(to_string(req.error()), c.text);
  }
}

TEST(BuildClientRequestTest, TakesTabsAndUtf8InTheToken) {
  for (std::string token : {"a\tb", "p\xc3\xa4ss"}) {
    auto req = build_client_request(kDefaultControlUrl, token);
    ASSERT_TRUE(req) << test::error_text(req);
    EXPECT_EQ(req->authorization, "Bearer " + token);
  }
}

TEST(CallHelpersTest, HeadersToJsonKeepsTheLastValueOfANameAndSortsKeys) {
  struct Case {
    std::string_view label;
    HeaderPairs pairs;
    std::string_view wire;
  };
  const std::vector<Case> cases = {
      {"none", {}, "{}"},
      {"later pair wins", {{"X-B", "1"}, {"X-A", "2"}, {"X-B", "3"}}, R"({"X-A":"2","X-B":"3"})"},
      {"names are case-sensitive", {{"x-a", "1"}, {"X-A", "2"}}, R"({"X-A":"2","x-a":"1"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(headers_to_json(c.pairs).dump(), c.wire);
  }
}

TEST(CallHelpersTest, StringValueTakesOnlyAStringMemberNamedValue) {
  struct Case {
    std::string_view result;
    std::optional<std::string> value;
  };
  const std::vector<Case> cases = {
      {R"({"value":"abc"})", "abc"},
      {R"({"value":"","other":1})", ""},
      {R"({"value":5})", std::nullopt},
      {R"({"value":null})", std::nullopt},
      {R"({"other":"x"})", std::nullopt},
      {R"("abc")", std::nullopt},
      {R"(["value","abc"])", std::nullopt},
      {"null", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.result);
    EXPECT_EQ(string_value(json(c.result)), c.value);
  }
}

// What each verb operation of a call writes: the whole frame, through a real
// session core, so that the presence or absence of "module" shows.
TEST(CallFramesTest, VerbsAreAddressedToTheChannel) {
  test::OfflineSession session;
  auto inner = std::make_shared<CallInner>();
  inner->channel_id = "c-1";
  inner->transport = session.core;
  const Call call(inner);

  EXPECT_EQ(call.target(), json(R"({"channel":"c-1"})"));

  const auto ignore = [](Result<Json>) {};
  call.sip(SipVerb::Answer, Json::object(), ignore);
  call.sip(SipVerb::AcceptRefer, json(R"({"b":1,"a":2})"), ignore);
  call.command("custom_verb", nullptr, ignore);
  call.get_var("k", ignore);
  call.set_var("k", "v", ignore);
  const std::vector<std::string> expected = {
      R"({"id":"c-1","type":"command","module":"sip","verb":"answer","target":{"channel":"c-1"},"args":{}})",
      R"({"id":"c-2","type":"command","module":"sip","verb":"accept_refer","target":{"channel":"c-1"},"args":{"a":2,"b":1}})",
      R"({"id":"c-3","type":"command","module":"sip","verb":"custom_verb","target":{"channel":"c-1"},"args":null})",
      R"({"id":"c-4","type":"command","verb":"get_var","target":{"channel":"c-1"},"args":{"key":"k"}})",
      R"({"id":"c-5","type":"command","verb":"set_var","target":{"channel":"c-1"},"args":{"key":"k","value":"v"}})",
  };
  EXPECT_EQ(session.written(), expected);
}

TEST(CallFramesTest, TheCoroutineVerbCompletesWithTheReplysResult) {
  auto transport = std::make_shared<test::RecordingTransport>();
  auto inner = std::make_shared<CallInner>();
  inner->channel_id = "c9";
  inner->transport = transport;
  const Call call(inner);

  test::Task<Result<Json>> verb(call.sip(SipVerb::Play, json(R"({"uri":"tone:ring"})")));
  ASSERT_TRUE(test::wait_until([&] { return transport->sent().size() == 1; }));
  const auto sent = transport->sent().front();
  EXPECT_EQ(sent.module, "sip");
  EXPECT_EQ(sent.verb, "play");
  EXPECT_EQ(sent.target, json(R"({"channel":"c9"})"));
  transport->complete(0, json(R"({"playback":"p1"})"));
  auto result = verb.wait();
  ASSERT_TRUE(result);
  ASSERT_TRUE(*result) << test::error_text(*result);
  EXPECT_EQ(**result, json(R"({"playback":"p1"})"));
}

}  // namespace
}  // namespace fenwix
