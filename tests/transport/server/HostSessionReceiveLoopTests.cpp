#include "transport/server/ServerHarness.hpp"

#include "transport/video/SessionWireFrameCodec.hpp"

namespace velorinth::testing {
namespace {

using Command = SessionControlCommand;

SessionControlMessage input(std::uint64_t inputSequence) {
    SessionControlMessage message = ScriptedTabletPeer::message(Command::remoteInput);
    message.controlMessage = ControlMessage::input(inputSequence, InputEvent::pointerMove(0.5, 0.5));
    return message;
}

SessionControlMessage configure(std::optional<std::uint64_t> generation = std::nullopt,
                                std::optional<VideoStreamConfiguration> configuration = std::nullopt) {
    SessionControlMessage message = ScriptedTabletPeer::message(Command::configureVideoStream);
    message.streamGeneration = generation;
    message.videoConfiguration = configuration;
    return message;
}

TEST(LoopbackReceiveLoop, PingIsAnsweredAndTabletVideoIsOpenedAndDropped) {
    ServerHarness h;
    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    // A fragment from the tablet takes sequence 1; the ping must follow as 2.
    h.run(tablet->sendFrame(tablet->sealFrame(SessionBinaryChannel::videoFragment, Bytes{1, 2, 3})));
    SessionControlMessage ping = ScriptedTabletPeer::message(Command::ping, 42);
    ping.sentMonotonicNs = 1000;
    h.run(tablet->send(ping));
    const SessionControlMessage pong = h.run(tablet->receiveControl());
    EXPECT_EQ(pong.command, Command::pong);
    EXPECT_EQ(pong.sequence, 42u);
    EXPECT_EQ(pong.sentMonotonicNs, 1000u);
    EXPECT_EQ(h.sessions()[0].heartbeatCount, 1u);
    EXPECT_TRUE(h.sessions()[0].lastHeartbeatAt.has_value());
}

TEST(LoopbackReceiveLoop, InputIsInjectedOnceInOrderAndNeedsRemoteControlAndAccessibility) {
    ServerHarness h;
    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    for (std::uint64_t sequence : {5, 5, 0, 3, 6}) h.run(tablet->send(input(sequence)));
    h.run(tablet->send(ScriptedTabletPeer::message(Command::ping)));
    EXPECT_EQ(h.run(tablet->receiveControl()).command, Command::pong); // nothing was answered before it
    EXPECT_EQ(h.inputs.size(), 2u);
    EXPECT_EQ(h.sessions()[0].receivedInputEvents, 2u);

    // The injector reports missing Accessibility: the host and the tablet learn it.
    h.injectionSucceeds = false;
    h.run(tablet->send(input(7)));
    SessionControlMessage state = h.run(tablet->receiveControl());
    EXPECT_EQ(state.command, Command::hostStateUpdated);
    EXPECT_EQ(state.accessibilityGranted, false);
    EXPECT_FALSE(h.server->currentAccessibilityGranted());
    EXPECT_FALSE(h.sessions()[0].hostAccessibilityGranted);
    h.run(tablet->send(input(8)));
    EXPECT_EQ(h.run(tablet->receiveControl()).accessibilityGranted, false);
    EXPECT_EQ(h.inputs.size(), 3u); // not offered again

    // Without remote control the tablet is told its rights.
    ServerHarness other;
    auto viewer = other.peer();
    other.openTrustedSession(*viewer, DevicePermissions(0x03));
    other.run(viewer->send(input(1)));
    const SessionControlMessage rights = other.run(viewer->receiveControl());
    EXPECT_EQ(rights.command, Command::permissionsUpdated);
    EXPECT_EQ(rights.permissions, DevicePermissions(0x03));
    EXPECT_TRUE(other.inputs.empty());
}

TEST(LoopbackReceiveLoop, ConfigureKeyframeAndStopFollowTheRequest) {
    ServerHarness h;
    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    h.run(tablet->send(configure()));
    SessionControlMessage status = h.run(tablet->receiveControl());
    ASSERT_EQ(h.streamRequests.size(), 1u);
    EXPECT_EQ(h.streamRequests[0].first.maxWidth, 1280);
    EXPECT_EQ(h.streamRequests[0].first.maxHeight, 720);
    EXPECT_EQ(h.streamRequests[0].first.framesPerSecond, 30);
    EXPECT_EQ(h.streamRequests[0].second, 1u);
    EXPECT_EQ(status.command, Command::videoStreamStatus);
    EXPECT_EQ(status.streamActive, true);
    EXPECT_EQ(status.streamGeneration, 1u);
    EXPECT_EQ(status.videoConfiguration, h.streamRequests[0].first);
    EXPECT_EQ(h.keyframeRequests, std::vector<std::uint64_t>{1});
    EXPECT_TRUE(h.sessions()[0].isVideoStreaming);

    // Out-of-range settings reach the host clamped.
    VideoStreamConfiguration wild;
    wild.maxWidth = 100'000;
    wild.framesPerSecond = 0;
    wild.maxFragmentPayloadBytes = 1;
    h.run(tablet->send(configure(4, wild)));
    h.run(tablet->receiveControl());
    EXPECT_EQ(h.streamRequests[1].first.maxWidth, 3840);
    EXPECT_EQ(h.streamRequests[1].first.framesPerSecond, 5);
    EXPECT_EQ(h.streamRequests[1].first.maxFragmentPayloadBytes, 4096);
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
    ServerHarness h;
    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    const std::pair<VideoStreamStopReason, std::string> failures[] = {
        {VideoStreamStopReason::screenRecordingPermissionRequired, "Screen Recording permission required"},
        {VideoStreamStopReason::screenViewPermissionRevoked, "Screen viewing permission is disabled on the Mac."},
        {VideoStreamStopReason::encoderFailed, "Failed to initialize hardware video encoder on the Mac."},
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
    ServerHarness blind;
    auto noView = blind.peer();
    blind.openTrustedSession(*noView, DevicePermissions(0x05));
    blind.run(noView->send(configure()));
    const SessionControlMessage refused = blind.run(noView->receiveControl());
    EXPECT_EQ(refused.streamStopReason, VideoStreamStopReason::screenViewPermissionRevoked);
    EXPECT_EQ(refused.reason, "Screen viewing permission is disabled for this iPad on the Mac.");
    EXPECT_EQ(blind.run(noView->receiveControl()).command, Command::permissionsUpdated);
    EXPECT_TRUE(blind.streamRequests.empty());
    EXPECT_TRUE(blind.streamsStopped.empty());

    // No H.264 negotiated.
    ServerHarness plain;
    auto noCodec = plain.peer();
    noCodec->capabilities = {Capability::pointer};
    plain.openTrustedSession(*noCodec);
    plain.run(noCodec->send(configure()));
    const SessionControlMessage unsupported = plain.run(noCodec->receiveControl());
    EXPECT_EQ(unsupported.streamStopReason, VideoStreamStopReason::unsupportedConfiguration);
    EXPECT_EQ(unsupported.reason, "H.264 capability was not negotiated for this session.");
}

// The host may start capture after the session is gone; it is told to stop.
TEST(LoopbackReceiveLoop, StreamGrantedAfterTheSessionWentIsStoppedAgain) {
    ServerHarness h;
    auto release = std::make_shared<asio::steady_timer>(h.io, asio::steady_timer::time_point::max());
    HostSessionServer::Callbacks callbacks = h.recordingCallbacks();
    callbacks.onVideoStreamRequested = [&h, release](Uuid, Uuid, VideoStreamConfiguration c,
                                                     std::uint64_t g) -> asio::awaitable<void> {
        h.streamRequests.emplace_back(c, g);
        asio::error_code ignored;
        co_await release->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    };
    h.server->setCallbacks(callbacks);
    auto tablet = h.peer();
    const ServerHello hello = h.openTrustedSession(*tablet);
    h.run(tablet->send(configure()));
    h.run([&]() -> asio::awaitable<void> {
        while (h.streamRequests.empty()) co_await sleepFor(5ms);
    }());
    h.run(h.server->disconnectSession(tablet->identity().id, "Bye"));
    release->cancel();
    h.settle(100ms);
    EXPECT_EQ(h.streamsStopped, std::vector<Uuid>{hello.sessionID});
    EXPECT_TRUE(h.keyframeRequests.empty());
}

// A wake confirmed "in the future" is recorded as now, everywhere.
TEST(LoopbackReceiveLoop, VerifiedWakeNeverLiesInTheFuture) {
    const Date fixedNow = Date::now();
    HostSessionServer::Options options = ServerHarness::fastOptions();
    options.clock = [fixedNow] { return fixedNow; };
    ServerHarness h(options);
    h.server->updateHostState(std::nullopt, true, SavedWakeConfiguration::empty(fixedNow));
    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    for (const double offset : {-50.0, 1e6}) {
        SessionControlMessage wake = ScriptedTabletPeer::message(Command::confirmVerifiedWake);
        wake.timestamp = fixedNow.addingTimeInterval(offset);
        h.run(tablet->send(wake));
        h.run(tablet->send(ScriptedTabletPeer::message(Command::ping)));
        h.run(tablet->receiveControl());
    }
    const std::vector<Date> expected{fixedNow.addingTimeInterval(-50.0), fixedNow};
    EXPECT_EQ(h.verifiedWakes, expected);
    EXPECT_EQ(h.trust->device(tablet->identity().id)->wakeConfiguration->lastVerifiedWakeAt, fixedNow);
    EXPECT_EQ(h.server->currentWakeConfiguration()->lastVerifiedWakeAt, fixedNow);
}

TEST(LoopbackReceiveLoop, LostTrustEndsTheSessionWithTheFinalMessage) {
    for (const bool remove : {false, true}) {
        ServerHarness h;
        auto tablet = h.peer();
        h.openTrustedSession(*tablet);
        const Uuid id = tablet->identity().id;
        if (remove) {
            h.trust->remove(id);
        } else {
            h.trust->revoke(id);
        }
        h.run(tablet->send(ScriptedTabletPeer::message(Command::ping)));
        const SessionControlMessage last = h.run(tablet->receiveControl());
        EXPECT_EQ(last.command, Command::revoked);
        EXPECT_EQ(last.reason, "Access revoked on Mac.");
        EXPECT_TRUE(nextReadFails(h, *tablet));
        h.settle();
        EXPECT_TRUE(h.sessions().empty());
    }
}

TEST(LoopbackReceiveLoop, BadFramesEndTheLoopWithNothingSent) {
    enum class Fault { replayed, reordered, forged, oversized, garbage, wrongVersion, errorEnvelope };
    for (const Fault fault : {Fault::replayed, Fault::reordered, Fault::forged, Fault::oversized, Fault::garbage,
                              Fault::wrongVersion, Fault::errorEnvelope}) {
        ServerHarness h;
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
            frame = json::encodeToBytes(
                HandshakeEnvelope::makeError(HandshakeMessageKind::error, HandshakeRejectionCode::malformedMessage, "x"));
            break;
        }
        h.run(failureOf(tablet->sendFrame(frame)));
        h.run(failureOf(tablet->send(ScriptedTabletPeer::message(Command::ping))));
        EXPECT_TRUE(nextReadFails(h, *tablet)) << static_cast<int>(fault);
        h.settle();
        EXPECT_TRUE(h.sessions().empty());
        EXPECT_EQ(h.errors.size(), 1u);
    }
}

} // namespace
} // namespace velorinth::testing
