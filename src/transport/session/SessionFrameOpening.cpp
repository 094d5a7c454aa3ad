#include "transport/session/SessionFrameOpening.hpp"

#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"

namespace velorinth {

OpenedSessionFrame openSessionFrame(ByteView frame, SessionCipher& cipher, ByteView transcriptHash) {
    if (SessionWireFrameCodec::isWireFrame(frame)) {
        const SessionWireFrameCodec::Frame wire = SessionWireFrameCodec::decode(frame);
        Bytes plaintext = cipher.open(wire.sequence, wire.body, transcriptHash);
        if (wire.channel == SessionBinaryChannel::videoFragment) return SessionVideoFragment{std::move(plaintext)};
        return json::decodeFromBytes<SessionControlMessage>(plaintext);
    }
    const HandshakeEnvelope envelope = decodeHandshakeEnvelopeFrame(frame);
    const EncryptedSessionMessage sealed =
        HandshakeEnvelope::decodeEncryptedMessage(HandshakeMessageKind::encryptedSession, envelope);
    const Bytes plaintext = cipher.open(sealed.sequence, sealed.ciphertext, transcriptHash);
    return json::decodeFromBytes<SessionControlMessage>(plaintext);
}

} // namespace velorinth
