#include "platform/linux/XKeycodes.hpp"

#include "core/MacVirtualKeyCode.hpp"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <array>

namespace velorinth::xkeys {

namespace {

namespace vk = MacVirtualKeyCode;

struct Pair {
    std::uint16_t virtualKey;
    std::uint16_t evdev;
};

// Every virtual key with an X key: all but keypad Clear.
constexpr auto kKeys = std::to_array<Pair>({
    // Letters, digits and punctuation by their US position.
    {vk::ansiA, KEY_A}, {vk::ansiB, KEY_B}, {vk::ansiC, KEY_C}, {vk::ansiD, KEY_D}, {vk::ansiE, KEY_E},
    {vk::ansiF, KEY_F}, {vk::ansiG, KEY_G}, {vk::ansiH, KEY_H}, {vk::ansiI, KEY_I}, {vk::ansiJ, KEY_J},
    {vk::ansiK, KEY_K}, {vk::ansiL, KEY_L}, {vk::ansiM, KEY_M}, {vk::ansiN, KEY_N}, {vk::ansiO, KEY_O},
    {vk::ansiP, KEY_P}, {vk::ansiQ, KEY_Q}, {vk::ansiR, KEY_R}, {vk::ansiS, KEY_S}, {vk::ansiT, KEY_T},
    {vk::ansiU, KEY_U}, {vk::ansiV, KEY_V}, {vk::ansiW, KEY_W}, {vk::ansiX, KEY_X}, {vk::ansiY, KEY_Y},
    {vk::ansiZ, KEY_Z}, {vk::ansi0, KEY_0}, {vk::ansi1, KEY_1}, {vk::ansi2, KEY_2}, {vk::ansi3, KEY_3},
    {vk::ansi4, KEY_4}, {vk::ansi5, KEY_5}, {vk::ansi6, KEY_6}, {vk::ansi7, KEY_7}, {vk::ansi8, KEY_8},
    {vk::ansi9, KEY_9}, {vk::ansiEqual, KEY_EQUAL}, {vk::ansiMinus, KEY_MINUS},
    {vk::ansiRightBracket, KEY_RIGHTBRACE}, {vk::ansiLeftBracket, KEY_LEFTBRACE}, {vk::ansiQuote, KEY_APOSTROPHE},
    {vk::ansiSemicolon, KEY_SEMICOLON}, {vk::ansiBackslash, KEY_BACKSLASH}, {vk::ansiComma, KEY_COMMA},
    {vk::ansiSlash, KEY_SLASH}, {vk::ansiPeriod, KEY_DOT}, {vk::ansiGrave, KEY_GRAVE}, {vk::isoSection, KEY_102ND},
    // Editing and navigation.
    {vk::returnKey, KEY_ENTER}, {vk::tab, KEY_TAB}, {vk::space, KEY_SPACE}, {vk::deleteKey, KEY_BACKSPACE},
    {vk::escape, KEY_ESC}, {vk::forwardDelete, KEY_DELETE}, {vk::help, KEY_INSERT}, {vk::home, KEY_HOME},
    {vk::end, KEY_END}, {vk::pageUp, KEY_PAGEUP}, {vk::pageDown, KEY_PAGEDOWN}, {vk::leftArrow, KEY_LEFT},
    {vk::rightArrow, KEY_RIGHT}, {vk::downArrow, KEY_DOWN}, {vk::upArrow, KEY_UP},
    // Function keys.
    {vk::f1, KEY_F1}, {vk::f2, KEY_F2}, {vk::f3, KEY_F3}, {vk::f4, KEY_F4}, {vk::f5, KEY_F5}, {vk::f6, KEY_F6},
    {vk::f7, KEY_F7}, {vk::f8, KEY_F8}, {vk::f9, KEY_F9}, {vk::f10, KEY_F10}, {vk::f11, KEY_F11},
    {vk::f12, KEY_F12}, {vk::f13, KEY_F13}, {vk::f14, KEY_F14}, {vk::f15, KEY_F15}, {vk::f16, KEY_F16},
    {vk::f17, KEY_F17}, {vk::f18, KEY_F18}, {vk::f19, KEY_F19}, {vk::f20, KEY_F20},
    // Keypad.
    {vk::ansiKeypad0, KEY_KP0}, {vk::ansiKeypad1, KEY_KP1}, {vk::ansiKeypad2, KEY_KP2},
    {vk::ansiKeypad3, KEY_KP3}, {vk::ansiKeypad4, KEY_KP4}, {vk::ansiKeypad5, KEY_KP5},
    {vk::ansiKeypad6, KEY_KP6}, {vk::ansiKeypad7, KEY_KP7}, {vk::ansiKeypad8, KEY_KP8},
    {vk::ansiKeypad9, KEY_KP9}, {vk::ansiKeypadDecimal, KEY_KPDOT}, {vk::ansiKeypadMultiply, KEY_KPASTERISK},
    {vk::ansiKeypadPlus, KEY_KPPLUS}, {vk::ansiKeypadDivide, KEY_KPSLASH}, {vk::ansiKeypadMinus, KEY_KPMINUS},
    {vk::ansiKeypadEquals, KEY_KPEQUAL}, {vk::ansiKeypadEnter, KEY_KPENTER}, {vk::jisKeypadComma, KEY_KPCOMMA},
    // JIS.
    {vk::jisYen, KEY_YEN}, {vk::jisUnderscore, KEY_RO}, {vk::jisKana, KEY_HANGEUL}, {vk::jisEisu, KEY_HANJA},
    // Modifiers.
    {vk::command, KEY_LEFTMETA}, {vk::rightCommand, KEY_RIGHTMETA}, {vk::shift, KEY_LEFTSHIFT},
    {vk::rightShift, KEY_RIGHTSHIFT}, {vk::option, KEY_LEFTALT}, {vk::rightOption, KEY_RIGHTALT},
    {vk::control, KEY_LEFTCTRL}, {vk::rightControl, KEY_RIGHTCTRL}, {vk::capsLock, KEY_CAPSLOCK},
});

// Indexed by virtual key (0...126); 0 marks none.
constexpr std::array<std::uint8_t, 127> kKeycodes = [] {
    std::array<std::uint8_t, 127> table{};
    for (const Pair& pair : kKeys) table[pair.virtualKey] = static_cast<std::uint8_t>(pair.evdev + kEvdevOffset);
    return table;
}();

} // namespace

std::optional<std::uint8_t> keycodeForVirtualKey(std::uint16_t virtualKey) {
    if (virtualKey >= kKeycodes.size() || kKeycodes[virtualKey] == 0) return std::nullopt;
    return kKeycodes[virtualKey];
}

bool isVirtualKeyTarget(std::uint8_t keycode) {
    return std::find(kKeycodes.begin(), kKeycodes.end(), keycode) != kKeycodes.end() || keycode == kNumLock;
}

bool isKeypadNumber(std::uint16_t virtualKey) {
    constexpr std::array<std::uint16_t, 11> keys{vk::ansiKeypad0, vk::ansiKeypad1, vk::ansiKeypad2, vk::ansiKeypad3,
                                                 vk::ansiKeypad4, vk::ansiKeypad5, vk::ansiKeypad6, vk::ansiKeypad7,
                                                 vk::ansiKeypad8, vk::ansiKeypad9, vk::ansiKeypadDecimal};
    return std::find(keys.begin(), keys.end(), virtualKey) != keys.end();
}

} // namespace velorinth::xkeys
