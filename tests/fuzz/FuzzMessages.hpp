// Well-formed session messages and video fragments built from a fuzz input's
// bytes: the bytes pick the case and the values, so a target reaches every
// command and input kind without first having to find the JSON grammar.
// Every value is read in a fixed order (braced lists and statements, never
// function arguments), so an input means the same thing in the g++ replay
// and the clang fuzzing build.
#pragma once

#include "FuzzSupport.hpp"
#include "core/ControlProtocol.hpp"
#include "core/InputEvent.hpp"
#include "core/VideoModels.hpp"
#include "core/WakeModels.hpp"
#include "transport/security/SessionControlMessage.hpp"
#include "transport/video/VideoFragmentPacket.hpp"

#include <algorithm>
#include <string>
#include <string_view>

namespace velorinth::fuzz {

template <class Enum>
Enum takeEnum(FuzzedDataProvider& input) {
    return static_cast<Enum>(input.ConsumeIntegralInRange<std::size_t>(0, json::EnumNames<Enum>::names.size() - 1));
}

// Valid UTF-8, as any string read from a peer's JSON is: ASCII, what JSON
// escapes, and characters of two to four bytes.
inline std::string takeText(FuzzedDataProvider& input, std::size_t maxPieces = 12) {
    using namespace std::string_view_literals;
    // clang-format off
    static constexpr std::string_view pieces[] = {
        "a"sv, "Z"sv, "0"sv, " "sv, "."sv, ":"sv, "\""sv, "\\"sv, "/"sv, "\n"sv, "\t"sv, "\0"sv, "\x7f"sv,
        "\xc3\xa9"sv, "\xe6\xbc\xa2"sv, "\xf0\x9f\x98\x80"sv, "\xe2\x80\x8b"sv, "bye"sv, "192.168.1.10"sv, "en0"sv};
    // clang-format on
    std::string text;
    for (std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, maxPieces); count > 0; --count) {
        text += pieces[input.ConsumeIntegralInRange<std::size_t>(0, std::size(pieces) - 1)];
    }
    return text;
}

// Mostly in 0...1 (normalized coordinates), sometimes any finite value.
inline double takeNumber(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0: return input.ConsumeProbability<double>();
    case 1: return static_cast<double>(input.ConsumeIntegral<std::int16_t>());
    default: return input.ConsumeFloatingPoint<double>();
    }
}

inline Date takeDate(FuzzedDataProvider& input) { return Date(takeNumber(input)); }

inline CompositionEvent takeComposition(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0:
        return {CompositionEvent::Updated{takeText(input), input.ConsumeIntegral<std::int64_t>(),
                                          input.ConsumeIntegral<std::int64_t>()}};
    case 1: return {CompositionEvent::Committed{takeText(input)}};
    default: return {CompositionEvent::Cancelled{}};
    }
}

inline InputEvent takeInputEvent(FuzzedDataProvider& input) {
    using E = InputEvent;
    switch (input.ConsumeIntegralInRange<std::size_t>(0, E::caseNames.size() - 1)) {
    case 0: return {E::PointerMove{takeNumber(input), takeNumber(input)}};
    case 1:
        return {E::MouseButton{takeEnum<MouseButton>(input), input.ConsumeBool(),
                               input.ConsumeIntegralInRange<std::int64_t>(-1, 4)}};
    case 2:
        return {E::PointerDrag{takeEnum<MouseButton>(input), takeNumber(input), takeNumber(input),
                               takeEnum<DragPhase>(input)}};
    case 3: return {E::Scroll{takeNumber(input), takeNumber(input), takeEnum<ScrollPhase>(input)}};
    case 4:
        return {E::Key{input.ConsumeIntegral<std::uint16_t>(), input.ConsumeBool(),
                       KeyModifiers(input.ConsumeIntegral<std::uint8_t>())}};
    case 5:
        return {
            E::KeyRepeat{input.ConsumeIntegral<std::uint16_t>(), KeyModifiers(input.ConsumeIntegral<std::uint8_t>())}};
    case 6: return {E::ModifierChange{KeyModifiers(input.ConsumeIntegral<std::uint8_t>())}};
    case 7: return {E::Text{takeText(input)}};
    case 8: return {E::TextComposition{takeComposition(input)}};
    default: return {E::SystemAction{takeEnum<MacSystemAction>(input)}};
    }
}

inline CapabilitySet takeCapabilities(FuzzedDataProvider& input) {
    CapabilitySet capabilities;
    const auto bits = input.ConsumeIntegral<std::uint8_t>();
    for (std::size_t index = 0; index < json::EnumNames<Capability>::names.size(); ++index) {
        if ((bits >> index) & 1) capabilities.insert(static_cast<Capability>(index));
    }
    return capabilities;
}

inline DisplayDescriptor takeDisplay(FuzzedDataProvider& input) {
    return DisplayDescriptor{input.ConsumeIntegral<std::uint32_t>(), input.ConsumeIntegral<std::int64_t>(),
                             input.ConsumeIntegral<std::int64_t>(), takeNumber(input)};
}

// `forInput`: the input case, as remoteInput carries; otherwise any case.
inline ControlMessage takeControlMessage(FuzzedDataProvider& input, bool forInput) {
    const std::size_t kind =
        forInput ? 1 : input.ConsumeIntegralInRange<std::size_t>(0, ControlMessage::caseNames.size() - 1);
    switch (kind) {
    case 0: {
        ClientHello hello;
        hello.protocolVersion = input.ConsumeIntegral<std::uint16_t>();
        for (int count = input.ConsumeIntegralInRange(0, 3); count > 0; --count) {
            hello.supportedVersions.push_back(input.ConsumeIntegral<std::uint16_t>());
        }
        hello.deviceID = fixedUuid(input.ConsumeIntegral<std::uint8_t>());
        hello.nonce = takeBytes(input, 40);
        hello.capabilities = takeCapabilities(input);
        return {std::move(hello)};
    }
    case 1: return {ControlMessage::Input{input.ConsumeIntegral<std::uint64_t>(), takeInputEvent(input)}};
    case 2: return {takeDisplay(input)};
    case 3:
        return {ControlMessage::Ping{input.ConsumeIntegral<std::uint64_t>(), input.ConsumeIntegral<std::uint64_t>()}};
    case 4: return {ControlMessage::Disconnect{takeText(input)}};
    default: return {ControlMessage::RequestKeyFrame{}};
    }
}

// A dotted quad (local or not) or any text, as a host could report it.
inline std::optional<std::string> takeAddress(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0: return std::nullopt;
    case 1: return LocalIPv4Validator::format(input.ConsumeIntegral<std::uint32_t>());
    default: return takeText(input);
    }
}

inline WakeNetworkInterfaceTarget takeWakeTarget(FuzzedDataProvider& input) {
    std::string name = takeText(input, 4);
    const auto kind = takeEnum<WakeInterfaceKind>(input);
    MACAddress hardware = MACAddress::unvalidated(takeBytes(input, 8));
    std::optional<std::string> address = takeAddress(input);
    std::optional<std::string> mask = takeAddress(input);
    std::optional<std::string> broadcast = takeAddress(input);
    return WakeNetworkInterfaceTarget::stored(std::move(name), kind, std::move(hardware), std::move(address),
                                              std::move(mask), std::move(broadcast));
}

inline Evidence<bool> takeBoolEvidence(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0: return Evidence<bool>::verified(input.ConsumeBool());
    case 1: {
        const bool value = input.ConsumeBool();
        return Evidence<bool>::lastKnown(value, takeDate(input));
    }
    case 2: return Evidence<bool>::unknown();
    default: return Evidence<bool>::unsupported();
    }
}

inline SavedWakeConfiguration takeWakeConfiguration(FuzzedDataProvider& input) {
    SavedWakeConfiguration configuration;
    for (int count = input.ConsumeIntegralInRange(0, 3); count > 0; --count) {
        configuration.targets.push_back(takeWakeTarget(input));
    }
    if (input.ConsumeBool()) configuration.bonjourServicePort = input.ConsumeIntegral<std::uint16_t>();
    configuration.sleepProxyEligible = input.ConsumeBool();
    configuration.wakeForNetworkAccess = takeBoolEvidence(input);
    configuration.wakeOnlyOnACPower = input.ConsumeBool();
    configuration.lastKnownPowerSource = takeEnum<PowerSourceCondition>(input);
    configuration.lastKnownPowerState = takeEnum<PowerStateEvidence>(input);
    configuration.updatedAt = takeDate(input);
    if (input.ConsumeBool()) configuration.lastVerifiedWakeAt = takeDate(input);
    if (input.ConsumeBool()) {
        configuration.lastAttempt = WakeAttemptOutcomeSummary{takeDate(input), takeEnum<WakeRouteKind>(input),
                                                              takeEnum<WakeAttemptResultKind>(input)};
    }
    return configuration;
}

inline VideoStreamConfiguration takeVideoConfiguration(FuzzedDataProvider& input) {
    const auto codec = takeEnum<Capability>(input);
    std::int64_t values[7];
    for (auto& value : values) value = input.ConsumeIntegral<std::int64_t>();
    return VideoStreamConfiguration::clamped(codec, values[0], values[1], values[2], values[3], values[4], values[5],
                                             values[6]);
}

// Any command with any of the optional fields, those a command reads more
// often than not; a remoteInput always carries an input event.
inline SessionControlMessage takeSessionMessage(FuzzedDataProvider& input) {
    using Command = SessionControlCommand;
    SessionControlMessage message;
    message.command = takeEnum<Command>(input);
    message.sequence = input.ConsumeIntegral<std::uint64_t>();
    message.timestamp = takeDate(input);
    const auto present = input.ConsumeIntegral<std::uint16_t>();
    auto has = [&](int bit) { return ((present >> bit) & 1) != 0; };
    const Command command = message.command;
    if (has(0) || command == Command::disconnect || command == Command::revoked) message.reason = takeText(input);
    if (has(1) || command == Command::remoteInput) {
        message.controlMessage = takeControlMessage(input, command == Command::remoteInput);
    }
    if (has(2)) message.permissions = DevicePermissions(input.ConsumeIntegral<std::uint8_t>());
    if (has(3) || command == Command::hostStateUpdated) message.hostDisplay = takeDisplay(input);
    if (has(4)) message.accessibilityGranted = input.ConsumeBool();
    if (has(5) || (command == Command::hostStateUpdated && !has(6))) {
        message.wakeConfiguration = takeWakeConfiguration(input);
    }
    if (has(6) || (command == Command::hostStateUpdated && !has(5))) {
        message.powerStateEvidence = takeEnum<PowerStateEvidence>(input);
    }
    if (has(7) || command == Command::configureVideoStream) message.videoConfiguration = takeVideoConfiguration(input);
    if (has(8)) message.streamGeneration = input.ConsumeIntegral<std::uint64_t>();
    if (has(9)) message.streamStopReason = takeEnum<VideoStreamStopReason>(input);
    if (has(10)) message.streamActive = input.ConsumeBool();
    if (has(11) || command == Command::ping || command == Command::pong) {
        message.sentMonotonicNs = input.ConsumeIntegral<std::uint64_t>();
    }
    return message;
}

// The frames a structured fragment belongs to: two streams, four sequences
// and the stream's current generation (now and then the next, or a stale
// one), so fragments meet in one frame. A frame's fragment count, total and
// slices follow from its key alone, so fragments built apart agree and a
// frame completes once each index arrived; one fragment in eight disagrees.
struct FragmentShapes {
    std::uint16_t maxFragments = 8;
    std::uint32_t maxChunkBytes = 1024;
};

inline VideoFragmentPacket takeFragment(FuzzedDataProvider& input, FragmentShapes shapes, std::uint64_t& generation) {
    VideoFragmentPacket packet;
    packet.streamID = fixedUuid(input.ConsumeIntegralInRange<std::uint8_t>(1, 2));
    switch (input.ConsumeIntegralInRange(0, 15)) {
    case 0: packet.generation = ++generation; break;
    case 1: packet.generation = generation - (generation > 0 ? 1 : 0); break;
    default: packet.generation = generation;
    }
    packet.frameSequence = input.ConsumeIntegralInRange<std::uint64_t>(0, 3);
    const std::uint64_t key = packet.frameSequence * 5 + packet.generation * 3 + packet.streamID.bytes()[0];
    packet.fragmentCount = static_cast<std::uint16_t>(1 + key % shapes.maxFragments);
    const std::uint32_t largest = packet.fragmentCount * shapes.maxChunkBytes;
    packet.totalPayloadBytes =
        std::max<std::uint32_t>(packet.fragmentCount, largest - static_cast<std::uint32_t>(key * 97 % largest));
    packet.isKeyframe = key % 2 == 0;
    packet.fragmentIndex = input.ConsumeIntegralInRange<std::uint16_t>(0, packet.fragmentCount - 1);
    const std::uint32_t base = packet.totalPayloadBytes / packet.fragmentCount;
    std::uint32_t slice = base + (packet.fragmentIndex < packet.totalPayloadBytes % packet.fragmentCount ? 1 : 0);
    switch (input.ConsumeIntegralInRange(0, 7)) {
    case 0:
        packet.fragmentCount =
            input.ConsumeIntegralInRange<std::uint16_t>(packet.fragmentIndex + 1, shapes.maxFragments);
        break;
    case 1: packet.totalPayloadBytes += 1; break;
    case 2: slice = std::max<std::uint32_t>(1, slice - 1); break;
    case 3: packet.isKeyframe = !packet.isKeyframe; break;
    default: break;
    }
    if (packet.fragmentIndex == 0) {
        VideoFragmentPacket::FirstFragmentMetadata metadata;
        metadata.presentationTimestampUs = input.ConsumeIntegral<std::int64_t>();
        metadata.durationUs = input.ConsumeIntegralInRange<std::int64_t>(1, 100'000);
        metadata.width = input.ConsumeIntegralInRange<std::uint16_t>(64, 4096);
        metadata.height = input.ConsumeIntegralInRange<std::uint16_t>(64, 4096);
        metadata.sourceDisplayWidth = metadata.width;
        metadata.sourceDisplayHeight = metadata.height;
        packet.metadata = metadata;
    }
    packet.chunk.assign(slice, input.ConsumeIntegral<std::uint8_t>());
    return packet;
}

} // namespace velorinth::fuzz
