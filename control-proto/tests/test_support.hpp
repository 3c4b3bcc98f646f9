// Small helpers shared by the protocol tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "fenwix/proto/json.hpp"

namespace fenwix::testing {

// Parses a JSON text that the test itself wrote; a typo in it is a test bug.
inline Json json(std::string_view text) {
  auto value = parse_json(text);
  if (!value) throw std::invalid_argument("bad JSON in test: " + value.error());
  return std::move(*value);
}

inline ::testing::AssertionResult contains(std::string_view text, std::string_view part) {
  if (text.find(part) != std::string_view::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << text << "\" does not contain \"" << part << "\"";
}

// Strict check (no overlong forms, no surrogates, nothing past U+10FFFF).
inline bool is_valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
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
      return false;
    }
    if (i + length > s.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return false;
    }
    i += length;
  }
  return true;
}

inline std::string nested_arrays(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

}  // namespace fenwix::testing
