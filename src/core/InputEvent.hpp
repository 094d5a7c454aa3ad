#pragma once

// One remote input event as the tablet sends it, and the small value types it
// is made of. The host hands these to its injector unchanged.

#include "core/Json.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace velorinth {

// Raw values are the wire form: the JSON value is the number.
enum class MouseButton : std::uint8_t { primary = 0, secondary = 1, middle = 2 };

enum class DragPhase { began, changed, ended, cancelled };
enum class ScrollPhase { began, changed, ended, momentum, cancelled };
enum class MacSystemAction {
    missionControl,
    appExpose,
    showDesktop,
    spaceLeft,
    spaceRight,
    spotlight,
    appSwitcher,
    hideFrontApplication,
    forceQuitApplications,
};

// The modifier keys held down, as one byte. Unknown bits are kept.
struct KeyModifiers : json::ByteOptionSet<KeyModifiers> {
    using ByteOptionSet::ByteOptionSet;

    static const KeyModifiers shift;
    static const KeyModifiers control;
    static const KeyModifiers option;
    static const KeyModifiers command;
    static const KeyModifiers capsLock;
};

inline constexpr KeyModifiers KeyModifiers::shift{0x01};
inline constexpr KeyModifiers KeyModifiers::control{0x02};
inline constexpr KeyModifiers KeyModifiers::option{0x04};
inline constexpr KeyModifiers KeyModifiers::command{0x08};
inline constexpr KeyModifiers KeyModifiers::capsLock{0x10};

// A step of input-method composition (marked text) on the tablet.
struct CompositionEvent {
    struct Updated {
        std::string markedText;
        std::int64_t selectedLocation = 0;
        std::int64_t selectedLength = 0;
        bool operator==(const Updated&) const = default;
    };
    struct Committed {
        std::string value; // "_0"
        bool operator==(const Committed&) const = default;
    };
    struct Cancelled {
        bool operator==(const Cancelled&) const = default;
    };

    std::variant<Updated, Committed, Cancelled> value = Cancelled{};

    static CompositionEvent updated(std::string markedText, std::int64_t selectedLocation,
                                    std::int64_t selectedLength) {
        return {Updated{std::move(markedText), selectedLocation, selectedLength}};
    }
    static CompositionEvent committed(std::string value) { return {Committed{std::move(value)}}; }
    static CompositionEvent cancelled() { return {Cancelled{}}; }

    std::string_view caseName() const;

    bool operator==(const CompositionEvent&) const = default;
};

// One input event. Coordinates are normalized 0...1 from the display's
// top-left corner; scroll deltas are pixels; key codes are macOS virtual key
// codes. The enum MouseButton is written qualified here because the case
// struct of the same name shadows it inside this scope.
struct InputEvent {
    struct PointerMove {
        double normalizedX = 0;
        double normalizedY = 0;
        bool operator==(const PointerMove&) const = default;
    };
    struct MouseButton {
        velorinth::MouseButton button = velorinth::MouseButton::primary;
        bool isDown = false;
        std::int64_t clickCount = 0;
        bool operator==(const MouseButton&) const = default;
    };
    struct PointerDrag {
        velorinth::MouseButton button = velorinth::MouseButton::primary;
        double normalizedX = 0;
        double normalizedY = 0;
        DragPhase phase = DragPhase::began;
        bool operator==(const PointerDrag&) const = default;
    };
    struct Scroll {
        double deltaX = 0;
        double deltaY = 0;
        ScrollPhase phase = ScrollPhase::began;
        bool operator==(const Scroll&) const = default;
    };
    struct Key {
        std::uint16_t code = 0;
        bool isDown = false;
        KeyModifiers modifiers;
        bool operator==(const Key&) const = default;
    };
    struct KeyRepeat {
        std::uint16_t code = 0;
        KeyModifiers modifiers;
        bool operator==(const KeyRepeat&) const = default;
    };
    // The whole modifier state after the change.
    struct ModifierChange {
        KeyModifiers modifiers;
        bool operator==(const ModifierChange&) const = default;
    };
    struct Text {
        std::string value; // "_0"
        bool operator==(const Text&) const = default;
    };
    struct TextComposition {
        CompositionEvent value; // "_0"
        bool operator==(const TextComposition&) const = default;
    };
    struct SystemAction {
        MacSystemAction value = MacSystemAction::missionControl; // "_0"
        bool operator==(const SystemAction&) const = default;
    };

    // Alternatives in case order; the index is the case's position.
    using Value = std::variant<PointerMove, MouseButton, PointerDrag, Scroll, Key, KeyRepeat, ModifierChange, Text,
                               TextComposition, SystemAction>;
    Value value;

    static constexpr std::array<std::string_view, 10> caseNames{
        "pointerMove", "mouseButton", "pointerDrag", "scroll", "key", "keyRepeat", "modifierChange",
        "text",        "textComposition", "systemAction",
    };

    static InputEvent pointerMove(double normalizedX, double normalizedY) {
        return {PointerMove{normalizedX, normalizedY}};
    }
    static InputEvent mouseButton(velorinth::MouseButton button, bool isDown, std::int64_t clickCount) {
        return {MouseButton{button, isDown, clickCount}};
    }
    static InputEvent pointerDrag(velorinth::MouseButton button, double normalizedX, double normalizedY,
                                  DragPhase phase) {
        return {PointerDrag{button, normalizedX, normalizedY, phase}};
    }
    static InputEvent scroll(double deltaX, double deltaY, ScrollPhase phase) {
        return {Scroll{deltaX, deltaY, phase}};
    }
    static InputEvent key(std::uint16_t code, bool isDown, KeyModifiers modifiers) {
        return {Key{code, isDown, modifiers}};
    }
    static InputEvent keyRepeat(std::uint16_t code, KeyModifiers modifiers) { return {KeyRepeat{code, modifiers}}; }
    static InputEvent modifierChange(KeyModifiers modifiers) { return {ModifierChange{modifiers}}; }
    static InputEvent text(std::string value) { return {Text{std::move(value)}}; }
    static InputEvent textComposition(CompositionEvent event) { return {TextComposition{std::move(event)}}; }
    static InputEvent systemAction(MacSystemAction action) { return {SystemAction{action}}; }

    std::string_view caseName() const { return caseNames[value.index()]; }

    template <class Case>
    const Case* get() const {
        return std::get_if<Case>(&value);
    }

    bool operator==(const InputEvent&) const = default;
};

namespace json {

template <>
struct EnumNames<MouseButton> {
    static constexpr std::array<std::string_view, 3> names{"primary", "secondary", "middle"};
};
template <>
struct EnumNames<DragPhase> {
    static constexpr std::array<std::string_view, 4> names{"began", "changed", "ended", "cancelled"};
};
template <>
struct EnumNames<ScrollPhase> {
    static constexpr std::array<std::string_view, 5> names{"began", "changed", "ended", "momentum", "cancelled"};
};
template <>
struct EnumNames<MacSystemAction> {
    static constexpr std::array<std::string_view, 9> names{
        "missionControl", "appExpose",   "showDesktop",          "spaceLeft",           "spaceRight",
        "spotlight",      "appSwitcher", "hideFrontApplication", "forceQuitApplications",
    };
};

// Written as its raw number; a case name is read too.
template <>
struct Codec<MouseButton> {
    static Json encode(MouseButton value) { return static_cast<std::uint8_t>(value); }
    static MouseButton decode(const Json& j);
};

template <>
struct JsonFields<CompositionEvent::Updated> {
    static constexpr auto fields = std::make_tuple(member("markedText", &CompositionEvent::Updated::markedText),
                                                   member("selectedLocation", &CompositionEvent::Updated::selectedLocation),
                                                   member("selectedLength", &CompositionEvent::Updated::selectedLength));
};
template <>
struct JsonFields<CompositionEvent::Committed> {
    static constexpr auto fields = std::make_tuple(member("_0", &CompositionEvent::Committed::value));
};
template <>
struct JsonFields<CompositionEvent::Cancelled> {
    static constexpr auto fields = std::make_tuple();
};
template <>
struct JsonFields<InputEvent::PointerMove> {
    static constexpr auto fields = std::make_tuple(member("normalizedX", &InputEvent::PointerMove::normalizedX),
                                                   member("normalizedY", &InputEvent::PointerMove::normalizedY));
};
template <>
struct JsonFields<InputEvent::MouseButton> {
    static constexpr auto fields = std::make_tuple(member("button", &InputEvent::MouseButton::button),
                                                   member("isDown", &InputEvent::MouseButton::isDown),
                                                   member("clickCount", &InputEvent::MouseButton::clickCount));
};
template <>
struct JsonFields<InputEvent::PointerDrag> {
    static constexpr auto fields = std::make_tuple(member("button", &InputEvent::PointerDrag::button),
                                                   member("normalizedX", &InputEvent::PointerDrag::normalizedX),
                                                   member("normalizedY", &InputEvent::PointerDrag::normalizedY),
                                                   member("phase", &InputEvent::PointerDrag::phase));
};
template <>
struct JsonFields<InputEvent::Scroll> {
    static constexpr auto fields = std::make_tuple(member("deltaX", &InputEvent::Scroll::deltaX),
                                                   member("deltaY", &InputEvent::Scroll::deltaY),
                                                   member("phase", &InputEvent::Scroll::phase));
};
template <>
struct JsonFields<InputEvent::Key> {
    static constexpr auto fields = std::make_tuple(member("code", &InputEvent::Key::code),
                                                   member("isDown", &InputEvent::Key::isDown),
                                                   member("modifiers", &InputEvent::Key::modifiers));
};
template <>
struct JsonFields<InputEvent::KeyRepeat> {
    static constexpr auto fields = std::make_tuple(member("code", &InputEvent::KeyRepeat::code),
                                                   member("modifiers", &InputEvent::KeyRepeat::modifiers));
};
template <>
struct JsonFields<InputEvent::ModifierChange> {
    static constexpr auto fields = std::make_tuple(member("modifiers", &InputEvent::ModifierChange::modifiers));
};
template <>
struct JsonFields<InputEvent::Text> {
    static constexpr auto fields = std::make_tuple(member("_0", &InputEvent::Text::value));
};
template <>
struct JsonFields<InputEvent::TextComposition> {
    static constexpr auto fields = std::make_tuple(member("_0", &InputEvent::TextComposition::value));
};
template <>
struct JsonFields<InputEvent::SystemAction> {
    static constexpr auto fields = std::make_tuple(member("_0", &InputEvent::SystemAction::value));
};

template <>
struct Codec<CompositionEvent> {
    static Json encode(const CompositionEvent& value);
    static CompositionEvent decode(const Json& j);
};

template <>
struct Codec<InputEvent> {
    static Json encode(const InputEvent& value);
    static InputEvent decode(const Json& j);
};

} // namespace json
} // namespace velorinth
