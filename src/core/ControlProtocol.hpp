#pragma once

// The records a tablet and the host exchange over the control channel: the
// hellos that open a session, the host's display, and the typed control
// messages that carry input.

#include "core/Bytes.hpp"
#include "core/IdentityModels.hpp"
#include "core/InputEvent.hpp"
#include "core/Json.hpp"
#include "core/Uuid.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velorinth {

// A negotiable capability. Sets are written in declaration order.
enum class Capability { h264, hevc, pointer, keyboard, localWake, wakeRelay };

using CapabilitySet = std::set<Capability>;

struct ClientHello {
    std::uint16_t protocolVersion = 0;
    std::vector<std::uint16_t> supportedVersions;
    Uuid deviceID;
    Bytes nonce;
    CapabilitySet capabilities;

    bool operator==(const ClientHello&) const = default;
};

struct ServerHello {
    Uuid sessionID;
    std::uint16_t negotiatedProtocolVersion = 0;
    CapabilitySet acceptedCapabilities;
    DevicePermissions grantedPermissions;

    bool operator==(const ServerHello&) const = default;
};

// The host display being shared.
struct DisplayDescriptor {
    std::uint32_t identifier = 0;
    std::int64_t pixelWidth = 0;
    std::int64_t pixelHeight = 0;
    double scaleFactor = 1.0;

    bool operator==(const DisplayDescriptor&) const = default;
};

// A typed control message: JSON {"type": case name, "payload": {...}}, where
// the payload is the hello or descriptor itself, or the labelled values;
// requestKeyFrame has no payload.
struct ControlMessage {
    struct Input {
        std::uint64_t sequence = 0;
        InputEvent event;
        bool operator==(const Input&) const = default;
    };
    struct Ping {
        std::uint64_t sequence = 0;
        std::uint64_t sentAtNanoseconds = 0;
        bool operator==(const Ping&) const = default;
    };
    struct Disconnect {
        std::string reason;
        bool operator==(const Disconnect&) const = default;
    };
    struct RequestKeyFrame {
        bool operator==(const RequestKeyFrame&) const = default;
    };

    // Alternatives in case order: clientHello, input, displayChanged, ping,
    // disconnect, requestKeyFrame.
    using Value = std::variant<ClientHello, Input, DisplayDescriptor, Ping, Disconnect, RequestKeyFrame>;
    Value value;

    static constexpr std::array<std::string_view, 6> caseNames{
        "clientHello", "input", "displayChanged", "ping", "disconnect", "requestKeyFrame",
    };

    static ControlMessage clientHello(ClientHello hello) { return {std::move(hello)}; }
    static ControlMessage input(std::uint64_t sequence, InputEvent event) {
        return {Input{sequence, std::move(event)}};
    }
    static ControlMessage displayChanged(DisplayDescriptor display) { return {display}; }
    static ControlMessage ping(std::uint64_t sequence, std::uint64_t sentAtNanoseconds) {
        return {Ping{sequence, sentAtNanoseconds}};
    }
    static ControlMessage disconnect(std::string reason) { return {Disconnect{std::move(reason)}}; }
    static ControlMessage requestKeyFrame() { return {RequestKeyFrame{}}; }

    std::string_view caseName() const { return caseNames[value.index()]; }

    template <class Case>
    const Case* get() const {
        return std::get_if<Case>(&value);
    }

    bool operator==(const ControlMessage&) const = default;
};

// A host found by browsing. Never sent or stored.
struct DiscoveredHost {
    std::string id;
    std::string name;
    std::string endpointDescription;
    std::optional<Uuid> discoveryInstanceID;
    std::optional<std::uint16_t> protocolVersion;

    bool operator==(const DiscoveredHost&) const = default;
};

namespace json {

template <>
struct EnumNames<Capability> {
    static constexpr std::array<std::string_view, 6> names{"h264",     "hevc",      "pointer",
                                                           "keyboard", "localWake", "wakeRelay"};
};

template <>
struct JsonFields<ClientHello> {
    static constexpr auto fields = std::make_tuple(
        member("protocolVersion", &ClientHello::protocolVersion),
        member("supportedVersions", &ClientHello::supportedVersions),
        member("deviceID", &ClientHello::deviceID),
        member("nonce", &ClientHello::nonce),
        member("capabilities", &ClientHello::capabilities));
};

template <>
struct JsonFields<ServerHello> {
    static constexpr auto fields = std::make_tuple(
        member("sessionID", &ServerHello::sessionID),
        member("negotiatedProtocolVersion", &ServerHello::negotiatedProtocolVersion),
        member("acceptedCapabilities", &ServerHello::acceptedCapabilities),
        member("grantedPermissions", &ServerHello::grantedPermissions));
};

template <>
struct JsonFields<DisplayDescriptor> {
    static constexpr auto fields = std::make_tuple(
        member("identifier", &DisplayDescriptor::identifier),
        member("pixelWidth", &DisplayDescriptor::pixelWidth),
        member("pixelHeight", &DisplayDescriptor::pixelHeight),
        member("scaleFactor", &DisplayDescriptor::scaleFactor));
};

// An unknown type fails. For requestKeyFrame an absent, null or object
// payload is accepted and none is written.
template <>
struct Codec<ControlMessage> {
    static Json encode(const ControlMessage& value);
    static ControlMessage decode(const Json& j);
};

} // namespace json
} // namespace velorinth
