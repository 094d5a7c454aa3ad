#include "core/ControlProtocol.hpp"

#include <type_traits>

namespace velorinth::json {

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
