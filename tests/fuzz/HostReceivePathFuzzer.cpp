// Feeds peer-supplied bytes to everything the host reads from a tablet: the
// handshake envelopes and their payloads, and a session frame through the
// session's own path (wire frame or envelope, open, control message). The
// input's last byte picks how the rest arrives: as the frame itself, sealed by
// the tablet, or as the payload of a well-formed envelope (clear or sealed),
// so the decoders behind the cipher and the envelope's Base64 are reached.
// Refusing with one of our errors is fine; anything else escaping, a crash or
// an accepted message that does not survive its own encoding is a bug.
#include "FuzzSupport.hpp"
#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/session/SessionFrameOpening.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"

using namespace velorinth;
using namespace velorinth::fuzz;

namespace {

using Kind = HandshakeMessageKind;

void openAsHost(const Bytes& frame, SessionCipher& host) {
    OpenedSessionFrame opened;
    if (accepts([&] { opened = openSessionFrame(frame, host, kTranscriptHash); })) {
        if (const auto* message = std::get_if<SessionControlMessage>(&opened)) requireRoundTrip(*message);
    }
}

// The handshake messages the host reads, each as the handshake reads it.
void readHandshake(const HandshakeEnvelope& envelope) {
    requireRoundTripIfDecoded(
        [&] { return HandshakeEnvelope::decodePayload<PairingRequest>(Kind::pairingRequest, envelope); });
    requireRoundTripIfDecoded(
        [&] { return HandshakeEnvelope::decodePayload<PairingConfirmation>(Kind::pairingConfirmation, envelope); });
    requireRoundTripIfDecoded([&] {
        const auto sealed = HandshakeEnvelope::decodeEncryptedMessage(Kind::encryptedClientReady, envelope);
        SessionCipher host(kSessionKey, SessionRole::responder);
        return json::decodeFromBytes<ClientSessionReady>(
            host.open(sealed.sequence, sealed.ciphertext, kTranscriptHash));
    });
}

// The envelope as it crosses the connection: its JSON, read back.
void sendAndRead(const HandshakeEnvelope& envelope) {
    const HandshakeEnvelope received = decodeHandshakeEnvelopeFrame(json::encodeToBytes(envelope));
    require(received == envelope);
    readHandshake(received);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const int route = input.ConsumeIntegralInRange(0, 5);
    const auto kind = static_cast<Kind>(input.ConsumeIntegralInRange(0, 7));
    const Bytes rest = input.ConsumeRemainingBytes<std::uint8_t>();
    SessionCipher tablet(kSessionKey, SessionRole::initiator);
    SessionCipher host(kSessionKey, SessionRole::responder);

    switch (route) {
    case 0: openAsHost(rest, host); break;
    case 1: {
        const EncryptedSessionMessage sealed = tablet.seal(rest, kTranscriptHash);
        openAsHost(SessionWireFrameCodec::encode(SessionBinaryChannel::control, sealed.sequence, sealed.ciphertext),
                   host);
        break;
    }
    case 2:
        openAsHost(json::encodeToBytes(HandshakeEnvelope::makeEncrypted(Kind::encryptedSession,
                                                                        tablet.seal(rest, kTranscriptHash))),
                   host);
        break;
    case 3: sendAndRead(HandshakeEnvelope{kind, rest}); break;
    case 4: sendAndRead(HandshakeEnvelope::makeEncrypted(kind, tablet.seal(rest, kTranscriptHash))); break;
    default: {
        HandshakeEnvelope envelope;
        if (accepts([&] { envelope = decodeHandshakeEnvelopeFrame(rest); })) {
            requireRoundTrip(envelope);
            readHandshake(envelope);
        }
    }
    }
    return 0;
}
