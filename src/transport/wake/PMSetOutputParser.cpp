#include "transport/wake/PMSetOutputParser.hpp"

#include "core/Text.hpp"

#include <array>
#include <charconv>
#include <cstdint>
#include <optional>
#include <vector>

namespace velorinth {

namespace {

// Every line break the listing may use; the two-byte CR LF comes before CR.
constexpr std::array<std::string_view, 8> kLineBreaks{"\r\n", "\n", "\v", "\f", "\r", "\u0085", "\u2028", "\u2029"};

std::vector<std::string_view> nonEmptyLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t breakLength = 0;
        for (std::string_view lineBreak : kLineBreaks) {
            if (text.substr(at).starts_with(lineBreak)) {
                breakLength = lineBreak.size();
                break;
            }
        }
        if (breakLength == 0) {
            ++at;
            continue;
        }
        if (at > start) lines.push_back(text.substr(start, at - start));
        at += breakLength;
        start = at;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

std::vector<std::string_view> tokens(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < line.size()) {
        const auto begin = line.find_first_not_of(" \t", at);
        if (begin == std::string_view::npos) break;
        const auto end = line.find_first_of(" \t", begin);
        out.push_back(line.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin));
        at = end == std::string_view::npos ? line.size() : end;
    }
    return out;
}

// An optional single sign and one or more ASCII digits, within 64 bits.
std::optional<std::int64_t> decimalInteger(std::string_view token) {
    std::string_view digits = token;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    if (token.front() == '+') token.remove_prefix(1);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (error != std::errc() || end != token.data() + token.size()) return std::nullopt;
    return value;
}

} // namespace

PMSetOutputParser::ParsedWakeSetting PMSetOutputParser::parse(std::string_view text) {
    std::optional<bool> battery;
    std::optional<bool> ac;
    std::optional<bool> current;
    std::optional<bool>* section = &current; // values before any header count as current
    const std::vector<std::string_view> lines = nonEmptyLines(text);
    if (lines.empty()) return unknownSetting();
    for (std::string_view rawLine : lines) {
        const std::string_view line = trimmedWhitespace(rawLine);
        if (line.starts_with("Battery Power:")) {
            section = &battery;
        } else if (line.starts_with("AC Power:")) {
            section = &ac;
        } else if (line.starts_with("Currently in use:")) {
            section = &current;
        } else {
            const auto words = tokens(line);
            if (words.size() < 2 || words[0] != "womp") continue;
            if (const auto value = decimalInteger(words[1])) *section = *value != 0;
        }
    }

    ParsedWakeSetting setting;
    if (ac) {
        setting.wakeForNetworkAccess = Evidence<bool>::verified(*ac || battery.value_or(false));
        setting.wakeOnlyOnACPower = *ac && battery == false;
    } else if (current) {
        setting.wakeForNetworkAccess = Evidence<bool>::verified(*current);
    }
    return setting;
}

} // namespace velorinth
