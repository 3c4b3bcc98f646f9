// Quoting of text for error messages and reprs.
#pragma once

#include <string>
#include <string_view>

namespace fenwix {

// `text` (UTF-8) in double quotes: backslash and double quote escaped with a
// backslash; tab, carriage return, line feed and NUL as \t \r \n \0; other
// control characters, format characters and combining marks as \u{hex}
// (lower case, no leading zeros); everything else as it is. A byte that is
// not part of valid UTF-8 is written as \x{hex}, so nothing is lost.
std::string quote(std::string_view text);

}  // namespace fenwix
