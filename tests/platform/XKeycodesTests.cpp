#include "core/MacVirtualKeyCode.hpp"
#include "platform/linux/XKeycodes.hpp"

#include <gtest/gtest.h>

#include <map>

using namespace velorinth;

TEST(XKeycodes, EveryVirtualKeyButClearHasAKeyOfItsOwnAtItsEvdevPosition) {
    std::map<std::uint8_t, std::uint16_t> owners;
    for (std::uint16_t code : MacVirtualKeyCode::all) {
        const auto keycode = xkeys::keycodeForVirtualKey(code);
        if (code == MacVirtualKeyCode::ansiKeypadClear) {
            EXPECT_FALSE(keycode);
            continue;
        }
        ASSERT_TRUE(keycode) << code;
        EXPECT_GE(*keycode, 9) << code;
        EXPECT_TRUE(owners.emplace(*keycode, code).second) << code << " shares keycode " << int(*keycode);
        EXPECT_TRUE(xkeys::isVirtualKeyTarget(*keycode));
    }
    EXPECT_FALSE(xkeys::keycodeForVirtualKey(127));
    EXPECT_FALSE(xkeys::keycodeForVirtualKey(52));
    // Evdev codes (the keycode less 8) of a few keys of each group.
    const std::vector<std::pair<std::uint16_t, int>> evdev{
        {0, 30},   {1, 31},   {12, 16},  {18, 2},   {29, 11},  {50, 41},  {10, 86},  {36, 28},  {48, 15},
        {49, 57},  {51, 14},  {53, 1},   {117, 111}, {114, 110}, {115, 102}, {119, 107}, {116, 104}, {121, 109},
        {123, 105}, {124, 106}, {125, 108}, {126, 103}, {122, 59}, {111, 88}, {105, 183}, {90, 190}, {82, 82},
        {83, 79},  {92, 73},  {65, 83},  {67, 55},  {69, 78},  {75, 98},  {78, 74},  {81, 117}, {76, 96},
        {95, 121}, {93, 124}, {94, 89},  {104, 122}, {102, 123}, {55, 125}, {54, 126}, {56, 42},  {60, 54},
        {58, 56},  {61, 100}, {59, 29},  {62, 97},  {57, 58},
    };
    for (const auto& [code, expected] : evdev) EXPECT_EQ(*xkeys::keycodeForVirtualKey(code) - 8, expected) << code;
}
