// Results of the connection-level commands hello and resync.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fenwix/proto/json.hpp"

namespace fenwix {

inline constexpr std::string_view kSubprotocol = "fenwix-control.v1";

// The args of hello: {"app": app, "protocol": protocol}.
Json hello_args(std::string_view app, std::uint32_t protocol);

// The result of hello. All three members are required; others are ignored.
struct HelloResult {
  std::string app;
  std::uint32_t protocol = 0;
  std::string subprotocol;

  // Fails with a text naming the member or the expected type. "protocol" must
  // be an integer from 0 to 2^32-1; a negative, fractional (1.0 included) or
  // larger number, or any other JSON type, is refused.
  static std::expected<HelloResult, std::string> from_json(const Json& result);

  friend bool operator==(const HelloResult&, const HelloResult&) = default;
};

// One channel that outlived a connection loss.
struct ChannelSnapshot {
  std::string channel;                      // required
  std::string call_id;                      // absent: empty
  std::string sip_call_id;                  // absent: empty
  std::string state;                        // absent: empty
  std::map<std::string, std::string> vars;  // absent: empty; values must be strings

  // A member that is present must have its type; null is not accepted for any
  // of them. Other members are ignored.
  static std::expected<ChannelSnapshot, std::string> from_json(const Json& value);
  // All five members, the defaults included.
  Json to_json() const;

  friend bool operator==(const ChannelSnapshot&, const ChannelSnapshot&) = default;
};

// The result of resync: the channels still held for the application.
struct ResyncResult {
  std::vector<ChannelSnapshot> channels;  // "channels", absent: empty

  // The result must be an object and "channels", when present, an array (null
  // is refused). Any malformed snapshot makes the whole result unparseable.
  static std::expected<ResyncResult, std::string> from_json(const Json& result);

  friend bool operator==(const ResyncResult&, const ResyncResult&) = default;
};

}  // namespace fenwix
