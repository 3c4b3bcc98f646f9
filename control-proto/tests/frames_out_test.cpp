// Outbound commands: member order, optional module, sorting inside values,
// escaping, and refusal of text that is not valid UTF-8.
#include <gtest/gtest.h>

#include <cstdint>
#include <expected>
#include <limits>

#include "fenwix/proto/frames.hpp"
#include "fenwix/proto/payloads.hpp"
#include "test_support.hpp"

namespace fenwix {
namespace {

using testing::contains;
using testing::json;

struct CommandCase {
  std::string name;
  CommandFrame frame;
  std::string expected;       // the exact text, when serialising succeeds
  std::string error_part;     // non-empty: serialising must fail with this in the text
};

TEST(CommandFrameTest, SerializesEnvelopeInFixedOrder) {
  const std::string bad_utf8 = "\xff\xfe";
  const std::vector<CommandCase> cases = {
      {"hello without module",
       CommandFrame::make("c-1", std::nullopt, "hello", nullptr, hello_args("demo", 1)),
       R"({"id":"c-1","type":"command","verb":"hello","target":null,"args":{"app":"demo","protocol":1}})",
       ""},
      {"null target and args are still written",
       CommandFrame::make("c-2", std::nullopt, "resync", nullptr, nullptr),
       R"({"id":"c-2","type":"command","verb":"resync","target":null,"args":null})", ""},
      {"module comes between type and verb; args sorted by key",
       CommandFrame::make("c-3", "sip", "play", json(R"({"channel":"ch-1"})"),
                          json(R"({"b":1,"a":2})")),
       R"({"id":"c-3","type":"command","module":"sip","verb":"play","target":{"channel":"ch-1"},"args":{"a":2,"b":1}})",
       ""},
      {"nested objects sorted at every level, arrays keep their order",
       CommandFrame::make("c-4", "sip", "dial", json(R"({"z":1,"channel":"x"})"),
                          json(R"({"z":{"y":1,"x":[{"d":1,"c":2},3,"s"]},"a":true,"B":null})")),
       R"({"id":"c-4","type":"command","module":"sip","verb":"dial","target":{"channel":"x","z":1},"args":{"B":null,"a":true,"z":{"x":[{"c":2,"d":1},3,"s"],"y":1}}})",
       ""},
      {"an empty module is present, not absent",
       CommandFrame::make("c-5", "", "v", nullptr, Json::object()),
       R"({"id":"c-5","type":"command","module":"","verb":"v","target":null,"args":{}})", ""},
      {"numbers keep their kind and full range",
       CommandFrame::make("c-6", std::nullopt, "n", nullptr,
                          Json{{"u", std::numeric_limits<std::uint64_t>::max()},
                               {"i", std::numeric_limits<std::int64_t>::min()},
                               {"f", 1.5},
                               {"w", 7.0}}),
       R"({"id":"c-6","type":"command","verb":"n","target":null,"args":{"f":1.5,"i":-9223372036854775808,"u":18446744073709551615,"w":7.0}})",
       ""},
      {"envelope strings are escaped like any JSON string",
       CommandFrame::make("c-\"7\"", "m\\od", "v\n\x01\xc3\xa9", nullptr, nullptr),
       "{\"id\":\"c-\\\"7\\\"\",\"type\":\"command\",\"module\":\"m\\\\od\",\"verb\":\"v\\n\\u0001"
       "\xc3\xa9\",\"target\":null,\"args\":null}",
       ""},
      {"invalid UTF-8 in an args value",
       CommandFrame::make("c-8", "sip", "play", nullptr, Json{{"file", bad_utf8}}), "",
       "invalid UTF-8"},
      {"invalid UTF-8 in an object key of the target",
       CommandFrame::make("c-9", "sip", "play", Json{{bad_utf8, 1}}, nullptr), "",
       "invalid UTF-8"},
      {"invalid UTF-8 in the verb",
       CommandFrame::make("c-10", "sip", bad_utf8, nullptr, nullptr), "", "invalid UTF-8"},
      {"invalid UTF-8 in the module",
       CommandFrame::make("c-11", bad_utf8, "v", nullptr, nullptr), "", "invalid UTF-8"},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto text = c.frame.serialize();
    if (c.error_part.empty()) {
      ASSERT_TRUE(text.has_value()) << text.error();
      EXPECT_EQ(*text, c.expected);
    } else {
      ASSERT_FALSE(text.has_value()) << *text;
      EXPECT_TRUE(contains(text.error(), c.error_part));
    }
  }
}


// Commands write their target and args with a writer of their own for the
// common values; the text, and the error for a value that cannot be written,
// must be exactly the JSON library's.
TEST(CommandFrameTest, WritesValuesExactlyAsTheJsonLibrary) {
  const auto library_text = [](const Json& value) -> std::expected<std::string, std::string> {
    try {
      return value.dump(-1, ' ', false, Json::error_handler_t::strict);
    } catch (const Json::exception& e) {
      return std::unexpected(std::string(e.what()));
    }
  };
  const std::vector<Json> values = {
      nullptr,
      true,
      Json::object(),
      Json::array(),
      std::numeric_limits<std::uint64_t>::max(),
      std::numeric_limits<std::int64_t>::min(),
      std::int64_t{-1},
      std::uint64_t{0},
      0.1,
      -0.0,
      1e300,
      std::numeric_limits<double>::quiet_NaN(),
      "plain",
      "",
      "quote \" backslash \\ slash /",
      "controls \x01\x1f\t\n\r\b\f",
      "del \x7f",
      "\xc3\xa9 \xf0\x9f\x98\x80",
      "bad \xff here",
      "truncated \xc3",
      Json::binary({1, 2, 3}, 7),
      Json::parse(R"({"z":[1,{"b":null,"a":"x"}],"a":{"\u00e9":1,"e":-2},"m":[[],{},[[0]]]})"),
      Json{{"ok", 1}, {"bad", "\xfe"}},
      Json{{"\xfe", 1}},
      Json::array({1, "\xc0\x80", 2}),
  };
  for (const Json& value : values) {
    SCOPED_TRACE(value.dump(-1, ' ', false, Json::error_handler_t::replace));
    const auto text = CommandFrame::make("c-1", "sip", "v", value, value).serialize();
    const auto expected = library_text(value);
    if (expected) {
      ASSERT_TRUE(text.has_value()) << text.error();
      EXPECT_EQ(*text, R"({"id":"c-1","type":"command","module":"sip","verb":"v","target":)" +
                           *expected + R"(,"args":)" + *expected + "}");
    } else {
      ASSERT_FALSE(text.has_value()) << *text;
      EXPECT_EQ(text.error(), expected.error());
    }
  }
}

}  // namespace
}  // namespace fenwix
