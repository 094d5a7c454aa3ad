#include "core/InputEvent.hpp"

#include <type_traits>

namespace velorinth {

namespace {

constexpr std::array<std::string_view, 3> kCompositionCases{"updated", "committed", "cancelled"};
constexpr std::array<bool, 3> kCompositionValueLess{false, false, true};
constexpr std::array<bool, 10> kInputValueLess{};

} // namespace

std::string_view CompositionEvent::caseName() const { return kCompositionCases[value.index()]; }

namespace json {

MouseButton Codec<MouseButton>::decode(const Json& j) {
    if (j.is_string()) {
        const auto& name = j.get_ref<const std::string&>();
        if (auto button = caseFromName<MouseButton>(name)) return *button;
        failCorrupted("Cannot initialize MouseButton from invalid value \"" + name + "\".");
    }
    if (!j.is_number()) failTypeMismatch("UInt8", j);
    auto raw = Codec<std::uint8_t>::decode(j);
    if (raw >= EnumNames<MouseButton>::names.size()) {
        failCorrupted("Cannot initialize MouseButton from invalid UInt8 value " + std::to_string(raw) + ".");
    }
    return static_cast<MouseButton>(raw);
}

Json Codec<CompositionEvent>::encode(const CompositionEvent& value) {
    Json payload = Json::object();
    if (const auto* updated = std::get_if<CompositionEvent::Updated>(&value.value)) {
        put(payload, "markedText", updated->markedText);
        put(payload, "selectedLocation", updated->selectedLocation);
        put(payload, "selectedLength", updated->selectedLength);
    } else if (const auto* committed = std::get_if<CompositionEvent::Committed>(&value.value)) {
        put(payload, "_0", committed->value);
    }
    return encodeCase(value.caseName(), std::move(payload));
}

CompositionEvent Codec<CompositionEvent>::decode(const Json& j) {
    auto selection = decodeCase(j, kCompositionCases, kCompositionValueLess);
    const Json& p = selection.payload;
    switch (selection.index) {
    case 0:
        return CompositionEvent::updated(field<std::string>(p, "markedText"),
                                         field<std::int64_t>(p, "selectedLocation"),
                                         field<std::int64_t>(p, "selectedLength"));
    case 1: return CompositionEvent::committed(field<std::string>(p, "_0"));
    default: return CompositionEvent::cancelled();
    }
}

Json Codec<InputEvent>::encode(const InputEvent& value) {
    Json payload = Json::object();
    std::visit(
        [&payload](const auto& event) {
            using Case = std::decay_t<decltype(event)>;
            if constexpr (std::is_same_v<Case, InputEvent::PointerMove>) {
                put(payload, "normalizedX", event.normalizedX);
                put(payload, "normalizedY", event.normalizedY);
            } else if constexpr (std::is_same_v<Case, InputEvent::MouseButton>) {
                put(payload, "button", event.button);
                put(payload, "isDown", event.isDown);
                put(payload, "clickCount", event.clickCount);
            } else if constexpr (std::is_same_v<Case, InputEvent::PointerDrag>) {
                put(payload, "button", event.button);
                put(payload, "normalizedX", event.normalizedX);
                put(payload, "normalizedY", event.normalizedY);
                put(payload, "phase", event.phase);
            } else if constexpr (std::is_same_v<Case, InputEvent::Scroll>) {
                put(payload, "deltaX", event.deltaX);
                put(payload, "deltaY", event.deltaY);
                put(payload, "phase", event.phase);
            } else if constexpr (std::is_same_v<Case, InputEvent::Key>) {
                put(payload, "code", event.code);
                put(payload, "isDown", event.isDown);
                put(payload, "modifiers", event.modifiers);
            } else if constexpr (std::is_same_v<Case, InputEvent::KeyRepeat>) {
                put(payload, "code", event.code);
                put(payload, "modifiers", event.modifiers);
            } else if constexpr (std::is_same_v<Case, InputEvent::ModifierChange>) {
                put(payload, "modifiers", event.modifiers);
            } else {
                // text, textComposition, systemAction: one unlabelled value.
                put(payload, "_0", event.value);
            }
        },
        value.value);
    return encodeCase(value.caseName(), std::move(payload));
}

InputEvent Codec<InputEvent>::decode(const Json& j) {
    auto selection = decodeCase(j, InputEvent::caseNames, kInputValueLess);
    const Json& p = selection.payload;
    switch (selection.index) {
    case 0: return InputEvent::pointerMove(field<double>(p, "normalizedX"), field<double>(p, "normalizedY"));
    case 1:
        return InputEvent::mouseButton(field<MouseButton>(p, "button"), field<bool>(p, "isDown"),
                                       field<std::int64_t>(p, "clickCount"));
    case 2:
        return InputEvent::pointerDrag(field<MouseButton>(p, "button"), field<double>(p, "normalizedX"),
                                       field<double>(p, "normalizedY"), field<DragPhase>(p, "phase"));
    case 3:
        return InputEvent::scroll(field<double>(p, "deltaX"), field<double>(p, "deltaY"),
                                  field<ScrollPhase>(p, "phase"));
    case 4:
        return InputEvent::key(field<std::uint16_t>(p, "code"), field<bool>(p, "isDown"),
                               field<KeyModifiers>(p, "modifiers"));
    case 5: return InputEvent::keyRepeat(field<std::uint16_t>(p, "code"), field<KeyModifiers>(p, "modifiers"));
    case 6: return InputEvent::modifierChange(field<KeyModifiers>(p, "modifiers"));
    case 7: return InputEvent::text(field<std::string>(p, "_0"));
    case 8: return InputEvent::textComposition(field<CompositionEvent>(p, "_0"));
    default: return InputEvent::systemAction(field<MacSystemAction>(p, "_0"));
    }
}

} // namespace json
} // namespace velorinth
