// Feeds peer-supplied bytes to everything the host reads from a tablet: the
// handshake envelopes and their payloads, and a session frame through the
// server's own path (wire frame or envelope, open, control message). The
// first byte picks how the rest arrives: as the frame itself, or as a
// plaintext the tablet sealed properly, so the decoder behind the cipher is
// reached too. Refusing with one of our errors is fine; anything else
// escaping, or a crash, is a bug.
#include "core/Error.hpp"
#include "core/Json.hpp"
#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/server/HostSessionServer.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"

#include <cstdlib>

using namespace velorinth;

namespace {

const Bytes kSessionKey(32, 0x5A);
const Bytes kTranscriptHash(32, 0xC3);

template <class Step>
void refusedOnlyWithOurErrors(Step&& step) {
    try {
        step();
    } catch (const Error&) {
    } catch (...) {
        std::abort();
    }
}

void decodeHandshake(ByteView bytes) {
    using Kind = HandshakeMessageKind;
    refusedOnlyWithOurErrors([&] {
        const HandshakeEnvelope envelope = decodeHandshakeEnvelopeFrame(bytes);
        refusedOnlyWithOurErrors([&] { HandshakeEnvelope::decodePayload<PairingRequest>(Kind::pairingRequest, envelope); });
        refusedOnlyWithOurErrors(
            [&] { HandshakeEnvelope::decodePayload<PairingConfirmation>(Kind::pairingConfirmation, envelope); });
        refusedOnlyWithOurErrors([&] {
            const EncryptedSessionMessage sealed =
                HandshakeEnvelope::decodeEncryptedMessage(Kind::encryptedClientReady, envelope);
            SessionCipher host(kSessionKey, SessionRole::responder);
            json::decodeFromBytes<ClientSessionReady>(host.open(sealed.sequence, sealed.ciphertext, kTranscriptHash));
        });
    });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const ByteView rest(data + 1, size - 1);
    SessionCipher tablet(kSessionKey, SessionRole::initiator);
    SessionCipher host(kSessionKey, SessionRole::responder);

    Bytes frame;
    switch (data[0] % 4) {
    case 0: frame.assign(rest.begin(), rest.end()); break;
    case 1: {
        const EncryptedSessionMessage sealed = tablet.seal(rest, kTranscriptHash);
        frame = SessionWireFrameCodec::encode(SessionBinaryChannel::control, sealed.sequence, sealed.ciphertext);
        break;
    }
    case 2: {
        const EncryptedSessionMessage sealed = tablet.seal(rest, kTranscriptHash);
        frame = json::encodeToBytes(HandshakeEnvelope::makeEncrypted(HandshakeMessageKind::encryptedSession, sealed));
        break;
    }
    default: decodeHandshake(rest); return 0;
    }
    refusedOnlyWithOurErrors([&] {
        const std::optional<SessionControlMessage> message =
            HostSessionServer::openSessionFrame(frame, host, kTranscriptHash);
        // What the host accepts must survive its own encoding.
        if (message && !(json::decodeFromBytes<SessionControlMessage>(json::encodeToBytes(*message)) == *message)) {
            std::abort();
        }
    });
    return 0;
}
