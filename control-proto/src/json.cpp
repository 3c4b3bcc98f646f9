#include "fenwix/proto/json.hpp"

#include <algorithm>
#include <optional>

namespace fenwix {

namespace {

// Long enough for the reader's position and reason; the rest of its text is
// the offending token, which a peer controls and can make arbitrarily long.
constexpr std::size_t kMaxErrorTextBytes = 256;

// Two things the reader does not do for us, found in one pass before it runs.
//
// Depth: the reader itself copes with any nesting, but everything done with a
// value afterwards (copying it, comparing it, writing it, converting it for
// the application) recurses once per level. Counting brackets outside strings
// is enough to refuse such a text; whether it is otherwise well-formed does
// not matter, because a refused text and a malformed one end the same way.
//
// NUL bytes: the reader takes a NUL byte for the end of its input, so a valid
// value followed by a NUL and then anything at all would be accepted. A raw
// NUL is never valid JSON (inside a string it must be escaped), so any NUL
// makes the text malformed.
std::optional<std::string> prescan(std::string_view text) {
  std::size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\0') return "NUL byte at offset " + std::to_string(i);
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        in_string = true;
        break;
      case '[':
      case '{':
        if (++depth > kMaxJsonDepth) {
          return "JSON value nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
        }
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
  return std::nullopt;
}

// Length of the valid UTF-8 sequence starting at `i`, or 0 when the byte
// there does not start one (stray continuation, overlong form, surrogate,
// beyond U+10FFFF, truncated).
std::size_t utf8_sequence_length(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

// The reader quotes the bytes it stopped at verbatim, so its text can carry
// whatever the peer sent, invalid UTF-8 included. Such bytes become \xNN and
// the text is cut to a bounded length, so that it can go into a log record or
// a Python string unchanged.
std::string printable_error_text(std::string_view raw) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(std::min(raw.size(), kMaxErrorTextBytes) + 3);
  std::size_t i = 0;
  while (i < raw.size()) {
    const std::size_t length = utf8_sequence_length(raw, i);
    const std::size_t needed = length == 0 ? 4 : length;
    if (text.size() + needed > kMaxErrorTextBytes) {
      text += "...";
      break;
    }
    if (length == 0) {
      const auto b = static_cast<unsigned char>(raw[i]);
      text += "\\x";
      text += kHex[b >> 4];
      text += kHex[b & 0x0F];
      ++i;
    } else {
      text.append(raw.substr(i, length));
      i += length;
    }
  }
  return text;
}

}  // namespace

std::expected<std::string, std::string> dump_json(const Json& value) {
  try {
    return value.dump(-1, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::exception& e) {
    return std::unexpected(std::string(e.what()));
  }
}

std::expected<Json, std::string> parse_json(std::string_view text) {
  if (auto refusal = prescan(text)) return std::unexpected(std::move(*refusal));
  try {
    return Json::parse(text);
  } catch (const Json::exception& e) {
    return std::unexpected(printable_error_text(e.what()));
  }
}

}  // namespace fenwix
