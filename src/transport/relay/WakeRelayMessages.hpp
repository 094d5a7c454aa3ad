#pragma once

// What travels between a tablet and a wake relay: the action a request asks
// for, the relay's answer statuses, and the two signed messages.

#include "core/Bytes.hpp"
#include "core/IdentityModels.hpp"
#include "core/Json.hpp"
#include "core/Uuid.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace velorinth {

// What a request asks the relay to do: redeem a pairing ticket, or wake the
// request's target Mac.
struct WakeRelayAction {
    struct PairClient {
        Uuid ticketID;
        std::string secretHex; // 64 hexadecimal characters
        bool operator==(const PairClient&) const = default;
    };
    struct SendWakeSignal {
        bool operator==(const SendWakeSignal&) const = default;
    };

    static constexpr std::array<std::string_view, 2> caseNames{"pairClient", "sendWakeSignal"};

    std::variant<PairClient, SendWakeSignal> value = SendWakeSignal{};

    static WakeRelayAction pairClient(Uuid ticketID, std::string secretHex) {
        return {PairClient{ticketID, std::move(secretHex)}};
    }
    static WakeRelayAction sendWakeSignal() { return {SendWakeSignal{}}; }

    // The pairing ticket's fields, or none for a wake.
    const PairClient* pairing() const noexcept { return std::get_if<PairClient>(&value); }

    bool operator==(const WakeRelayAction&) const = default;
};

// The relay's answer codes; their names are the wire form.
enum class WakeRelayResponseStatus {
    paired,
    wakePacketSent,
    packetTransmissionFailed,
    targetNotConfigured,
    permissionDenied,
    rateLimited,
    replayRejected,
    malformedRequest,
    authenticationFailed,
};

// One signed request of a tablet; the signature covers the request digest
// (WakeRelayCrypto), not this JSON form.
struct WakeRelayRequest {
    Uuid requestID;
    std::uint16_t protocolVersion = 1;
    WakeRelayAction action;
    DevicePublicIdentity clientIdentity;
    Uuid targetMacDeviceID;
    std::int64_t timestampEpochSeconds = 0;
    Bytes nonce;     // 32 random bytes
    Bytes signature; // DER ECDSA P-256

    bool operator==(const WakeRelayRequest&) const = default;
};

// The relay's signed answer to one request.
struct WakeRelayResponse {
    Uuid requestID;
    DevicePublicIdentity relayIdentity;
    WakeRelayResponseStatus status = WakeRelayResponseStatus::malformedRequest;
    std::int64_t datagramsSent = 0;
    std::string message;
    std::int64_t respondedAtEpochSeconds = 0;
    Bytes signature;

    bool operator==(const WakeRelayResponse&) const = default;
};

namespace json {

template <>
struct JsonFields<WakeRelayAction::PairClient> {
    static constexpr auto fields = std::make_tuple(member("ticketID", &WakeRelayAction::PairClient::ticketID),
                                                   member("secretHex", &WakeRelayAction::PairClient::secretHex));
};

template <>
struct JsonFields<WakeRelayAction::SendWakeSignal> {
    static constexpr auto fields = std::make_tuple();
};

// {"pairClient":{"ticketID":…,"secretHex":…}} or {"sendWakeSignal":{}}; the
// bare name "sendWakeSignal" reads too.
template <>
struct Codec<WakeRelayAction> {
    static Json encode(const WakeRelayAction& value) {
        return encodeVariantCase(WakeRelayAction::caseNames, value.value);
    }
    static WakeRelayAction decode(const Json& j) {
        return {decodeVariantCase<decltype(WakeRelayAction::value)>(j, WakeRelayAction::caseNames)};
    }
};

template <>
struct EnumNames<WakeRelayResponseStatus> {
    static constexpr std::array<std::string_view, 9> names{
        "paired",      "wakePacketSent", "packetTransmissionFailed", "targetNotConfigured", "permissionDenied",
        "rateLimited", "replayRejected", "malformedRequest",         "authenticationFailed"};
};

template <>
struct JsonFields<WakeRelayRequest> {
    static constexpr auto fields = std::make_tuple(
        member("requestID", &WakeRelayRequest::requestID),
        member("protocolVersion", &WakeRelayRequest::protocolVersion),
        member("action", &WakeRelayRequest::action),
        member("clientIdentity", &WakeRelayRequest::clientIdentity),
        member("targetMacDeviceID", &WakeRelayRequest::targetMacDeviceID),
        member("timestampEpochSeconds", &WakeRelayRequest::timestampEpochSeconds),
        member("nonce", &WakeRelayRequest::nonce),
        member("signature", &WakeRelayRequest::signature));
};

template <>
struct JsonFields<WakeRelayResponse> {
    static constexpr auto fields = std::make_tuple(
        member("requestID", &WakeRelayResponse::requestID),
        member("relayIdentity", &WakeRelayResponse::relayIdentity),
        member("status", &WakeRelayResponse::status),
        member("datagramsSent", &WakeRelayResponse::datagramsSent),
        member("message", &WakeRelayResponse::message),
        member("respondedAtEpochSeconds", &WakeRelayResponse::respondedAtEpochSeconds),
        member("signature", &WakeRelayResponse::signature));
};

} // namespace json

// The status named exactly `rawValue` (letter case included), or none.
inline std::optional<WakeRelayResponseStatus> wakeRelayResponseStatus(std::string_view rawValue) {
    return json::caseFromName<WakeRelayResponseStatus>(rawValue);
}
inline std::string_view rawValue(WakeRelayResponseStatus status) { return json::caseName(status); }

} // namespace velorinth
