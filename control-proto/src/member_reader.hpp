// Reading typed members out of inbound JSON objects, with error texts that
// name the object and the member: `reply member "id" must be a string`.
// Internal to the protocol library.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "fenwix/proto/json.hpp"

namespace fenwix::detail {

// A short, printable rendering of a peer-supplied string for an error text:
// JSON-quoted, cut after a few dozen bytes.
std::string quote_for_error(std::string_view text);

// Reads members of one JSON object. `what` names the object in error texts
// ("reply", "event", "channel snapshot", ...). The object must outlive the
// reader; the caller has checked that it is an object.
class MemberReader {
 public:
  MemberReader(const Json& object, std::string_view what) : object_(object), what_(what) {}

  // The member, or nullptr when it is absent.
  const Json* find(std::string_view key) const;

  // Present and a string.
  std::expected<std::string, std::string> required_string(std::string_view key) const;
  // Absent reads as the empty string; null is a wrong type.
  std::expected<std::string, std::string> string_or_empty(std::string_view key) const;
  // Absent and null both read as none.
  std::expected<std::optional<std::string>, std::string> nullable_string(
      std::string_view key) const;

  std::string missing(std::string_view key) const;
  // "<what> member "<key>" must be <expectation>"
  std::string must_be(std::string_view key, std::string_view expectation) const;

 private:
  const Json& object_;
  std::string_view what_;
};

}  // namespace fenwix::detail
