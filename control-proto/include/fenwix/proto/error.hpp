// Error codes of the switch and the library's single error type.
//
// `ControlError` is what every fallible operation of the library returns (as
// the error side of `Result<T>`); it becomes a Python exception only at the
// Python boundary. Its display text is that exception's message, so the texts
// produced by `to_string(const ControlError&)` are part of the interface.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "fenwix/proto/json.hpp"

namespace fenwix {

// The twelve error codes a reply's error body may carry, in wire order.
enum class ControlErrorCode : std::uint8_t {
  Unauthorized,
  Forbidden,
  NotFound,
  BadRequest,
  Conflict,
  InvalidState,
  RateLimited,
  OriginateDenied,
  UnsupportedVerb,
  UnsupportedVersion,
  ProtocolError,
  Unavailable,
};

// "not_found" and so on: the spelling in a reply's error body.
std::string_view wire_name(ControlErrorCode code);
// "NotFound" and so on: the spelling in error texts.
std::string_view display_name(ControlErrorCode code);
// Exact, case-sensitive match against the twelve wire spellings.
std::optional<ControlErrorCode> error_code_from_wire(std::string_view text);
// The wire spelling as a JSON string.
Json to_json(ControlErrorCode code);

namespace error {

// The switch rejected a command.
struct Remote {
  ControlErrorCode code;
  std::string message;

  friend bool operator==(const Remote&, const Remote&) = default;
};
// The WebSocket upgrade was answered with an HTTP status other than 101.
struct HandshakeRejected {
  std::uint16_t status;

  friend bool operator==(const HandshakeRejected&, const HandshakeRejected&) = default;
};
// The hello exchange produced an unusable answer.
struct Handshake {
  std::string text;

  friend bool operator==(const Handshake&, const Handshake&) = default;
};
// The connection is closed, or there is no live connection.
struct Closed {
  friend bool operator==(const Closed&, const Closed&) = default;
};
// No reply arrived within the reply time-out.
struct Timeout {
  std::chrono::nanoseconds after;

  friend bool operator==(const Timeout&, const Timeout&) = default;
};
// Connecting, TLS, upgrade or accept failed.
struct WebSocket {
  std::string text;

  friend bool operator==(const WebSocket&, const WebSocket&) = default;
};
// A command could not be serialised.
struct Serialization {
  std::string text;

  friend bool operator==(const Serialization&, const Serialization&) = default;
};
// The configuration is unusable (URL, token header, bind address).
struct Config {
  std::string text;

  friend bool operator==(const Config&, const Config&) = default;
};

}  // namespace error

struct ControlError {
  using Variant = std::variant<error::Remote, error::HandshakeRejected, error::Handshake,
                               error::Closed, error::Timeout, error::WebSocket,
                               error::Serialization, error::Config>;
  Variant value;

  template <class T>
  bool is() const noexcept { return std::holds_alternative<T>(value); }
  template <class T>
  const T* as() const noexcept { return std::get_if<T>(&value); }

  friend bool operator==(const ControlError&, const ControlError&) = default;
};

inline ControlError closed_error() { return {error::Closed{}}; }

// The display text of an error, for example
//   "control command rejected (NotFound): no such channel"
//   "timed out awaiting a reply after 1.5s".
std::string to_string(const ControlError& error);

// Writes a duration the way time-out texts show it: whole seconds as "10s",
// other values of a second or more as decimal seconds without trailing zeros
// ("1.5s", "1.001s"), shorter ones in milliseconds ("250ms", "0ms", and
// "1.5ms" should a fraction of a millisecond occur). Exact to the nanosecond;
// a negative duration gets a leading "-".
std::string format_duration(std::chrono::nanoseconds duration);

// Builds a duration from milliseconds exactly (whole seconds plus the rest).
// Values beyond what `nanoseconds` holds (about 292 years) saturate to
// `nanoseconds::max()`: a huge time-out stays huge, it never wraps round to a
// short or negative one.
std::chrono::nanoseconds duration_from_ms(std::uint64_t ms);

template <class T>
using Result = std::expected<T, ControlError>;

inline std::unexpected<ControlError> fail(ControlError error) {
  return std::unexpected<ControlError>(std::move(error));
}

}  // namespace fenwix
