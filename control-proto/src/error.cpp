#include "fenwix/proto/error.hpp"

#include <array>
#include <limits>

namespace fenwix {

namespace {

struct CodeNames {
  std::string_view wire;
  std::string_view display;
};

// Indexed by the enumerator's value, which follows wire order.
constexpr std::array<CodeNames, 12> kCodeNames{{
    {"unauthorized", "Unauthorized"},
    {"forbidden", "Forbidden"},
    {"not_found", "NotFound"},
    {"bad_request", "BadRequest"},
    {"conflict", "Conflict"},
    {"invalid_state", "InvalidState"},
    {"rate_limited", "RateLimited"},
    {"originate_denied", "OriginateDenied"},
    {"unsupported_verb", "UnsupportedVerb"},
    {"unsupported_version", "UnsupportedVersion"},
    {"protocol_error", "ProtocolError"},
    {"unavailable", "Unavailable"},
}};

constexpr std::uint64_t kNsPerSecond = 1'000'000'000;
constexpr std::uint64_t kNsPerMs = 1'000'000;

// Appends "whole" or "whole.fraction" with the fraction's trailing zeros
// dropped; `digits` is the width of the fraction field.
void append_decimal(std::string& out, std::uint64_t whole, std::uint64_t fraction, int digits) {
  out += std::to_string(whole);
  if (fraction == 0) return;
  std::string tail = std::to_string(fraction);
  tail.insert(0, static_cast<std::size_t>(digits) - tail.size(), '0');
  tail.erase(tail.find_last_not_of('0') + 1);
  out += '.';
  out += tail;
}

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

}  // namespace

std::string_view wire_name(ControlErrorCode code) {
  const auto index = static_cast<std::size_t>(code);
  return index < kCodeNames.size() ? kCodeNames[index].wire : std::string_view();
}

std::string_view display_name(ControlErrorCode code) {
  const auto index = static_cast<std::size_t>(code);
  return index < kCodeNames.size() ? kCodeNames[index].display : std::string_view();
}

std::optional<ControlErrorCode> error_code_from_wire(std::string_view text) {
  for (std::size_t i = 0; i < kCodeNames.size(); ++i) {
    if (kCodeNames[i].wire == text) return static_cast<ControlErrorCode>(i);
  }
  return std::nullopt;
}

Json to_json(ControlErrorCode code) { return Json(std::string(wire_name(code))); }

std::string format_duration(std::chrono::nanoseconds duration) {
  const std::int64_t count = duration.count();
  // Negating in unsigned arithmetic keeps nanoseconds::min() representable.
  const std::uint64_t magnitude =
      count < 0 ? 0 - static_cast<std::uint64_t>(count) : static_cast<std::uint64_t>(count);
  std::string out = count < 0 ? "-" : "";
  if (magnitude >= kNsPerSecond) {
    append_decimal(out, magnitude / kNsPerSecond, magnitude % kNsPerSecond, 9);
    out += 's';
  } else {
    append_decimal(out, magnitude / kNsPerMs, magnitude % kNsPerMs, 6);
    out += "ms";
  }
  return out;
}

std::chrono::nanoseconds duration_from_ms(std::uint64_t ms) {
  // A time-out of 2^64-1 ms means "practically never"; multiplying it out
  // would wrap into an arbitrary, possibly negative, duration and turn it
  // into "immediately".
  constexpr auto kMax = static_cast<std::uint64_t>(std::chrono::nanoseconds::max().count());
  const std::uint64_t seconds = ms / 1000;
  const std::uint64_t rest_ns = (ms % 1000) * kNsPerMs;
  if (seconds > (kMax - rest_ns) / kNsPerSecond) return std::chrono::nanoseconds::max();
  return std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * kNsPerSecond + rest_ns));
}

std::string to_string(const ControlError& error) {
  return std::visit(
      Overloaded{
          [](const error::Remote& e) {
            std::string text = "control command rejected (";
            text += display_name(e.code);
            text += "): ";
            text += e.message;
            return text;
          },
          [](const error::HandshakeRejected& e) {
            return "unauthorized: the control token was rejected (HTTP " +
                   std::to_string(e.status) + ")";
          },
          [](const error::Handshake& e) { return "handshake failed: " + e.text; },
          [](const error::Closed&) { return std::string("control connection is closed"); },
          [](const error::Timeout& e) {
            return "timed out awaiting a reply after " + format_duration(e.after);
          },
          [](const error::WebSocket& e) { return "websocket error: " + e.text; },
          [](const error::Serialization& e) { return "serialization error: " + e.text; },
          [](const error::Config& e) { return "configuration error: " + e.text; },
      },
      error.value);
}

}  // namespace fenwix
