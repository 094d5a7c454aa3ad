#include "host/presenters/PresenterTypes.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <ctime>

namespace velorinth {

namespace {

template <class T>
std::string integerText(T value) {
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return std::string(buffer.data(), result.ptr);
}

std::tm utcParts(Date date) {
    const auto seconds = static_cast<std::time_t>(date.unixSecondsFloor());
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    return parts;
}

std::string twoDigits(int value) { return (value < 10 ? "0" : "") + integerText(value); }

} // namespace

std::string decimalText(std::int64_t value) { return integerText(value); }
std::string decimalText(std::uint64_t value) { return integerText(value); }

std::string fixedText(double value, int precision) {
    if (!std::isfinite(value)) return std::isnan(value) ? "nan" : (value < 0 ? "-inf" : "inf");
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed,
                                      precision);
    if (result.ec != std::errc()) return "—";
    return std::string(buffer.data(), result.ptr);
}

DisplayFormats DisplayFormats::cLocaleUtc() {
    static constexpr std::array<std::string_view, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    DisplayFormats formats;
    formats.timeOfDay = [](Date date) {
        const std::tm parts = utcParts(date);
        return twoDigits(parts.tm_hour) + ":" + twoDigits(parts.tm_min) + ":" + twoDigits(parts.tm_sec);
    };
    formats.abbreviatedDateTime = [](Date date) {
        const std::tm parts = utcParts(date);
        return std::string(kMonths[static_cast<std::size_t>(parts.tm_mon)]) + " " + integerText(parts.tm_mday) +
               ", " + integerText(parts.tm_year + 1900) + ", " + twoDigits(parts.tm_hour) + ":" +
               twoDigits(parts.tm_min);
    };
    formats.groupedInteger = [](std::uint64_t value) {
        const std::string digits = integerText(value);
        std::string grouped;
        for (std::size_t i = 0; i < digits.size(); ++i) {
            if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
            grouped += digits[i];
        }
        return grouped;
    };
    return formats;
}

} // namespace velorinth
