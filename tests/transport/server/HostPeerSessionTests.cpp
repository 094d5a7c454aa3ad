#include "support/HostRig.hpp"
#include "core/Constants.hpp"
#include "platform/SessionSocket.hpp"

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/redirect_error.hpp>

#include <cerrno>
#include <cstring>

namespace velorinth::testing {
namespace {

using Command = SessionControlCommand;

SessionControlMessage input(std::uint64_t inputSequence) { return ScriptedTabletPeer::input(inputSequence); }

SessionControlMessage configure(std::optional<std::uint64_t> generation = std::nullopt,
                                std::optional<VideoStreamConfiguration> configuration = std::nullopt) {
    SessionControlMessage message = ScriptedTabletPeer::message(Command::configureVideoStream);
    message.streamGeneration = generation;
    message.videoConfiguration = configuration;
    return message;
}

TEST(LoopbackReceiveLoop, PingIsEchoedAndInputIsInjectedOnceInOrderWithRemoteControlAndAccessibility) {
    HostRig h;
    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    for (std::uint64_t sequence : {5, 5, 0, 3, 6}) h.run(tablet->send(input(sequence)));
    // Tablet video is opened (taking its sequence) and dropped.
    h.run(tablet->sendFrame(tablet->sealFrame(SessionBinaryChannel::videoFragment, Bytes{1, 2, 3})));
    SessionControlMessage ping = ScriptedTabletPeer::message(Command::ping, 42);
    ping.sentMonotonicNs = 1000;
    h.run(tablet->send(ping));
    const SessionControlMessage pong = h.run(tablet->receiveControl()); // nothing was answered before it
    EXPECT_EQ(pong.command, Command::pong);
    EXPECT_EQ(pong.sequence, 42u);
    EXPECT_EQ(pong.sentMonotonicNs, 1000u);
    EXPECT_EQ(h.sessions()[0].heartbeatCount, 1u);
    EXPECT_TRUE(h.sessions()[0].lastHeartbeatAt.has_value());
    EXPECT_EQ(h.inputs.size(), 2u);
    EXPECT_EQ(h.sessions()[0].receivedInputEvents, 2u);

    // Without remote control the tablet is told its rights.
    auto viewer = h.peer("Viewer");
    h.openTrustedSession(*viewer, DevicePermissions(0x03));
    h.run(viewer->send(input(1)));
    const SessionControlMessage rights = h.run(viewer->receiveControl());
    EXPECT_EQ(rights.command, Command::permissionsUpdated);
    EXPECT_EQ(rights.permissions, DevicePermissions(0x03));
    EXPECT_EQ(h.inputs.size(), 2u);

    // The injector reports missing Accessibility: the host and the tablet learn it.
    h.injectionSucceeds = false;
    h.run(tablet->send(input(7)));
    const SessionControlMessage state = h.run(tablet->receiveControl());
    EXPECT_EQ(state.command, Command::hostStateUpdated);
    EXPECT_EQ(state.accessibilityGranted, false);
    EXPECT_FALSE(h.server->currentAccessibilityGranted());
    for (const auto& session : h.sessions()) {
        EXPECT_EQ(session.hostAccessibilityGranted, session.peerIdentity.id != tablet->identity().id);
    }
    h.run(tablet->send(input(8)));
    EXPECT_EQ(h.run(tablet->receiveControl()).accessibilityGranted, false);
    EXPECT_EQ(h.inputs.size(), 3u); // not offered again
}

TEST(LoopbackReceiveLoop, ConfigureKeyframeAndStopFollowTheRequest) {
    HostRig h;
    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    h.run(tablet->send(configure()));
    SessionControlMessage status = h.run(tablet->receiveControl());
    ASSERT_EQ(h.streamRequests.size(), 1u);
    const VideoStreamConfiguration& standard = h.streamRequests[0].first;
    EXPECT_EQ(std::tie(standard.maxWidth, standard.maxHeight, standard.framesPerSecond),
              std::make_tuple(1280, 720, 30));
    EXPECT_EQ(h.streamRequests[0].second, 1u);
    EXPECT_EQ(status.command, Command::videoStreamStatus);
    EXPECT_EQ(status.streamActive, true);
    EXPECT_EQ(status.streamGeneration, 1u);
    EXPECT_EQ(status.videoConfiguration, standard);
    EXPECT_EQ(h.keyframeRequests, std::vector<std::uint64_t>{1});
    EXPECT_TRUE(h.sessions()[0].isVideoStreaming);

    // Out-of-range settings reach the host clamped.
    VideoStreamConfiguration wild;
    wild.maxWidth = 100'000;
    wild.framesPerSecond = 0;
    wild.maxFragmentPayloadBytes = 1;
    h.run(tablet->send(configure(4, wild)));
    h.run(tablet->receiveControl());
    const VideoStreamConfiguration& clamped = h.streamRequests[1].first;
    EXPECT_EQ(std::tie(clamped.maxWidth, clamped.framesPerSecond, clamped.maxFragmentPayloadBytes),
              std::make_tuple(3840, 5, 4096));
    EXPECT_EQ(h.sessions()[0].videoGeneration, 4u);

    h.run(tablet->send(ScriptedTabletPeer::message(Command::requestVideoKeyframe)));
    for (int round = 0; round < 2; ++round) {
        h.run(tablet->send(ScriptedTabletPeer::message(Command::stopVideoStream)));
        status = h.run(tablet->receiveControl());
        EXPECT_EQ(status.streamStopReason, VideoStreamStopReason::clientRequested);
        EXPECT_EQ(status.streamActive, false);
    }
    EXPECT_EQ(h.keyframeRequests, (std::vector<std::uint64_t>{1, 4, 4}));
    EXPECT_EQ(h.streamsStopped.size(), 1u); // the second stop found nothing streaming
}

TEST(LoopbackReceiveLoop, RefusedStreamsCarryExactTexts) {
    HostRig h;
    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    const std::pair<VideoStreamStopReason, std::string> failures[] = {
        {VideoStreamStopReason::screenRecordingPermissionRequired, "Screen Recording permission required"},
        {VideoStreamStopReason::hostStopped, "Stream unavailable"},
    };
    for (const auto& [reason, text] : failures) {
        h.streamAnswers.push_back(reason);
        h.run(tablet->send(configure(2)));
        const SessionControlMessage status = h.run(tablet->receiveControl());
        EXPECT_EQ(status.streamActive, false);
        EXPECT_EQ(status.streamStopReason, reason);
        EXPECT_EQ(status.reason, text);
        EXPECT_EQ(status.streamGeneration, 2u);
    }
    EXPECT_TRUE(h.keyframeRequests.empty());

    // No view permission: refused before the host hears of it, then the rights.
    auto noView = h.peer("No view");
    h.openTrustedSession(*noView, DevicePermissions(0x05));
    h.run(noView->send(configure()));
    const SessionControlMessage refused = h.run(noView->receiveControl());
    EXPECT_EQ(refused.streamStopReason, VideoStreamStopReason::screenViewPermissionRevoked);
    EXPECT_EQ(refused.reason, "Screen viewing permission is disabled for this iPad on the Mac.");
    EXPECT_EQ(h.run(noView->receiveControl()).command, Command::permissionsUpdated);

    auto noCodec = h.peer("No codec");
    noCodec->capabilities = {Capability::pointer};
    h.openTrustedSession(*noCodec);
    h.run(noCodec->send(configure()));
    const SessionControlMessage unsupported = h.run(noCodec->receiveControl());
    EXPECT_EQ(unsupported.streamStopReason, VideoStreamStopReason::unsupportedConfiguration);
    EXPECT_EQ(unsupported.reason, "H.264 capability was not negotiated for this session.");
    EXPECT_EQ(h.streamRequests.size(), 2u);
    EXPECT_TRUE(h.streamsStopped.empty());
}

// The host may start capture after the session is gone; it is told to stop.
TEST(LoopbackReceiveLoop, StreamGrantedAfterTheSessionWentIsStoppedAgain) {
    HostRig h;
    auto release = std::make_shared<asio::steady_timer>(h.io, asio::steady_timer::time_point::max());
    HostSessionServer::Callbacks callbacks = h.recordingCallbacks();
    callbacks.onVideoStreamRequested = [&h, release](Uuid, Uuid, VideoStreamConfiguration c,
                                                     std::uint64_t g) -> asio::awaitable<void> {
        h.streamRequests.emplace_back(c, g);
        asio::error_code ignored;
        co_await release->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    };
    h.call([&] { h.server->setCallbacks(callbacks); });
    auto tablet = h.peer();
    const ServerHello hello = h.openTrustedSession(*tablet);
    h.run(tablet->send(configure()));
    h.until([&] { return !h.streamRequests.empty(); });
    h.run(h.server->disconnectSession(tablet->identity().id, "Bye"));
    release->cancel();
    h.settle(100ms);
    EXPECT_EQ(h.streamsStopped, std::vector<Uuid>{hello.sessionID});
    EXPECT_TRUE(h.keyframeRequests.empty());
}

// A wake confirmed "in the future" is recorded as now, everywhere.
TEST(LoopbackReceiveLoop, VerifiedWakeNeverLiesInTheFuture) {
    const Date fixedNow = Date::now();
    HostSessionServer::Options options = HostRig::fastOptions();
    options.clock = [fixedNow] { return fixedNow; };
    HostRig h(options);
    h.call([&] { h.server->updateHostState(std::nullopt, true, SavedWakeConfiguration::empty(fixedNow)); });
    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    for (const double offset : {-50.0, 1e6}) {
        SessionControlMessage wake = ScriptedTabletPeer::message(Command::confirmVerifiedWake);
        wake.timestamp = fixedNow.addingTimeInterval(offset);
        h.run(tablet->send(wake));
    }
    h.until([&] { return h.verifiedWakes.size() == 2; }); // stored off the loop
    EXPECT_EQ(h.verifiedWakes, (std::vector<Date>{fixedNow.addingTimeInterval(-50.0), fixedNow}));
    EXPECT_EQ(h.trust->device(tablet->identity().id)->wakeConfiguration->lastVerifiedWakeAt, fixedNow);
    EXPECT_EQ(h.server->currentWakeConfiguration()->lastVerifiedWakeAt, fixedNow);
}

// A tablet frozen while its kernel lives: its window stays shut, the kernel
// gives up at the user timeout and the session ends as for any interruption,
// its queues freed. The whole stall asks the encoder for one keyframe.
TEST(LoopbackReceiveLoop, AFrozenTabletIsCutByTheSocketTimeoutAfterOneKeyframeRequest) {
    using namespace asio::experimental::awaitable_operators;
    HostRig h;
    LoopbackAcceptor door(h.io.get_executor(), h.hostIdentity->tlsIdentity(), kProtocol,
                          VelorinthService::maximumFrameSize);
    door.configureSocket = [](asio::ip::tcp::socket& socket) {
        configureSessionSocket(socket, {.userTimeout = 300ms});
        socket.set_option(asio::socket_base::send_buffer_size(4096));
    };
    std::weak_ptr<NetworkFramedConnection> hostEnd;
    auto handOver = [&]() -> asio::awaitable<void> {
        std::shared_ptr<NetworkFramedConnection> connection = co_await door.accept();
        hostEnd = connection;
        h.server->acceptConnection(std::move(connection), HandshakeSlot());
    };
    auto tablet = h.peer();
    h.trustTablet(*tablet);
    h.run([&]() -> asio::awaitable<void> {
        co_await (tablet->openSession(door.port(), HandshakePurpose::reconnect) && handOver());
    }());
    h.run(tablet->send(configure()));
    ASSERT_EQ(h.run(tablet->receiveControl()).streamActive, true);
    ASSERT_EQ(h.keyframeRequests.size(), 1u); // the stream's first

    // From here on the tablet reads nothing.
    EncodedVideoFrame frame{.generation = 1, .width = 64, .height = 64, .sourceDisplayWidth = 64,
                            .sourceDisplayHeight = 64};
    for (frame.sequence = 1; frame.sequence <= 60; ++frame.sequence) {
        frame.isKeyframe = frame.sequence == 1;
        frame.payload = Bytes(frame.isKeyframe ? 1'500'000 : 20'000, 0xAB);
        h.call([&] { h.server->distributeVideoFrame(std::make_shared<const EncodedVideoFrame>(frame)); });
        h.settle(2ms);
    }
    h.until([&] { return h.sessions().empty(); }, 5s);
    h.settle();
    EXPECT_EQ(h.keyframeRequests.size(), 2u) << "a keyframe asked for every frame dropped";
    EXPECT_EQ(h.lastError<NetworkConnectionError>(), NetworkConnectionError::network(std::strerror(ETIMEDOUT)));
    EXPECT_TRUE(hostEnd.expired()) << "the session's connection and queues outlived it";
}

TEST(LoopbackReceiveLoop, LostTrustEndsTheSessionWithTheFinalMessage) {
    HostRig h;
    auto revoked = h.peer("Revoked");
    auto removed = h.peer("Removed");
    for (auto* tablet : {revoked.get(), removed.get()}) h.openTrustedSession(*tablet);
    h.trust->revoke(revoked->identity().id);
    h.trust->remove(removed->identity().id);
    for (auto* tablet : {revoked.get(), removed.get()}) {
        h.run(tablet->send(ScriptedTabletPeer::message(Command::ping)));
        const SessionControlMessage last = h.run(tablet->receiveControl());
        EXPECT_EQ(last.command, Command::revoked);
        EXPECT_EQ(last.reason, "Access revoked on Mac.");
        EXPECT_TRUE(nextReadFails(h, *tablet));
    }
    h.settle();
    EXPECT_TRUE(h.sessions().empty());
}

TEST(LoopbackReceiveLoop, BadFramesEndTheLoopWithNothingSent) {
    enum class Fault { replayed, reordered, forged, oversized, garbage, wrongVersion, errorEnvelope };
    for (const Fault fault : {Fault::replayed, Fault::reordered, Fault::forged, Fault::oversized, Fault::garbage,
                              Fault::wrongVersion, Fault::errorEnvelope}) {
        HostRig h;
        auto tablet = h.peer();
        h.openTrustedSession(*tablet);
        const Bytes ping = json::encodeToBytes(ScriptedTabletPeer::message(Command::ping));
        Bytes frame = tablet->sealFrame(SessionBinaryChannel::control, ping);
        switch (fault) {
        case Fault::replayed:
            h.run(tablet->sendFrame(frame));
            h.run(tablet->receiveControl());
            break;
        case Fault::reordered: frame = tablet->sealFrame(SessionBinaryChannel::control, ping); break;
        case Fault::forged: frame.back() ^= 0x01; break;
        case Fault::oversized: frame.resize(65'537); break;
        case Fault::garbage: frame = Bytes{'n', 'o', 'p', 'e'}; break;
        case Fault::wrongVersion: frame[2] = 2; break;
        case Fault::errorEnvelope:
            frame = json::encodeToBytes(HandshakeEnvelope::makeError(HandshakeMessageKind::error,
                                                                     HandshakeRejectionCode::malformedMessage, "x"));
            break;
        }
        h.run(outcome(tablet->sendFrame(frame)));
        h.run(outcome(tablet->send(ScriptedTabletPeer::message(Command::ping))));
        EXPECT_TRUE(nextReadFails(h, *tablet)) << static_cast<int>(fault);
        h.settle();
        EXPECT_TRUE(h.sessions().empty());
        EXPECT_EQ(h.errors.size(), 1u);
    }
}

} // namespace
} // namespace velorinth::testing
