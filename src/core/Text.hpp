#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The one Unicode lower-casing of the system: each code point by its simple
// case mapping (ICU), so the text keeps its number of code points. Malformed
// UTF-8 bytes become U+FFFD.
std::string lowercased(std::string_view utf8);

// The text in UTF-16; malformed UTF-8 bytes become U+FFFD.
std::u16string utf16FromUtf8(std::string_view utf8);

// The lengths, in UTF-16 units and in order, of the text's extended grapheme
// clusters (ICU's character boundaries); they add up to the text's length.
std::vector<std::size_t> graphemeClusterLengths(std::u16string_view utf16);

// The text with C0 and C1 control characters (C1 as UTF-8, C2 80-9F)
// replaced by U+FFFD, for a terminal: text a peer chose must not move the
// cursor or rewrite lines printed before it.
std::string terminalSafe(std::string_view text);

// A decimal UInt16 as the original platform's integer parsing reads one: an
// optional "+" or "-", then ASCII digits only, at most 65535; "-0" is 0 and
// any other negative value fails.
std::optional<std::uint16_t> parseDecimalUInt16(std::string_view text);

} // namespace velorinth
