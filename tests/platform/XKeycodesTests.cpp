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
    // Evdev codes (the keycode less 8) of a key of each group: letter, digit, editing, F13, keypad, JIS, modifier.
    const std::vector<std::pair<std::uint16_t, int>> evdev{{0, 30},   {29, 11},  {117, 111}, {105, 183},
                                                           {95, 121}, {93, 124}, {55, 125}};
    for (const auto& [code, expected] : evdev) EXPECT_EQ(*xkeys::keycodeForVirtualKey(code) - 8, expected) << code;
}
