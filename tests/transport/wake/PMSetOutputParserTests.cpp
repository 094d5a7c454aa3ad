#include "transport/wake/PMSetOutputParser.hpp"

#include <gtest/gtest.h>

#include <string>

namespace velorinth {
namespace {

TEST(PMSetOutputParser, Table) {
    const auto on = Evidence<bool>::verified(true);
    const auto off = Evidence<bool>::verified(false);
    const auto unknown = Evidence<bool>::unknown();
    struct Row {
        const char* name;
        std::string text;
        Evidence<bool> wake;
        bool onlyOnAC;
    };
    const Row rows[] = {
        {"AC on, battery off", "Battery Power:\n womp 0\nAC Power:\n womp 1\n", on, true},
        {"battery off after AC on", "AC Power:\n womp 1\nBattery Power:\n womp 0\n", on, true},
        {"AC off, battery on", "AC Power:\n womp 0\nBattery Power:\n womp 1\n", on, false},
        {"both off", "AC Power:\n womp 0\nBattery Power:\n womp 0\n", off, false},
        {"AC on alone", "AC Power:\n womp 1\n", on, false},
        {"battery alone", "Battery Power:\n womp 1\n", unknown, false},
        {"battery and current", "Battery Power:\n womp 1\nCurrently in use:\n womp 0\n", off, false},
        {"before any header", "womp 1\nBattery Power:\n womp 0\n", on, false},
        {"AC decides over current", "womp 0\nAC Power:\n womp 1\n", on, false},
        {"capital W", "AC Power:\n Womp 1\n", unknown, false},
        {"lone womp", "AC Power:\n womp\n", unknown, false},
        {"longer token", "AC Power:\n wompx 1\n", unknown, false},
        {"word value", "AC Power:\n womp on\n", unknown, false},
        {"hex value", "AC Power:\n womp 0x1\n", unknown, false},
        {"lone sign", "AC Power:\n womp -\n", unknown, false},
        {"double sign", "AC Power:\n womp +-1\n", unknown, false},
        {"beyond 64 bits", "AC Power:\n womp 9223372036854775808\n", unknown, false},
        {"minus one", "AC Power:\n womp -1\n", on, false},
        {"two", "AC Power:\n womp +2 trailing words\n", on, false},
        {"tabbed zero", "AC Power:\n\t\twomp\t0\n", off, false},
        {"later line wins", "AC Power:\n womp 1\n womp 0\n", off, false},
        {"indented and trailed header", "  AC Power: (charging)\n womp 1\n   Battery Power:x\n womp 0\n", on, true},
        {"CR LF lines", "AC Power:\r\n womp 1\r\nBattery Power:\r\n womp 0\r\n", on, true},
        {"U+2028 lines", "AC Power:\u2028 womp 0\u2028", off, false},
        {"U+00A0 trimmed", "AC Power:\n\u00A0womp 1\u00A0\n", on, false},
        {"empty", "", unknown, false},
        {"only breaks", "\n\r\n\u2029", unknown, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto parsed = PMSetOutputParser::parse(row.text);
        EXPECT_EQ(parsed.wakeForNetworkAccess, row.wake);
        EXPECT_EQ(parsed.wakeOnlyOnACPower, row.onlyOnAC);
    }
}

} // namespace
} // namespace velorinth
