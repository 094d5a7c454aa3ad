#pragma once

// A scripted host for the tablet-side tests: TLS on 127.0.0.1, the responder's
// session cipher, and helpers to send what a host sends and read the tablet.

#include "transport/security/LoopbackHarness.hpp"

#include "core/Json.hpp"
#include "platform/InMemorySecureStore.hpp"
#include "platform/crypto/SecureRandom.hpp"
#include "support/TLSTestIdentities.hpp"
#include "transport/client/AuthenticatedClientSession.hpp"
#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// Designated initializers leave the fields they do not name at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace velorinth::clienttest {

using namespace velorinth::testing;
using Command = SessionControlCommand;
using Msg = SessionControlMessage;

struct HostEnd {
    std::shared_ptr<NetworkFramedConnection> connection;
    std::shared_ptr<SessionCipher> cipher;
    Bytes transcriptHash;
    std::vector<Msg> received; // everything read so far
    std::uint64_t nextPing = 1000;

    Bytes seal(SessionBinaryChannel channel, ByteView plaintext) {
        EncryptedSessionMessage sealed = cipher->seal(plaintext, transcriptHash);
        return SessionWireFrameCodec::encode(channel, sealed.sequence, sealed.ciphertext);
    }
    asio::awaitable<void> send(const Msg& message) {
        co_await connection->sendRawFrame(seal(SessionBinaryChannel::control, json::encodeToBytes(message)));
    }
    asio::awaitable<void> sendEnvelope(const Msg& message) { // the envelope form
        EncryptedSessionMessage sealed = cipher->seal(json::encodeToBytes(message), transcriptHash);
        co_await sendHandshakeEnvelope(
            *connection, HandshakeEnvelope::makeEncrypted(HandshakeMessageKind::encryptedSession, sealed));
    }
    asio::awaitable<void> sendFragment(ByteView packet) {
        co_await connection->sendRawFrame(seal(SessionBinaryChannel::videoFragment, packet));
    }
    asio::awaitable<Msg> receive() {
        const Bytes frame = co_await connection->receiveFrame();
        const SessionWireFrameCodec::Frame wire = SessionWireFrameCodec::decode(frame);
        EXPECT_EQ(wire.channel, SessionBinaryChannel::control);
        received.push_back(json::decodeFromBytes<Msg>(cipher->open(wire.sequence, wire.body, transcriptHash)));
        co_return received.back();
    }
    // A barrier: the tablet handles frames in order, so once this ping's pong
    // is back, everything sent before it has been applied.
    asio::awaitable<void> roundTrip() {
        const std::uint64_t sequence = ++nextPing;
        co_await send(Msg{.command = Command::ping, .sequence = sequence});
        for (;;) {
            Msg reply = co_await receive();
            if (reply.command == Command::pong && reply.sequence == sequence) break;
        }
        received.pop_back();
    }
    std::vector<Msg> receivedOf(Command command) const {
        std::vector<Msg> matching;
        for (const auto& message : received) {
            if (message.command == command) matching.push_back(message);
        }
        return matching;
    }
};

// Waits (on the loop) until `condition` holds; a guard against hangs only.
inline asio::awaitable<void> eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 5000 && !condition(); ++i) co_await sleepFor(1ms);
    if (!condition()) throw std::runtime_error("the condition never held");
}

struct ManualClocks {
    Date wall = Date(700'000'000);
    std::uint64_t uptimeNs = 5'000'000'000;
    std::chrono::steady_clock::time_point continuous = std::chrono::steady_clock::time_point(std::chrono::hours(1));

    AuthenticatedClientSession::Clocks clocks() {
        return {[this] { return wall; }, [this] { return uptimeNs; }, [this] { return continuous; }};
    }
};

// What a session told its owner.
struct SessionEvents {
    std::vector<ActiveSessionDescriptor> descriptors;
    std::vector<SessionTerminationReason> terminations;
    std::vector<EncodedVideoFrame> frames;
    std::vector<VideoStreamStatusUpdate> statuses;

    AuthenticatedClientSession::Handlers handlers() {
        return {
            [this](const ActiveSessionDescriptor& d) { descriptors.push_back(d); },
            [this](const SessionTerminationReason& r) { terminations.push_back(r); },
            [this](const EncodedVideoFrame& f) { frames.push_back(f); },
            [this](const VideoStreamStatusUpdate& s) { statuses.push_back(s); },
        };
    }
};

} // namespace velorinth::clienttest
