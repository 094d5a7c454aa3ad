#pragma once

#include <string_view>

namespace velorinth {

// Space, tab, line feed, carriage return, vertical tab, form feed.
constexpr bool isAsciiWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Without leading and trailing ASCII white space (addresses and other
// machine-read text).
std::string_view trimmedAsciiWhitespace(std::string_view text);

// Without leading and trailing Unicode white space and line breaks (the
// separators Zs, Zl, Zp, U+0009-U+000D and U+0085), for names people type.
std::string_view trimmedWhitespace(std::string_view utf8);

} // namespace velorinth
