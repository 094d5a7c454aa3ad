#pragma once

// The fixed tables relating a tablet's hardware keys (USB HID keyboard
// usages, page 7, plus the characters the tablet's layout produced) to macOS
// virtual key codes, and the decision of what to send for one key press.
// Pure and stateless.

#include "core/InputEvent.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace velorinth {

struct HardwareKeyDescriptor {
    std::uint16_t hidUsage = 0;
    std::optional<std::string> characters;                 // what the key typed with its modifiers
    std::optional<std::string> charactersIgnoringModifiers; // what it types without them
    KeyModifiers modifiers;                                 // held on the keyboard
    bool operator==(const HardwareKeyDescriptor&) const = default;
};

struct HardwareKeyResolution {
    struct ModifierOnly {
        KeyModifiers modifier;
        std::uint16_t keyCode = 0;
        bool operator==(const ModifierOnly&) const = default;
    };
    struct VirtualKey {
        std::uint16_t keyCode = 0;
        bool operator==(const VirtualKey&) const = default;
    };
    struct DeferToTextInput {
        std::optional<std::string> characters;
        bool operator==(const DeferToTextInput&) const = default;
    };
    struct Ignored {
        bool operator==(const Ignored&) const = default;
    };

    std::variant<ModifierOnly, VirtualKey, DeferToTextInput, Ignored> value = Ignored{};

    static HardwareKeyResolution modifierOnly(KeyModifiers modifier, std::uint16_t keyCode) {
        return {ModifierOnly{modifier, keyCode}};
    }
    static HardwareKeyResolution virtualKey(std::uint16_t keyCode) { return {VirtualKey{keyCode}}; }
    static HardwareKeyResolution deferToTextInput(std::optional<std::string> characters) {
        return {DeferToTextInput{std::move(characters)}};
    }
    static HardwareKeyResolution ignored() { return {Ignored{}}; }

    bool operator==(const HardwareKeyResolution&) const = default;
};

class KeyboardKeyTranslator {
public:
    KeyboardKeyTranslator() = delete;

    // Caps Lock and the eight control, shift, option and command keys.
    static std::optional<std::pair<KeyModifiers, std::uint16_t>> modifierKey(std::uint16_t hidUsage);
    // Keys whose meaning does not depend on the layout (Return, arrows, F1-F20 …).
    static std::optional<std::uint16_t> specialKeyCode(std::uint16_t hidUsage);
    // The key of a one-character string, lower-cased first.
    static std::optional<std::uint16_t> characterKeyCode(std::string_view characters);
    // The key at the usage's position on a US ANSI keyboard.
    static std::optional<std::uint16_t> positionalKeyCode(std::uint16_t hidUsage);

    // Whether a press with these modifiers is a shortcut rather than typing.
    static bool isShortcut(KeyModifiers modifiers, bool optionSendsMeta);
    // A key code by the character tables, then the position; none when neither knows it.
    static std::optional<std::uint16_t> shortcutKeyCode(const HardwareKeyDescriptor& descriptor);

    static HardwareKeyResolution resolve(const HardwareKeyDescriptor& descriptor, bool optionSendsMeta);
};

} // namespace velorinth
