#pragma once

// A scripted host for the tablet-side tests: a TLS connection on 127.0.0.1,
// the responder's session cipher, and helpers that send what a host sends
// and read what the tablet sends, built from the security layer's own parts.

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

namespace velorinth::clienttest {

using namespace velorinth::testing;

// The host's end of one session: it seals with the responder's cipher and
// reads everything the tablet sends, in order.
struct HostEnd {
    std::shared_ptr<NetworkFramedConnection> connection;
    std::shared_ptr<SessionCipher> cipher;
    Bytes transcriptHash;
    std::vector<SessionControlMessage> received; // everything read so far
    std::uint64_t nextPing = 1000;

    Bytes seal(SessionBinaryChannel channel, ByteView plaintext) {
        EncryptedSessionMessage sealed = cipher->seal(plaintext, transcriptHash);
        return SessionWireFrameCodec::encode(channel, sealed.sequence, sealed.ciphertext);
    }

    asio::awaitable<void> send(const SessionControlMessage& message) {
        co_await connection->sendRawFrame(seal(SessionBinaryChannel::control, json::encodeToBytes(message)));
    }

    // The same message in the envelope form.
    asio::awaitable<void> sendEnvelope(const SessionControlMessage& message) {
        EncryptedSessionMessage sealed = cipher->seal(json::encodeToBytes(message), transcriptHash);
        co_await sendHandshakeEnvelope(
            *connection, HandshakeEnvelope::makeEncrypted(HandshakeMessageKind::encryptedSession, sealed));
    }

    asio::awaitable<void> sendFragment(ByteView packet) {
        co_await connection->sendRawFrame(seal(SessionBinaryChannel::videoFragment, packet));
    }

    asio::awaitable<SessionControlMessage> receive() {
        Bytes frame = co_await connection->receiveFrame();
        SessionWireFrameCodec::Frame wire = SessionWireFrameCodec::decode(frame);
        EXPECT_EQ(wire.channel, SessionBinaryChannel::control);
        SessionControlMessage message =
            json::decodeFromBytes<SessionControlMessage>(cipher->open(wire.sequence, wire.body, transcriptHash));
        received.push_back(message);
        co_return message;
    }

    // A barrier: the tablet handles frames in order, so once the pong to this
    // ping is back, everything sent before it has been applied.
    asio::awaitable<void> roundTrip() {
        SessionControlMessage ping;
        ping.command = SessionControlCommand::ping;
        ping.sequence = ++nextPing;
        co_await send(ping);
        for (;;) {
            SessionControlMessage reply = co_await receive();
            if (reply.command == SessionControlCommand::pong && reply.sequence == ping.sequence) {
                received.pop_back();
                co_return;
            }
        }
    }

    std::vector<SessionControlMessage> receivedOf(SessionControlCommand command) const {
        std::vector<SessionControlMessage> matching;
        for (const auto& message : received) {
            if (message.command == command) matching.push_back(message);
        }
        return matching;
    }
};

// A started TLS connection pair on loopback: the tablet's (client) and the host's.
struct ConnectionPair {
    std::shared_ptr<NetworkFramedConnection> tablet;
    std::shared_ptr<NetworkFramedConnection> host;
};

inline asio::awaitable<ConnectionPair> connectPair(LoopbackHarness& h, const TLSDeviceIdentity& tabletIdentity,
                                                   asio::ssl::context& hostTLS) {
    ConnectionPair pair;
    pair.tablet = NetworkFramedConnection::connect(h.io.get_executor(), h.endpoint(), tabletIdentity, std::nullopt,
                                                   kTestFrameLimit, kProtocol);
    auto hostSide = [&]() -> asio::awaitable<void> {
        pair.host = std::make_shared<NetworkFramedConnection>(co_await h.accept(), hostTLS, kTestFrameLimit, true);
        co_await pair.host->start();
    };
    auto [hostFailure, tabletFailure] = co_await (outcome(hostSide()) && outcome(pair.tablet->start()));
    if (hostFailure) std::rethrow_exception(hostFailure);
    if (tabletFailure) std::rethrow_exception(tabletFailure);
    co_return pair;
}

// Waits (on the loop) until `condition` holds; a guard against hangs only.
inline asio::awaitable<void> eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 5000 && !condition(); ++i) co_await sleepFor(1ms);
    if (!condition()) throw std::runtime_error("the condition never held");
}

inline SessionControlMessage hostMessage(SessionControlCommand command) {
    SessionControlMessage message;
    message.command = command;
    message.timestamp = Date(800'000'000);
    return message;
}

// Clocks whose readings the test sets.
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
