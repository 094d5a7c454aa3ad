#pragma once

// One end of an open session driven by hand, as either side: frames sealed
// with this end's cipher under the transcript, and what the other side sent.

#include "core/Json.hpp"
#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/security/NetworkFramedConnection.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/security/SessionControlMessage.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"

#include <asio/awaitable.hpp>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

// Designated initializers leave the fields they do not name at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace velorinth::testing {

struct SessionEnd {
    using Msg = SessionControlMessage;

    struct Sealed {
        SessionBinaryChannel channel = SessionBinaryChannel::control;
        std::uint64_t sequence = 0;
        Bytes plaintext;
    };

    std::shared_ptr<NetworkFramedConnection> connection;
    std::shared_ptr<SessionCipher> cipher;
    Bytes transcriptHash;
    std::vector<Msg> received; // every control message read so far
    std::uint64_t lastReceivedSequence = 0;
    std::uint64_t nextPing = 1000;

    // The wire frame of `plaintext` sealed under the next sequence.
    Bytes sealFrame(SessionBinaryChannel channel, ByteView plaintext) {
        EncryptedSessionMessage sealed = cipher->seal(plaintext, transcriptHash);
        return SessionWireFrameCodec::encode(channel, sealed.sequence, sealed.ciphertext);
    }
    asio::awaitable<void> sendFrame(Bytes frame) { co_await connection->sendRawFrame(std::move(frame)); }
    asio::awaitable<void> send(const Msg& message, SessionBinaryChannel channel = SessionBinaryChannel::control) {
        co_await sendFrame(sealFrame(channel, json::encodeToBytes(message)));
    }
    asio::awaitable<void> sendFragment(ByteView packet) {
        co_await sendFrame(sealFrame(SessionBinaryChannel::videoFragment, packet));
    }
    asio::awaitable<void> sendEnvelope(const Msg& message) { // the envelope form
        EncryptedSessionMessage sealed = cipher->seal(json::encodeToBytes(message), transcriptHash);
        co_await sendHandshakeEnvelope(
            *connection, HandshakeEnvelope::makeEncrypted(HandshakeMessageKind::encryptedSession, sealed));
    }

    asio::awaitable<Sealed> receiveSealed() {
        const Bytes frame = co_await connection->receiveFrame();
        const SessionWireFrameCodec::Frame wire = SessionWireFrameCodec::decode(frame);
        lastReceivedSequence = wire.sequence;
        co_return Sealed{wire.channel, wire.sequence, cipher->open(wire.sequence, wire.body, transcriptHash)};
    }
    // The next control message; video fragments on the way are skipped.
    asio::awaitable<Msg> receiveControl() {
        for (;;) {
            const Sealed sealed = co_await receiveSealed();
            if (sealed.channel != SessionBinaryChannel::control) continue;
            received.push_back(json::decodeFromBytes<Msg>(sealed.plaintext));
            co_return received.back();
        }
    }
    // The next frame, which must be a control message.
    asio::awaitable<Msg> receive() {
        const Sealed sealed = co_await receiveSealed();
        EXPECT_EQ(sealed.channel, SessionBinaryChannel::control);
        received.push_back(json::decodeFromBytes<Msg>(sealed.plaintext));
        co_return received.back();
    }
    // A barrier: the other end handles frames in order, so once this ping's
    // pong is back, everything sent before it has been applied.
    asio::awaitable<void> roundTrip() {
        const std::uint64_t sequence = ++nextPing;
        co_await send(Msg{.command = SessionControlCommand::ping, .sequence = sequence});
        for (;;) {
            Msg reply = co_await receive();
            if (reply.command == SessionControlCommand::pong && reply.sequence == sequence) break;
        }
        received.pop_back();
    }
    std::vector<Msg> receivedOf(SessionControlCommand command) const {
        std::vector<Msg> matching;
        for (const auto& message : received) {
            if (message.command == command) matching.push_back(message);
        }
        return matching;
    }
};

} // namespace velorinth::testing
