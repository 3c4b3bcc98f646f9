// JSON values of the control protocol.
//
// nlohmann::json keeps object members in a std::map, so every object is held
// and written with its keys in ascending byte order, and a key repeated in
// inbound text keeps its last value. Numbers stay unsigned, signed or floating
// as they were written. Parsing is strict: trailing non-whitespace is an error.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace fenwix {

using Json = nlohmann::json;

// Serialises `value` compactly (no whitespace between tokens). Fails with the
// JSON writer's own text, for example for a string that is not valid UTF-8.
std::expected<std::string, std::string> dump_json(const Json& value);

// Containers nested deeper than this are refused by `parse_json`. Copying,
// comparing and writing a JSON value recurse once per level, so this bound is
// what keeps a hostile message from exhausting the stack further on.
inline constexpr std::size_t kMaxJsonDepth = 512;

// Parses exactly one JSON value from `text`. Fails with the reader's own text,
// or with a text of ours when containers nest deeper than `kMaxJsonDepth` or
// the text holds a NUL byte (which the reader would take for its end, letting
// anything after it through). The failure text is always valid UTF-8 (bytes
// that are not are shown as \xNN) and at most a few hundred bytes long,
// whatever the input, so it can be logged as it is.
std::expected<Json, std::string> parse_json(std::string_view text);

}  // namespace fenwix
