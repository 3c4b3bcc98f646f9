// Header and variable helpers shared by the verb builders and the call handle.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fenwix/proto/json.hpp"

namespace fenwix {

// Name/value pairs in the order the application gave them.
using HeaderPairs = std::vector<std::pair<std::string, std::string>>;

// An object of the pairs inserted in order (a later name replaces an earlier
// one); keys come out sorted; no pairs give {}.
Json headers_to_json(const HeaderPairs& pairs);
// The member "value" of an object result when it is a string.
std::optional<std::string> string_value(const Json& result);

}  // namespace fenwix
