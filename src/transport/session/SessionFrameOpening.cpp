#include "transport/session/SessionFrameOpening.hpp"

#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"

namespace velorinth {

namespace {

// A JSON library failure below the codec is a decoding failure all the same.
SessionControlMessage decodeControlMessage(ByteView plaintext) {
    try {
        return json::decodeFromBytes<SessionControlMessage>(plaintext);
    } catch (const Json::exception&) {
        throw JSONDecodingError(JSONDecodingError::Case::dataCorrupted, "The control message is not valid.");
    }
}

} // namespace

std::optional<SessionControlMessage> openSessionFrame(ByteView frame, SessionCipher& cipher, ByteView transcriptHash) {
    if (SessionWireFrameCodec::isWireFrame(frame)) {
        const SessionWireFrameCodec::Frame wire = SessionWireFrameCodec::decode(frame);
        const Bytes plaintext = cipher.open(wire.sequence, wire.body, transcriptHash);
        if (wire.channel == SessionBinaryChannel::videoFragment) return std::nullopt;
        return decodeControlMessage(plaintext);
    }
    const HandshakeEnvelope envelope = decodeHandshakeEnvelopeFrame(frame);
    const EncryptedSessionMessage sealed =
        HandshakeEnvelope::decodeEncryptedMessage(HandshakeMessageKind::encryptedSession, envelope);
    const Bytes plaintext = cipher.open(sealed.sequence, sealed.ciphertext, transcriptHash);
    return decodeControlMessage(plaintext);
}

} // namespace velorinth
