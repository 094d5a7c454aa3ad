#include "core/ControlProtocol.hpp"

#include <type_traits>

namespace velorinth::json {

Json Codec<ClientHello>::encode(const ClientHello& value) {
    Json out = Json::object();
    put(out, "protocolVersion", value.protocolVersion);
    put(out, "supportedVersions", value.supportedVersions);
    put(out, "deviceID", value.deviceID);
    put(out, "nonce", value.nonce);
    put(out, "capabilities", value.capabilities);
    return out;
}

ClientHello Codec<ClientHello>::decode(const Json& j) {
    expectObject(j, "ClientHello");
    ClientHello hello;
    hello.protocolVersion = field<std::uint16_t>(j, "protocolVersion");
    hello.supportedVersions = field<std::vector<std::uint16_t>>(j, "supportedVersions");
    hello.deviceID = field<Uuid>(j, "deviceID");
    hello.nonce = field<Bytes>(j, "nonce");
    hello.capabilities = field<CapabilitySet>(j, "capabilities");
    return hello;
}

Json Codec<ServerHello>::encode(const ServerHello& value) {
    Json out = Json::object();
    put(out, "sessionID", value.sessionID);
    put(out, "negotiatedProtocolVersion", value.negotiatedProtocolVersion);
    put(out, "acceptedCapabilities", value.acceptedCapabilities);
    put(out, "grantedPermissions", value.grantedPermissions);
    return out;
}

ServerHello Codec<ServerHello>::decode(const Json& j) {
    expectObject(j, "ServerHello");
    ServerHello hello;
    hello.sessionID = field<Uuid>(j, "sessionID");
    hello.negotiatedProtocolVersion = field<std::uint16_t>(j, "negotiatedProtocolVersion");
    hello.acceptedCapabilities = field<CapabilitySet>(j, "acceptedCapabilities");
    hello.grantedPermissions = field<DevicePermissions>(j, "grantedPermissions");
    return hello;
}

Json Codec<DisplayDescriptor>::encode(const DisplayDescriptor& value) {
    Json out = Json::object();
    put(out, "identifier", value.identifier);
    put(out, "pixelWidth", value.pixelWidth);
    put(out, "pixelHeight", value.pixelHeight);
    put(out, "scaleFactor", value.scaleFactor);
    return out;
}

DisplayDescriptor Codec<DisplayDescriptor>::decode(const Json& j) {
    expectObject(j, "DisplayDescriptor");
    DisplayDescriptor display;
    display.identifier = field<std::uint32_t>(j, "identifier");
    display.pixelWidth = field<std::int64_t>(j, "pixelWidth");
    display.pixelHeight = field<std::int64_t>(j, "pixelHeight");
    display.scaleFactor = field<double>(j, "scaleFactor");
    return display;
}

Json Codec<ControlMessage>::encode(const ControlMessage& value) {
    Json out = Json::object();
    out["type"] = std::string(value.caseName());
    std::visit(
        [&out](const auto& message) {
            using Case = std::decay_t<decltype(message)>;
            if constexpr (std::is_same_v<Case, ControlMessage::Input>) {
                Json payload = Json::object();
                put(payload, "sequence", message.sequence);
                put(payload, "event", message.event);
                out["payload"] = std::move(payload);
            } else if constexpr (std::is_same_v<Case, ControlMessage::Ping>) {
                Json payload = Json::object();
                put(payload, "sequence", message.sequence);
                put(payload, "sentAtNanoseconds", message.sentAtNanoseconds);
                out["payload"] = std::move(payload);
            } else if constexpr (std::is_same_v<Case, ControlMessage::Disconnect>) {
                Json payload = Json::object();
                put(payload, "reason", message.reason);
                out["payload"] = std::move(payload);
            } else if constexpr (!std::is_same_v<Case, ControlMessage::RequestKeyFrame>) {
                // clientHello and displayChanged: the record itself.
                out["payload"] = Codec<Case>::encode(message);
            }
        },
        value.value);
    return out;
}

ControlMessage Codec<ControlMessage>::decode(const Json& j) {
    expectObject(j, "ControlMessage");
    auto type = field<std::string>(j, "type");
    std::size_t index = 0;
    while (index < ControlMessage::caseNames.size() && ControlMessage::caseNames[index] != type) ++index;
    if (index == ControlMessage::caseNames.size()) {
        failCorrupted("Cannot initialize ControlMessage from an unknown type.");
    }
    auto it = j.find("payload");
    bool hasPayload = it != j.end() && !it->is_null();
    if (index == 5) {
        // Nothing to read, but a payload that is there must still be an object.
        if (hasPayload) expectObject(*it, "a dictionary");
        return ControlMessage::requestKeyFrame();
    }
    if (!hasPayload) failKeyNotFound("payload");
    const Json& payload = expectObject(*it, "a dictionary");
    switch (index) {
    case 0: return ControlMessage::clientHello(Codec<ClientHello>::decode(payload));
    case 1: {
        auto sequence = field<std::uint64_t>(payload, "sequence");
        return ControlMessage::input(sequence, field<InputEvent>(payload, "event"));
    }
    case 2: return ControlMessage::displayChanged(Codec<DisplayDescriptor>::decode(payload));
    case 3: {
        auto sequence = field<std::uint64_t>(payload, "sequence");
        return ControlMessage::ping(sequence, field<std::uint64_t>(payload, "sentAtNanoseconds"));
    }
    default: return ControlMessage::disconnect(field<std::string>(payload, "reason"));
    }
}

} // namespace velorinth::json
