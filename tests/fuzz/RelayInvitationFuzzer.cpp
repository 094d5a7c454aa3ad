// Reads pairing invitations of a wake relay: the whole input as the text, and
// a sound invitation's seven pieces each kept or replaced by input text.
// Refusals are WakeRelayClientError invalidInvitationFormat and the endpoint
// validator's errors. What parses with an expiry within 2^53 seconds (exact as
// a double) is written again and reads back as the same fields; its secret is
// 64 lower-case hexadecimal digits that its description never shows; allowing
// loopback never refuses more.
#include "FuzzSupport.hpp"
#include "FuzzTally.hpp"
#include "core/RemoteEndpointValidator.hpp"
#include "transport/relay/WakeRelayClientError.hpp"
#include "transport/relay/WakeRelayPairingInvitation.hpp"

#include <array>
#include <cmath>

using namespace velorinth;
using namespace velorinth::fuzz;

namespace {

const Tally outcomes("invitations", {"parsed", "invalidInvitationFormat", "endpoint refused", "written again"});

const std::array<std::string, 7> kSoundPieces{
    "vlrelay1",
    "192.168.1.20:51892",
    "00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF",
    "0f0e0d0c-0b0a-0908-0706-050403020100",
    "00010203-0405-0607-0809-0a0b0c0d0e0f",
    std::string(64, 'c'),
    "1900000000",
};

std::optional<WakeRelayPairingInvitation> parsed(const std::string& text, bool allowLoopback) {
    try {
        return WakeRelayPairingInvitation::fromEncodedString(text, allowLoopback);
    } catch (const WakeRelayClientError& refusal) {
        require(refusal.kind() == WakeRelayClientError::Case::invalidInvitationFormat);
        outcomes.count("invalidInvitationFormat");
    } catch (const RemoteEndpointValidationError&) {
        outcomes.count("endpoint refused");
    }
    return std::nullopt;
}

bool sameFields(const WakeRelayPairingInvitation& a, const WakeRelayPairingInvitation& b) {
    return a.endpoint.host == b.endpoint.host && a.endpoint.port == b.endpoint.port &&
           a.endpoint.hostKind == b.endpoint.hostKind && a.endpoint.transport == b.endpoint.transport &&
           a.relayFingerprint == b.relayFingerprint && a.targetMacDeviceID == b.targetMacDeviceID &&
           a.ticketID == b.ticketID && a.secretHex == b.secretHex && a.expiresAt == b.expiresAt;
}

void check(const std::string& text, bool allowLoopback) {
    const std::optional<WakeRelayPairingInvitation> invitation = parsed(text, allowLoopback);
    if (!invitation) return;
    outcomes.count("parsed");
    if (!allowLoopback) require(parsed(text, true).has_value());
    require(invitation->secretHex.size() == 64);
    for (const char c : invitation->secretHex) require((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    require(invitation->description().find(invitation->secretHex) == std::string::npos);

    const double expiry = invitation->expiresAt.timeIntervalSince1970();
    std::string written;
    const bool writable = accepts<WakeRelayClientError>([&] { written = invitation->encodedString(); });
    if (std::fabs(expiry) >= 9007199254740992.0) return; // 2^53: the text's integer may not survive the double
    require(writable);
    outcomes.count("written again");
    const std::optional<WakeRelayPairingInvitation> again = parsed(written, allowLoopback);
    require(again && sameFields(*again, *invitation));
    require(again->encodedString() == written);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const bool allowLoopback = input.ConsumeBool();
    std::string assembled;
    for (std::size_t piece = 0; piece < kSoundPieces.size(); ++piece) {
        if (piece > 0) assembled += '|';
        assembled += input.ConsumeBool() ? input.ConsumeRandomLengthString(80) : kSoundPieces[piece];
    }
    check(assembled, allowLoopback);
    check(std::string(reinterpret_cast<const char*>(data), size), allowLoopback);
    return 0;
}
