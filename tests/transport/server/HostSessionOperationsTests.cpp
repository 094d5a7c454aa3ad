#include "transport/server/ServerHarness.hpp"

#include "transport/security/PairingProtocolError.hpp"
#include "transport/video/VideoFragmentPacket.hpp"

namespace velorinth::testing {
namespace {

using Command = SessionControlCommand;

EncodedVideoFrame videoFrame(std::uint64_t generation, std::size_t bytes = 5000) {
    EncodedVideoFrame frame;
    frame.streamID = Uuid::random();
    frame.generation = generation;
    frame.sequence = 1;
    frame.payload = Bytes(bytes, 0xAB);
    frame.isKeyframe = true;
    frame.width = frame.sourceDisplayWidth = 1280;
    frame.height = frame.sourceDisplayHeight = 720;
    return frame;
}

// A session of `tablet` streaming `generation`, its status already read.
void startStreaming(ServerHarness& h, ScriptedTabletPeer& tablet, std::uint64_t generation) {
    SessionControlMessage request = ScriptedTabletPeer::message(Command::configureVideoStream);
    request.streamGeneration = generation;
    h.run(tablet.send(request));
    ASSERT_EQ(h.run(tablet.receiveControl()).streamActive, true);
}

VideoFragmentPacket nextFragment(ServerHarness& h, ScriptedTabletPeer& tablet) {
    for (;;) {
        const ScriptedTabletPeer::Sealed sealed = h.run(tablet.receiveSealed());
        if (sealed.channel == SessionBinaryChannel::videoFragment) {
            return VideoFragmentPacket::decode(sealed.plaintext, 2'097'152, 128, 49'152);
        }
    }
}

TEST(HostSessionServer, NewServerIsEmptyAndPublishesOnlyWhereItShould) {
    ServerHarness h(ServerHarness::fastOptions(), 10s, false);
    EXPECT_TRUE(h.server->currentAccessibilityGranted());
    EXPECT_FALSE(h.server->currentPort() || h.server->currentHostDisplay() || h.server->currentWakeConfiguration());
    EXPECT_FALSE(h.server->hasListener());
    EXPECT_TRUE(h.sessions().empty());

    h.server->updateHostState(DisplayDescriptor{1, 800, 600, 1.0}, true, std::nullopt);
    h.server->stopAllVideoStreams(VideoStreamStopReason::hostStopped, "x");
    h.run(h.server->disconnectSession(Uuid::random(), "Disconnected by Mac user."));
    EXPECT_TRUE(h.sessionLists.empty());

    h.server->resolvePendingPairing(true, Uuid::random());
    ASSERT_EQ(h.prompts.size(), 1u);
    EXPECT_FALSE(h.prompts[0].has_value());
    h.run(h.server->disconnectAll("Disconnected by Mac user."));
    ASSERT_EQ(h.sessionLists.size(), 1u);
    EXPECT_TRUE(h.sessionLists[0].empty());

    EXPECT_THROW(h.run(h.server->waitForListeningPort(0ms)), PairingProtocolError);
}

TEST(LoopbackOperations, FramesCarryTheSessionsGenerationAndReachOnlyStreamingH264Sessions) {
    for (const auto& [sessionGeneration, wireGeneration] : {std::pair<std::uint64_t, std::uint64_t>{5, 5}, {0, 3}}) {
        ServerHarness h;
        auto tablet = h.peer();
        h.openTrustedSession(*tablet);
        auto withoutCodec = h.peer("No H.264");
        withoutCodec->capabilities = {Capability::pointer};
        h.openTrustedSession(*withoutCodec);
        startStreaming(h, *tablet, sessionGeneration);

        h.server->distributeVideoFrame(videoFrame(3));
        const VideoFragmentPacket fragment = nextFragment(h, *tablet);
        EXPECT_EQ(fragment.generation, wireGeneration);
        EXPECT_TRUE(fragment.isKeyframe);
        EXPECT_TRUE(h.server->hasStreamingViewer());
        EXPECT_EQ(h.server->outboundVideoStatistics().sentVideoFrames, 1u); // none for the other session
    }
}

TEST(LoopbackOperations, StopAllVideoStreamsTellsTabletsButNotTheHost) {
    ServerHarness h;
    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    startStreaming(h, *tablet, 9);
    h.server->stopAllVideoStreams(VideoStreamStopReason::screenRecordingPermissionRequired,
                                  "Screen Recording permission required");
    const SessionControlMessage status = h.run(tablet->receiveControl());
    EXPECT_EQ(status.streamStopReason, VideoStreamStopReason::screenRecordingPermissionRequired);
    EXPECT_EQ(status.reason, "Screen Recording permission required");
    EXPECT_EQ(status.streamGeneration, 9u);
    EXPECT_EQ(status.streamActive, false);
    EXPECT_TRUE(h.streamsStopped.empty());
    EXPECT_FALSE(h.server->hasStreamingViewer());

    const std::size_t published = h.sessionLists.size();
    h.server->stopAllVideoStreams(VideoStreamStopReason::hostStopped, "again");
    EXPECT_EQ(h.sessionLists.size(), published);
}

TEST(LoopbackOperations, HostStateKeepsTheWakeConfigurationAndFillsInThePort) {
    ServerHarness h;
    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    SavedWakeConfiguration wake = SavedWakeConfiguration::empty(Date::now());
    wake.lastKnownPowerState = PowerStateEvidence::awake;
    const DisplayDescriptor display{3, 2560, 1600, 2.0};
    h.server->updateHostState(display, true, wake);
    h.server->updateHostState(display, false, std::nullopt);
    for (const bool granted : {true, false}) {
        const SessionControlMessage state = h.run(tablet->receiveControl());
        EXPECT_EQ(state.command, Command::hostStateUpdated);
        EXPECT_EQ(state.hostDisplay, display);
        EXPECT_EQ(state.accessibilityGranted, granted);
        ASSERT_TRUE(state.wakeConfiguration.has_value());
        EXPECT_EQ(state.wakeConfiguration->bonjourServicePort, h.port);
        EXPECT_EQ(state.powerStateEvidence, PowerStateEvidence::awake);
    }
    EXPECT_FALSE(h.sessions()[0].hostAccessibilityGranted);
}

TEST(LoopbackOperations, PermissionChangesWithdrawViewOrEndTheSession) {
    ServerHarness h;
    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    const Uuid id = tablet->identity().id;
    startStreaming(h, *tablet, 2);

    h.run(h.server->updateDevicePermissions(id, DevicePermissions(0x05)));
    const SessionControlMessage withdrawn = h.run(tablet->receiveControl());
    EXPECT_EQ(withdrawn.reason, "Screen viewing permission was disabled on the Mac.");
    EXPECT_EQ(withdrawn.streamStopReason, VideoStreamStopReason::screenViewPermissionRevoked);
    const SessionControlMessage rights = h.run(tablet->receiveControl());
    EXPECT_EQ(rights.command, Command::permissionsUpdated);
    EXPECT_EQ(rights.permissions, DevicePermissions(0x05));
    EXPECT_EQ(h.streamsStopped.size(), 1u);
    ASSERT_EQ(h.sessions().size(), 1u);
    EXPECT_FALSE(h.sessions()[0].isVideoStreaming);

    h.run(h.server->updateDevicePermissions(id, DevicePermissions(0x06)));
    const SessionControlMessage removed = h.run(tablet->receiveControl());
    EXPECT_EQ(removed.command, Command::revoked);
    EXPECT_EQ(removed.reason, "Required session permissions were removed on the Mac.");
    EXPECT_TRUE(nextReadFails(h, *tablet));
    EXPECT_TRUE(h.sessions().empty());

    auto other = h.peer("Other");
    h.openTrustedSession(*other);
    h.run(h.server->revokeDevice(other->identity().id));
    const SessionControlMessage revoked = h.run(other->receiveControl());
    EXPECT_EQ(revoked.command, Command::revoked);
    EXPECT_EQ(revoked.reason, "Access for this iPad was revoked on the Mac.");
    EXPECT_TRUE(h.sessions().empty());
}

// A message the connection cannot carry ends the session instead of leaving
// a listed session that answers nothing.
TEST(LoopbackOperations, DrainFailureClosesTheConnection) {
    ServerHarness h;
    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    SavedWakeConfiguration huge = SavedWakeConfiguration::empty(Date::now());
    for (int i = 0; i < 2000; ++i) {
        huge.targets.emplace_back("en" + std::to_string(i), WakeInterfaceKind::ethernet,
                                  MACAddress(std::string_view("02:00:00:00:00:01")), "192.168.1.10",
                                  "255.255.255.0");
    }
    h.server->updateHostState(std::nullopt, true, huge);
    EXPECT_TRUE(nextReadFails(h, *tablet));
    h.settle(100ms);
    EXPECT_TRUE(h.sessions().empty());
}

// A tablet that stops reading holds neither a flushed send nor the final
// close longer than their bounds.
TEST(LoopbackOperations, PeerThatStopsReadingCannotHoldTheHost) {
    ServerHarness h;
    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    startStreaming(h, *tablet, 1);
    for (int i = 0; i < 40; ++i) {
        h.server->distributeVideoFrame(videoFrame(1, 2'000'000));
        h.settle(10ms);
    }
    h.run(h.server->reportSystemSleep(Date::now()), 5s);
    h.run(h.server->disconnectSession(tablet->identity().id, "Disconnected by Mac user."), 5s);
    EXPECT_TRUE(h.sessions().empty());
}

TEST(LoopbackServerListener, StopReportsOneStoppedAndARestartSilencesTheOldListener) {
    ServerHarness h;
    ASSERT_EQ(h.statuses.size(), 2u);
    EXPECT_EQ(h.statuses[0], ListenerStatus::starting());
    EXPECT_EQ(h.statuses[1], ListenerStatus::advertising(h.port));

    h.run(h.server->stop());
    h.settle();
    EXPECT_EQ(h.statuses.back(), ListenerStatus::stopped());
    EXPECT_EQ(h.statuses.size(), 3u);
    EXPECT_THROW(h.run(h.server->waitForListeningPort(30ms)), PairingProtocolError);

    h.server->startListening(0, false);
    const std::uint16_t second = h.run(h.server->waitForListeningPort(5s));
    h.run([&]() -> asio::awaitable<void> {
        co_await h.server->stop();
        h.server->startListening(0, false); // at once: the old `stopped` is still on its way
    }());
    const std::uint16_t third = h.run(h.server->waitForListeningPort(5s));
    h.settle();
    const std::vector<ListenerStatus> expected{ListenerStatus::starting(), ListenerStatus::advertising(second),
                                               ListenerStatus::starting(), ListenerStatus::advertising(third)};
    EXPECT_EQ(std::vector<ListenerStatus>(h.statuses.begin() + 3, h.statuses.end()), expected);
    EXPECT_EQ(h.server->currentPort(), third);
}

} // namespace
} // namespace velorinth::testing
