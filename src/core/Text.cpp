#include "core/Text.hpp"

#include <array>

namespace velorinth {

namespace {

// White space beyond ASCII, as UTF-8: NEL, NBSP, OGHAM SPACE MARK, EN QUAD …
// HAIR SPACE, LINE and PARAGRAPH SEPARATOR, NARROW NBSP, MEDIUM MATHEMATICAL
// SPACE, IDEOGRAPHIC SPACE.
constexpr std::array<std::string_view, 19> kWideSpaces{
    "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006",
    "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000",
};

std::size_t leadingSpace(std::string_view text) {
    if (!text.empty() && isAsciiWhitespace(text.front())) return 1;
    for (std::string_view space : kWideSpaces) {
        if (text.starts_with(space)) return space.size();
    }
    return 0;
}

std::size_t trailingSpace(std::string_view text) {
    if (!text.empty() && isAsciiWhitespace(text.back())) return 1;
    for (std::string_view space : kWideSpaces) {
        if (text.ends_with(space)) return space.size();
    }
    return 0;
}

} // namespace

std::string_view trimmedAsciiWhitespace(std::string_view text) {
    while (!text.empty() && isAsciiWhitespace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isAsciiWhitespace(text.back())) text.remove_suffix(1);
    return text;
}

std::string_view trimmedWhitespace(std::string_view text) {
    while (std::size_t n = leadingSpace(text)) text.remove_prefix(n);
    while (std::size_t n = trailingSpace(text)) text.remove_suffix(n);
    return text;
}

} // namespace velorinth
