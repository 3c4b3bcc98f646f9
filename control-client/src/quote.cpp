#include "fenwix/client/quote.hpp"

#include <cstdint>
#include <cstdio>

namespace fenwix {
namespace {

// Decodes one UTF-8 sequence at `pos`; returns the code point and advances,
// or returns -1 (and advances by one byte) for a malformed sequence.
long decode(std::string_view s, std::size_t& pos) {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  int len = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
  if (len == 0 || pos + len > s.size()) { ++pos; return -1; }
  long cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (int i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(s[pos + i]);
    if ((b >> 6) != 0x2) { ++pos; return -1; }
    cp = (cp << 6) | (b & 0x3F);
  }
  static constexpr long kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) { ++pos; return -1; }
  pos += len;
  return cp;
}

// Characters that would be invisible or would merge with the quote around
// them: control and format characters, separators other than the space, and
// the common blocks of combining marks.
bool needs_escape(long cp) {
  if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) return true;
  if (cp == 0xAD || cp == 0x61C || cp == 0x180E) return true;
  if ((cp >= 0x300 && cp <= 0x36F) || (cp >= 0x483 && cp <= 0x489) ||
      (cp >= 0x591 && cp <= 0x5BD) || (cp >= 0x1AB0 && cp <= 0x1AFF) ||
      (cp >= 0x1DC0 && cp <= 0x1DFF) || (cp >= 0x20D0 && cp <= 0x20FF) ||
      (cp >= 0xFE00 && cp <= 0xFE0F) || (cp >= 0xFE20 && cp <= 0xFE2F))
    return true;
  if ((cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) ||
      (cp >= 0x2060 && cp <= 0x206F) || cp == 0xFEFF || (cp >= 0xFFF9 && cp <= 0xFFFB))
    return true;
  if ((cp >= 0xE0000 && cp <= 0xE007F) || (cp >= 0xE0100 && cp <= 0xE01EF)) return true;
  if ((cp & 0xFFFE) == 0xFFFE) return true;  // noncharacters U+xxFFFE/U+xxFFFF
  return false;
}

void append_hex_escape(std::string& out, const char* prefix, unsigned long value) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "\\%s{%lx}", prefix, value);
  out += buf;
}

}  // namespace

std::string quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    const long cp = decode(text, pos);
    if (cp < 0) {
      append_hex_escape(out, "x", static_cast<unsigned char>(text[start]));
      continue;
    }
    switch (cp) {
      case '\\': out += "\\\\"; continue;
      case '"': out += "\\\""; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case 0: out += "\\0"; continue;
      default: break;
    }
    if (needs_escape(cp))
      append_hex_escape(out, "u", static_cast<unsigned long>(cp));
    else
      out.append(text.substr(start, pos - start));
  }
  out += '"';
  return out;
}

}  // namespace fenwix
