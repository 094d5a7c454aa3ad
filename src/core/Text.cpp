#include "core/Text.hpp"

#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <memory>

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

constexpr UChar32 kReplacementCharacter = 0xFFFD;

// Calls `visit` with each code point of the UTF-8 text, malformed sequences as U+FFFD.
template <class Visit>
void forEachCodePoint(std::string_view utf8, Visit visit) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(utf8.data());
    std::size_t i = 0;
    while (i < utf8.size()) {
        UChar32 c = 0;
        // ICU's macro reads at most `length` bytes; the text may be longer than
        // its int32_t index, so it is walked in windows.
        const auto window = static_cast<std::int32_t>(std::min<std::size_t>(utf8.size() - i, 4));
        std::int32_t offset = 0;
        U8_NEXT(bytes + i, offset, window, c);
        i += static_cast<std::size_t>(offset);
        visit(c < 0 ? kReplacementCharacter : c);
    }
}

void appendUtf8(std::string& out, UChar32 c) {
    std::array<std::uint8_t, U8_MAX_LENGTH> buffer{};
    std::int32_t length = 0;
    UBool error = false;
    U8_APPEND(buffer.data(), length, U8_MAX_LENGTH, c, error);
    if (error) return;
    out.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(length));
}

// One code point after another, pairs of surrogates together: the clusters
// when ICU cannot segment the text.
std::vector<std::size_t> codePointLengths(std::u16string_view utf16) {
    std::vector<std::size_t> lengths;
    for (std::size_t i = 0; i < utf16.size();) {
        const bool pair = U16_IS_LEAD(utf16[i]) && i + 1 < utf16.size() && U16_IS_TRAIL(utf16[i + 1]);
        lengths.push_back(pair ? 2 : 1);
        i += lengths.back();
    }
    return lengths;
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

std::string lowercased(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    forEachCodePoint(utf8, [&](UChar32 c) { appendUtf8(out, u_tolower(c)); });
    return out;
}

std::u16string utf16FromUtf8(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    forEachCodePoint(utf8, [&](UChar32 c) {
        if (U_IS_BMP(c)) {
            out.push_back(static_cast<char16_t>(c));
        } else {
            out.push_back(static_cast<char16_t>(U16_LEAD(c)));
            out.push_back(static_cast<char16_t>(U16_TRAIL(c)));
        }
    });
    return out;
}

std::vector<std::size_t> graphemeClusterLengths(std::u16string_view utf16) {
    if (utf16.empty()) return {};
    if (utf16.size() > static_cast<std::size_t>(INT32_MAX)) return codePointLengths(utf16);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UBreakIterator, decltype(&ubrk_close)> iterator(
        ubrk_open(UBRK_CHARACTER, "", reinterpret_cast<const UChar*>(utf16.data()),
                  static_cast<std::int32_t>(utf16.size()), &status),
        &ubrk_close);
    if (U_FAILURE(status) || !iterator) return codePointLengths(utf16);
    std::vector<std::size_t> lengths;
    std::int32_t start = ubrk_first(iterator.get());
    for (std::int32_t end = ubrk_next(iterator.get()); end != UBRK_DONE; end = ubrk_next(iterator.get())) {
        lengths.push_back(static_cast<std::size_t>(end - start));
        start = end;
    }
    return lengths;
}

std::optional<std::uint16_t> parseDecimalUInt16(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 65535) return std::nullopt;
    }
    if (negative && value != 0) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

std::string terminalSafe(std::string_view text) {
    constexpr std::string_view kReplacement = "\uFFFD";
    std::string safe;
    safe.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) {
            safe += kReplacement;
        } else if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            safe += kReplacement;
            ++i;
        } else {
            safe += text[i];
        }
    }
    return safe;
}

} // namespace velorinth
