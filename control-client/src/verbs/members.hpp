// Small helpers shared by the verb builders and reply summaries. Internal to
// the client library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fenwix/client/call.hpp"
#include "fenwix/proto/events.hpp"
#include "fenwix/proto/json.hpp"

namespace fenwix::verbs_detail {

// Writing: each inserts nothing for an absent value.

inline void put(Json& args, const char* key, std::optional<std::string_view> value) {
  if (value) args[key] = std::string(*value);
}

template <class Int>
void put_number(Json& args, const char* key, const std::optional<Int>& value) {
  if (value) args[key] = *value;
}

template <class Enum>
void put_name(Json& args, const char* key, const std::optional<Enum>& value) {
  if (value) args[key] = std::string(wire_name(*value));
}

inline void put_headers(Json& args, const char* key, const HeaderPairs& pairs) {
  if (!pairs.empty()) args[key] = headers_to_json(pairs);
}

// Reading: the member of an object reply, when it has the expected type.

std::optional<std::string> string_member(const Json& result, std::string_view key);
// A non-negative integer no larger than `max`.
std::optional<std::uint64_t> unsigned_member(const Json& result, std::string_view key,
                                             std::uint64_t max);
// The entries of the array member that read as dial branches, in order.
std::vector<DialBranchPayload> branches_member(const Json& result, std::string_view key);

// Summaries write an absent value as null.
Json string_or_null(const std::optional<std::string>& value);
Json branches_to_json(const std::vector<DialBranchPayload>& branches);

}  // namespace fenwix::verbs_detail
