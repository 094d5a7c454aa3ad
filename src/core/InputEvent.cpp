#include "core/InputEvent.hpp"


namespace velorinth {

namespace {

constexpr std::array<std::string_view, 3> kCompositionCases{"updated", "committed", "cancelled"};

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
    return encodeVariantCase(kCompositionCases, value.value);
}

CompositionEvent Codec<CompositionEvent>::decode(const Json& j) {
    return {decodeVariantCase<decltype(CompositionEvent::value)>(j, kCompositionCases)};
}

Json Codec<InputEvent>::encode(const InputEvent& value) { return encodeVariantCase(InputEvent::caseNames, value.value); }

InputEvent Codec<InputEvent>::decode(const Json& j) {
    return {decodeVariantCase<InputEvent::Value>(j, InputEvent::caseNames)};
}

} // namespace json
} // namespace velorinth
