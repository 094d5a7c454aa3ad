#include "core/KeyboardKeyTranslator.hpp"
#include "core/MacVirtualKeyCode.hpp"

#include <gtest/gtest.h>

#include <set>

using namespace velorinth;
using Translator = KeyboardKeyTranslator;
using Resolution = HardwareKeyResolution;
using M = KeyModifiers;

TEST(MacVirtualKeyCode, NamesEveryCodeUpTo126ButTheTwelveWithoutAKey) {
    std::set<std::uint16_t> codes(MacVirtualKeyCode::all.begin(), MacVirtualKeyCode::all.end());
    EXPECT_EQ(codes.size(), 115u);
    for (std::uint16_t code = 0; code <= 126; ++code) {
        const bool absent = std::set<std::uint16_t>{52, 63, 66, 68, 70, 72, 73, 74, 77, 108, 110, 112}.contains(code);
        EXPECT_EQ(codes.contains(code), !absent) << code;
    }
}

TEST(KeyboardKeyTranslator, ResolvesEachPressByModifierSpecialKeyTextOrShortcut) {
    struct Row {
        HardwareKeyDescriptor descriptor;
        bool optionSendsMeta;
        Resolution expected;
    };
    const std::vector<Row> rows{
        {{4, "a", "a", M{}}, false, Resolution::deferToTextInput("a")},
        {{4, "a", "a", M::command}, false, Resolution::virtualKey(0)},
        // A French layout's A sits at the Q position: the characters decide.
        {{20, "a", "a", M::command}, false, Resolution::virtualKey(0)},
        {{40, "\r", "\r", M{}}, false, Resolution::virtualKey(36)},
        {{40, std::nullopt, std::nullopt, M::command | M::shift}, false, Resolution::virtualKey(36)},
        {{44, " ", " ", M{}}, false, Resolution::deferToTextInput(" ")},
        {{231, std::nullopt, std::nullopt, M::command}, false, Resolution::modifierOnly(M::command, 54)},
        {{0x39, std::nullopt, std::nullopt, M{}}, true, Resolution::modifierOnly(M::capsLock, 57)},
        {{0xE0, std::nullopt, std::nullopt, M{}}, false, Resolution::modifierOnly(M::control, 59)},
        {{4, "\xC3\xA5", "a", M::option}, false, Resolution::deferToTextInput("\xC3\xA5")},
        {{4, "\xC3\xA5", "a", M::option}, true, Resolution::virtualKey(0)},
        {{4, "", "a", M{}}, false, Resolution::deferToTextInput(std::nullopt)},
        {{4, std::nullopt, "a", M::shift}, false, Resolution::deferToTextInput(std::nullopt)},
        // Neither character has a key: the position does.
        {{30, "!", "!", M::control}, false, Resolution::virtualKey(18)},
        {{0x87, "\xE3\x82\x8D", "\xE3\x82\x8D", M::control}, false, Resolution::virtualKey(94)},
        {{2, "?", "?", M::command}, false, Resolution::virtualKey(44)},
        {{3, std::nullopt, std::nullopt, M::command}, false, Resolution::ignored()},
        {{200, "x", "x", M::command}, false, Resolution::virtualKey(7)},
        {{200, "\xE2\x82\xAC", std::nullopt, M::command}, false, Resolution::ignored()},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(Translator::resolve(rows[i].descriptor, rows[i].optionSendsMeta), rows[i].expected) << "row " << i;
    }
    EXPECT_NE(Resolution::deferToTextInput(std::nullopt), Resolution::deferToTextInput(""));
}

TEST(KeyboardKeyTranslator, CharacterKeysNeedExactlyOneCharacterInAnyCase) {
    const std::vector<std::pair<std::string, std::optional<std::uint16_t>>> rows{
        {"a", 0},       {"A", 0},        {"z", 6},        {"0", 29},         {"5", 23},   {"9", 25},
        {" ", 49},      {"_", 27},       {"+", 24},       {"{", 33},         {"}", 30},   {"|", 42},
        {":", 41},      {"\"", 39},      {"~", 50},       {"<", 43},         {">", 47},   {"?", 44},
        {"\xC2\xA7", 10}, {"\xC2\xB1", 10}, {"ab", std::nullopt}, {"", std::nullopt}, {"!", std::nullopt},
        {"a\xCC\x81", std::nullopt}, {"\xC3\xA1", std::nullopt}, {"\xFF", std::nullopt},
        {"\xEF\xBC\xA1", std::nullopt}, // a full-width A lowers to its own small letter
    };
    for (const auto& [text, code] : rows) EXPECT_EQ(Translator::characterKeyCode(text), code) << ::testing::PrintToString(text);
}

TEST(KeyboardKeyTranslator, TablesCoverTheirRangesOnly) {
    EXPECT_EQ(Translator::specialKeyCode(39), std::nullopt);
    EXPECT_EQ(Translator::specialKeyCode(58), 122);  // F1
    EXPECT_EQ(Translator::specialKeyCode(69), 111);  // F12
    EXPECT_EQ(Translator::specialKeyCode(83), 71);   // Num Lock as keypad Clear
    EXPECT_EQ(Translator::specialKeyCode(104), 105); // F13
    EXPECT_EQ(Translator::specialKeyCode(111), 90);  // F20
    EXPECT_EQ(Translator::specialKeyCode(145), 102);
    EXPECT_EQ(Translator::specialKeyCode(146), std::nullopt);
    EXPECT_EQ(Translator::specialKeyCode(44), std::nullopt); // Space is typed
    EXPECT_EQ(Translator::positionalKeyCode(3), std::nullopt);
    EXPECT_EQ(Translator::positionalKeyCode(29), 6);  // Z
    EXPECT_EQ(Translator::positionalKeyCode(39), 29); // 0
    EXPECT_EQ(Translator::positionalKeyCode(50), 42); // non-US hash shares backslash
    EXPECT_EQ(Translator::positionalKeyCode(89), 83);
    EXPECT_EQ(Translator::positionalKeyCode(96), 91);
    EXPECT_EQ(Translator::positionalKeyCode(100), 10);
    EXPECT_EQ(Translator::positionalKeyCode(133), 95);
    EXPECT_EQ(Translator::positionalKeyCode(137), 93);
    EXPECT_EQ(Translator::positionalKeyCode(138), std::nullopt);
    EXPECT_EQ(Translator::modifierKey(0xE8), std::nullopt);
}
