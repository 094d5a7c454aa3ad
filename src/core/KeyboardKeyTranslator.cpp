#include "core/KeyboardKeyTranslator.hpp"

#include "core/MacVirtualKeyCode.hpp"
#include "core/Text.hpp"

#include <array>

namespace velorinth {

namespace {

namespace vk = MacVirtualKeyCode;

struct ModifierUsage {
    std::uint16_t usage;
    KeyModifiers modifier;
    std::uint16_t keyCode;
};

constexpr auto kModifierUsages = std::to_array<ModifierUsage>({
    {0x39, KeyModifiers::capsLock, vk::capsLock},
    {0xE0, KeyModifiers::control, vk::control},
    {0xE1, KeyModifiers::shift, vk::shift},
    {0xE2, KeyModifiers::option, vk::option},
    {0xE3, KeyModifiers::command, vk::command},
    {0xE4, KeyModifiers::control, vk::rightControl},
    {0xE5, KeyModifiers::shift, vk::rightShift},
    {0xE6, KeyModifiers::option, vk::rightOption},
    {0xE7, KeyModifiers::command, vk::rightCommand},
});

// Usages 40...145; 0xFFFF marks a usage without a special key.
constexpr std::uint16_t kNone = 0xFFFF;
constexpr std::uint16_t kFirstSpecialUsage = 40;
constexpr std::array<std::uint16_t, 106> kSpecialKeys = [] {
    std::array<std::uint16_t, 106> table{};
    table.fill(kNone);
    auto set = [&](std::uint16_t usage, std::uint16_t code) { table[usage - kFirstSpecialUsage] = code; };
    set(40, vk::returnKey);
    set(41, vk::escape);
    set(42, vk::deleteKey);
    set(43, vk::tab);
    constexpr std::array<std::uint16_t, 12> f1to12{vk::f1, vk::f2, vk::f3, vk::f4, vk::f5,  vk::f6,
                                                   vk::f7, vk::f8, vk::f9, vk::f10, vk::f11, vk::f12};
    for (std::uint16_t i = 0; i < 12; ++i) set(static_cast<std::uint16_t>(58 + i), f1to12[i]);
    set(73, vk::help);
    set(74, vk::home);
    set(75, vk::pageUp);
    set(76, vk::forwardDelete);
    set(77, vk::end);
    set(78, vk::pageDown);
    set(79, vk::rightArrow);
    set(80, vk::leftArrow);
    set(81, vk::downArrow);
    set(82, vk::upArrow);
    set(83, vk::ansiKeypadClear);
    set(88, vk::ansiKeypadEnter);
    constexpr std::array<std::uint16_t, 8> f13to20{vk::f13, vk::f14, vk::f15, vk::f16,
                                                   vk::f17, vk::f18, vk::f19, vk::f20};
    for (std::uint16_t i = 0; i < 8; ++i) set(static_cast<std::uint16_t>(104 + i), f13to20[i]);
    set(144, vk::jisKana);
    set(145, vk::jisEisu);
    return table;
}();

// A-Z in usage order (usages 4...29) and 1-9, 0 (usages 30...39).
constexpr std::array<std::uint16_t, 26> kLetters{
    vk::ansiA, vk::ansiB, vk::ansiC, vk::ansiD, vk::ansiE, vk::ansiF, vk::ansiG, vk::ansiH, vk::ansiI,
    vk::ansiJ, vk::ansiK, vk::ansiL, vk::ansiM, vk::ansiN, vk::ansiO, vk::ansiP, vk::ansiQ, vk::ansiR,
    vk::ansiS, vk::ansiT, vk::ansiU, vk::ansiV, vk::ansiW, vk::ansiX, vk::ansiY, vk::ansiZ,
};
constexpr std::array<std::uint16_t, 10> kDigitRow{vk::ansi1, vk::ansi2, vk::ansi3, vk::ansi4, vk::ansi5,
                                                  vk::ansi6, vk::ansi7, vk::ansi8, vk::ansi9, vk::ansi0};

struct UsageKey {
    std::uint16_t usage;
    std::uint16_t keyCode;
};

// Beyond the letters and digits: punctuation, the keypad, the ISO and JIS keys.
constexpr auto kPositionalOthers = std::to_array<UsageKey>({
    {44, vk::space},          {45, vk::ansiMinus},          {46, vk::ansiEqual},         {47, vk::ansiLeftBracket},
    {48, vk::ansiRightBracket}, {49, vk::ansiBackslash},    {50, vk::ansiBackslash},     {51, vk::ansiSemicolon},
    {52, vk::ansiQuote},      {53, vk::ansiGrave},          {54, vk::ansiComma},         {55, vk::ansiPeriod},
    {56, vk::ansiSlash},      {84, vk::ansiKeypadDivide},   {85, vk::ansiKeypadMultiply}, {86, vk::ansiKeypadMinus},
    {87, vk::ansiKeypadPlus}, {89, vk::ansiKeypad1},        {90, vk::ansiKeypad2},       {91, vk::ansiKeypad3},
    {92, vk::ansiKeypad4},    {93, vk::ansiKeypad5},        {94, vk::ansiKeypad6},       {95, vk::ansiKeypad7},
    {96, vk::ansiKeypad8},    {97, vk::ansiKeypad9},        {98, vk::ansiKeypad0},       {99, vk::ansiKeypadDecimal},
    {103, vk::ansiKeypadEquals}, {133, vk::jisKeypadComma}, {100, vk::isoSection}, {135, vk::jisUnderscore},
    {137, vk::jisYen},
});

struct CharacterKey {
    std::string_view character; // UTF-8, lower case
    std::uint16_t keyCode;
};

constexpr auto kPunctuation = std::to_array<CharacterKey>({
    {" ", vk::space},        {"-", vk::ansiMinus},        {"_", vk::ansiMinus},     {"=", vk::ansiEqual},
    {"+", vk::ansiEqual},    {"[", vk::ansiLeftBracket},  {"{", vk::ansiLeftBracket}, {"]", vk::ansiRightBracket},
    {"}", vk::ansiRightBracket}, {"\\", vk::ansiBackslash}, {"|", vk::ansiBackslash}, {";", vk::ansiSemicolon},
    {":", vk::ansiSemicolon}, {"'", vk::ansiQuote},       {"\"", vk::ansiQuote},    {"`", vk::ansiGrave},
    {"~", vk::ansiGrave},    {",", vk::ansiComma},        {"<", vk::ansiComma},     {".", vk::ansiPeriod},
    {">", vk::ansiPeriod},   {"/", vk::ansiSlash},        {"?", vk::ansiSlash},     {"\u00A7", vk::isoSection},
    {"\u00B1", vk::isoSection},
});

} // namespace

std::optional<std::pair<KeyModifiers, std::uint16_t>> KeyboardKeyTranslator::modifierKey(std::uint16_t hidUsage) {
    for (const ModifierUsage& entry : kModifierUsages) {
        if (entry.usage == hidUsage) return std::pair{entry.modifier, entry.keyCode};
    }
    return std::nullopt;
}

std::optional<std::uint16_t> KeyboardKeyTranslator::specialKeyCode(std::uint16_t hidUsage) {
    if (hidUsage < kFirstSpecialUsage || hidUsage >= kFirstSpecialUsage + kSpecialKeys.size()) return std::nullopt;
    const std::uint16_t code = kSpecialKeys[hidUsage - kFirstSpecialUsage];
    if (code == kNone) return std::nullopt;
    return code;
}

std::optional<std::uint16_t> KeyboardKeyTranslator::characterKeyCode(std::string_view characters) {
    // Every entry is one code point without a canonical decomposition, so an
    // equal string is exactly one character; simple case mapping keeps it one.
    const std::string lower = lowercased(characters);
    if (lower.size() == 1 && lower[0] >= 'a' && lower[0] <= 'z') return kLetters[static_cast<std::size_t>(lower[0] - 'a')];
    if (lower.size() == 1 && lower[0] >= '0' && lower[0] <= '9') {
        return lower[0] == '0' ? vk::ansi0 : kDigitRow[static_cast<std::size_t>(lower[0] - '1')];
    }
    for (const CharacterKey& entry : kPunctuation) {
        if (entry.character == lower) return entry.keyCode;
    }
    return std::nullopt;
}

std::optional<std::uint16_t> KeyboardKeyTranslator::positionalKeyCode(std::uint16_t hidUsage) {
    if (hidUsage >= 4 && hidUsage <= 29) return kLetters[hidUsage - 4u];
    if (hidUsage >= 30 && hidUsage <= 39) return kDigitRow[hidUsage - 30u];
    for (const UsageKey& entry : kPositionalOthers) {
        if (entry.usage == hidUsage) return entry.keyCode;
    }
    return std::nullopt;
}

bool KeyboardKeyTranslator::isShortcut(KeyModifiers modifiers, bool optionSendsMeta) {
    return modifiers.contains(KeyModifiers::command) || modifiers.contains(KeyModifiers::control) ||
           (optionSendsMeta && modifiers.contains(KeyModifiers::option));
}

std::optional<std::uint16_t> KeyboardKeyTranslator::shortcutKeyCode(const HardwareKeyDescriptor& descriptor) {
    if (descriptor.charactersIgnoringModifiers) {
        if (auto code = characterKeyCode(*descriptor.charactersIgnoringModifiers)) return code;
    }
    if (descriptor.characters) {
        if (auto code = characterKeyCode(*descriptor.characters)) return code;
    }
    return positionalKeyCode(descriptor.hidUsage);
}

HardwareKeyResolution KeyboardKeyTranslator::resolve(const HardwareKeyDescriptor& descriptor, bool optionSendsMeta) {
    if (auto modifier = modifierKey(descriptor.hidUsage)) {
        return HardwareKeyResolution::modifierOnly(modifier->first, modifier->second);
    }
    if (auto code = specialKeyCode(descriptor.hidUsage)) return HardwareKeyResolution::virtualKey(*code);
    if (!isShortcut(descriptor.modifiers, optionSendsMeta)) {
        if (!descriptor.characters || descriptor.characters->empty()) return HardwareKeyResolution::deferToTextInput({});
        return HardwareKeyResolution::deferToTextInput(descriptor.characters);
    }
    if (auto code = shortcutKeyCode(descriptor)) return HardwareKeyResolution::virtualKey(*code);
    return HardwareKeyResolution::ignored();
}

} // namespace velorinth
