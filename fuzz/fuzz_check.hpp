// What every fuzz target checks besides "no crash, no sanitizer report".
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fenwix::fuzz {

// Aborts, which libFuzzer reports as a crash with the input that caused it.
[[noreturn]] inline void violated(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "fuzz invariant violated: %s: %.*s\n", what,
               static_cast<int>(detail.size() > 300 ? 300 : detail.size()), detail.data());
  std::abort();
}

inline void check(bool ok, const char* what, std::string_view detail = {}) {
  if (!ok) violated(what, detail);
}

// Strict UTF-8: no overlong forms, no surrogates, nothing beyond U+10FFFF.
inline bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      n = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      n = 3;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      n = 4;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (i + n > s.size()) return false;
    const auto second = static_cast<unsigned char>(s[i + 1]);
    if (second < lo || second > hi) return false;
    for (std::size_t k = 2; k < n; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if (b < 0x80 || b > 0xBF) return false;
    }
    i += n;
  }
  return true;
}

}  // namespace fenwix::fuzz
