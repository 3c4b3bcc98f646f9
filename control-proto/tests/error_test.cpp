// Error codes, display texts of the library's errors, and time-out durations.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>

#include "fenwix/proto/error.hpp"

namespace fenwix {
namespace {

using namespace std::chrono_literals;
using namespace std::string_view_literals;

struct TextCase {
  ControlError error;
  std::string expected;
};

TEST(ControlErrorTest, DisplayTexts) {
  const std::vector<TextCase> cases = {
      {{error::Remote{ControlErrorCode::NotFound, "no such channel"}},
       "control command rejected (NotFound): no such channel"},
      {{error::Remote{ControlErrorCode::ProtocolError, "error reply without an error body"}},
       "control command rejected (ProtocolError): error reply without an error body"},
      {{error::Remote{ControlErrorCode::Unauthorized, ""}},
       "control command rejected (Unauthorized): "},
      {{error::HandshakeRejected{401}}, "unauthorized: the control token was rejected (HTTP 401)"},
      {{error::HandshakeRejected{404}}, "unauthorized: the control token was rejected (HTTP 404)"},
      {{error::Handshake{"bad hello reply: x"}}, "handshake failed: bad hello reply: x"},
      {{error::Closed{}}, "control connection is closed"},
      {{error::Timeout{duration_from_ms(10000)}}, "timed out awaiting a reply after 10s"},
      {{error::Timeout{duration_from_ms(1500)}}, "timed out awaiting a reply after 1.5s"},
      {{error::Timeout{duration_from_ms(250)}}, "timed out awaiting a reply after 250ms"},
      {{error::WebSocket{"connection refused"}}, "websocket error: connection refused"},
      {{error::Serialization{"invalid UTF-8"}}, "serialization error: invalid UTF-8"},
      {{error::Config{"bind 0.0.0.0:8790: address in use"}},
       "configuration error: bind 0.0.0.0:8790: address in use"},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(to_string(c.error), c.expected);
  }
}

struct CodeCase {
  ControlErrorCode code;
  std::string_view wire;
  std::string_view display;
};

TEST(ControlErrorCodeTest, WireAndDisplaySpellings) {
  using enum ControlErrorCode;
  const std::vector<CodeCase> cases = {
      {Unauthorized, "unauthorized", "Unauthorized"},
      {Forbidden, "forbidden", "Forbidden"},
      {NotFound, "not_found", "NotFound"},
      {BadRequest, "bad_request", "BadRequest"},
      {Conflict, "conflict", "Conflict"},
      {InvalidState, "invalid_state", "InvalidState"},
      {RateLimited, "rate_limited", "RateLimited"},
      {OriginateDenied, "originate_denied", "OriginateDenied"},
      {UnsupportedVerb, "unsupported_verb", "UnsupportedVerb"},
      {UnsupportedVersion, "unsupported_version", "UnsupportedVersion"},
      {ProtocolError, "protocol_error", "ProtocolError"},
      {Unavailable, "unavailable", "Unavailable"},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.wire);
    EXPECT_EQ(wire_name(c.code), c.wire);
    EXPECT_EQ(display_name(c.code), c.display);
    EXPECT_EQ(error_code_from_wire(c.wire), c.code);
    EXPECT_EQ(to_json(c.code), Json(std::string(c.wire)));
  }

  for (const std::string_view near_miss :
       {"teapot"sv, ""sv, "NotFound"sv, "NOT_FOUND"sv, "not_found "sv, " not_found"sv,
        "not-found"sv, "not_found\0"sv}) {
    SCOPED_TRACE(near_miss);
    EXPECT_EQ(error_code_from_wire(near_miss), std::nullopt);
  }
}

struct DurationCase {
  std::chrono::nanoseconds duration;
  std::string expected;
};

TEST(FormatDurationTest, SecondsAboveOneSecondMillisecondsBelow) {
  const std::vector<DurationCase> cases = {
      {10s, "10s"},
      {1s, "1s"},
      {1500ms, "1.5s"},
      {1001ms, "1.001s"},
      {1010ms, "1.01s"},
      {3600250ms, "3600.25s"},
      {1s + 1ns, "1.000000001s"},
      {999ms, "999ms"},
      {250ms, "250ms"},
      {1ms, "1ms"},
      {0ns, "0ms"},
      {1500us, "1.5ms"},
      {1ns, "0.000001ms"},
      {999999999ns, "999.999999ms"},
      {std::chrono::nanoseconds::max(), "9223372036.854775807s"},
      {-1500ms, "-1.5s"},
      {std::chrono::nanoseconds::min(), "-9223372036.854775808s"},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(format_duration(c.duration), c.expected);
  }
}

struct FromMsCase {
  std::uint64_t ms;
  std::chrono::nanoseconds expected;
};

TEST(DurationFromMsTest, ExactUpToTheLimitThenSaturates) {
  constexpr auto kMax = std::chrono::nanoseconds::max();
  const std::vector<FromMsCase> cases = {
      {0, 0ns},
      {1, 1ms},
      {999, 999ms},
      {1500, 1500ms},
      {10000, 10s},
      // The largest whole number of milliseconds that nanoseconds can hold.
      {9'223'372'036'854, std::chrono::nanoseconds(9'223'372'036'854'000'000)},
      {9'223'372'036'855, kMax},
      {std::uint64_t{1} << 63, kMax},
      {std::numeric_limits<std::uint64_t>::max(), kMax},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.ms);
    EXPECT_EQ(duration_from_ms(c.ms), c.expected);
  }
}

}  // namespace
}  // namespace fenwix
