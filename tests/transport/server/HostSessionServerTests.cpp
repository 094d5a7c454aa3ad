#include "support/HostRig.hpp"

#include "transport/security/PairingProtocolError.hpp"
#include "transport/video/VideoFragmentPacket.hpp"

namespace velorinth::testing {
namespace {

using Command = SessionControlCommand;

EncodedVideoFrame videoFrame(std::uint64_t generation) {
    EncodedVideoFrame frame;
    frame.streamID = Uuid::random();
    frame.generation = generation;
    frame.sequence = 1;
    frame.payload = Bytes(5000, 0xAB);
    frame.isKeyframe = true;
    frame.width = frame.sourceDisplayWidth = 1280;
    frame.height = frame.sourceDisplayHeight = 720;
    return frame;
}

// A session of `tablet` streaming `generation`, its status already read.
void startStreaming(HostRig& h, ScriptedTabletPeer& tablet, std::uint64_t generation) {
    SessionControlMessage request = ScriptedTabletPeer::message(Command::configureVideoStream);
    request.streamGeneration = generation;
    h.run(tablet.send(request));
    ASSERT_EQ(h.run(tablet.receiveControl()).streamActive, true);
}

VideoFragmentPacket nextFragment(HostRig& h, ScriptedTabletPeer& tablet) {
    for (;;) {
        const SessionEnd::Sealed sealed = h.run(tablet.receiveSealed());
        if (sealed.channel == SessionBinaryChannel::videoFragment) {
            return VideoFragmentPacket::decode(sealed.plaintext, 2'097'152, 128, 49'152);
        }
    }
}

TEST(HostSessionServer, WithoutSessionsOnlyDisconnectAllAndAnswersPublish) {
    HostRig h(HostRig::fastOptions(), 10s, false);
    h.call([&] { h.server->stopAllVideoStreams(VideoStreamStopReason::hostStopped, "x"); });
    h.run(h.server->disconnectSession(Uuid::random(), "Disconnected by Mac user."));
    EXPECT_TRUE(h.sessionLists.empty());
    h.run(h.server->disconnectAll("Disconnected by Mac user."));
    h.settle(); // published once the loop turns
    EXPECT_EQ(h.sessionLists, std::vector<std::vector<ActiveSessionDescriptor>>{{}});
    // Nothing pending: only withdraws the prompt.
    h.call([&] { h.server->resolvePendingPairing(true, Uuid::random()); });
    EXPECT_EQ(h.prompts, std::vector<std::optional<IncomingPairingPrompt>>{std::nullopt});
}

// The public coroutines keep the server alive: its owner may let go at once.
TEST(LoopbackOperations, StopOutlivesTheLastOutsidePointer) {
    HostRig h;
    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    bool ended = false;
    asio::co_spawn(h.io, h.server->stop(), [&](std::exception_ptr) { ended = true; });
    std::weak_ptr<HostSessionServer> weak = h.server;
    h.server.reset();
    const SessionControlMessage goodbye = h.run(tablet->receiveControl());
    EXPECT_EQ(goodbye.command, Command::disconnect);
    EXPECT_EQ(goodbye.reason, std::string(HostSessionServer::kStopReason));
    h.until([&] { return ended && weak.expired(); });
}

// The running callback's own state outlives its replacement (AddressSanitizer
// would see a use after free).
TEST(LoopbackOperations, ACallbackMayReplaceTheCallbacks) {
    HostRig h;
    std::vector<std::string> seen;
    HostSessionServer::Callbacks callbacks = h.recordingCallbacks();
    const HostSessionServer::Callbacks replacement = h.recordingCallbacks();
    callbacks.onSessionsChanged = [&h, &seen, &replacement, label = std::string(64, 'x')](const auto&) {
        h.server->setCallbacks(replacement);
        seen.push_back(label);
    };
    h.call([&] { h.server->setCallbacks(callbacks); });
    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    h.until([&] { return !seen.empty(); });
    h.settle();
    EXPECT_EQ(seen, std::vector<std::string>{std::string(64, 'x')});
}

TEST(LoopbackOperations, FramesCarryTheSessionsGenerationAndReachOnlyStreamingH264Sessions) {
    for (const auto& [sessionGeneration, wireGeneration] : {std::pair<std::uint64_t, std::uint64_t>{5, 5}, {0, 3}}) {
        HostRig h;
        auto tablet = h.peer();
        h.openTrustedSession(*tablet);
        auto withoutCodec = h.peer("No H.264");
        withoutCodec->capabilities = {Capability::pointer};
        h.openTrustedSession(*withoutCodec);
        startStreaming(h, *tablet, sessionGeneration);

        h.call([&] { h.server->distributeVideoFrame(std::make_shared<const EncodedVideoFrame>(videoFrame(3))); });
        const VideoFragmentPacket fragment = nextFragment(h, *tablet);
        EXPECT_EQ(fragment.generation, wireGeneration);
        EXPECT_TRUE(fragment.isKeyframe);
        EXPECT_TRUE(h.call([&] { return h.server->hasStreamingViewer(); }));
        // None for the other session.
        EXPECT_EQ(h.call([&] { return h.server->outboundVideoStatistics(); }).sentVideoFrames, 1u);
    }
}

// The next whole frame a tablet reads: its generation, sequence and payload.
struct Reassembled {
    std::uint64_t generation = 0;
    std::uint64_t sequence = 0;
    Bytes payload;
};
Reassembled reassemble(HostRig& h, ScriptedTabletPeer& tablet) {
    Reassembled frame;
    for (;;) {
        const VideoFragmentPacket fragment = nextFragment(h, tablet);
        EXPECT_EQ(fragment.fragmentIndex == 0, frame.payload.empty());
        frame.generation = fragment.generation;
        frame.sequence = fragment.frameSequence;
        frame.payload.insert(frame.payload.end(), fragment.chunk.begin(), fragment.chunk.end());
        if (fragment.fragmentIndex + 1 == fragment.fragmentCount) return frame;
    }
}

// Viewers share each frame: every scheduler holds the very frame the host
// handed over (no copy), each tablet reassembles it whole under its own
// generation, and a viewer that stops reading keeps at most two frames, by
// reference, dropping the rest.
TEST(LoopbackOperations, ViewersShareEachFrameAndAStalledOneDropsByTheTwoFrameRule) {
    HostRig h;
    std::vector<std::unique_ptr<ScriptedTabletPeer>> viewers;
    for (std::uint64_t i = 0; i < 4; ++i) {
        viewers.push_back(h.peer("Viewer " + std::to_string(i)));
        h.openTrustedSession(*viewers.back());
        startStreaming(h, *viewers.back(), 11 + i);
    }
    auto makeFrame = [](std::uint64_t sequence, bool keyframe, std::size_t bytes) {
        auto frame = std::make_shared<EncodedVideoFrame>(videoFrame(1));
        frame->sequence = sequence;
        frame->isKeyframe = keyframe;
        frame->payload.resize(bytes);
        for (std::size_t i = 0; i < bytes; ++i) frame->payload[i] = static_cast<std::uint8_t>(i * 7 + sequence);
        return std::shared_ptr<const EncodedVideoFrame>(std::move(frame));
    };

    const auto first = makeFrame(1, true, 100'000); // four fragments of the default 32 KiB
    h.call([&] {
        h.server->distributeVideoFrame(first);
        EXPECT_EQ(first.use_count(), 5) << "each viewer holds the frame itself, not a copy";
    });
    for (std::uint64_t i = 0; i < 4; ++i) {
        const Reassembled received = reassemble(h, *viewers[i]);
        EXPECT_EQ(received.generation, 11 + i);
        EXPECT_EQ(received.sequence, 1u);
        EXPECT_EQ(received.payload, first->payload);
    }

    // The last viewer reads no more; the others read every frame before the
    // next is handed out, until the stalled one's buffers are full and it drops.
    const Uuid stalled = viewers[3]->identity().id;
    auto droppedByStalled = [&] {
        for (const auto& session : h.sessions()) {
            if (session.peerIdentity.id == stalled) return session.droppedVideoFrames;
        }
        return std::uint64_t{0};
    };
    std::uint64_t sequence = 1;
    while (droppedByStalled() == 0 && sequence < 60) {
        const auto frame = makeFrame(++sequence, false, 1'000'000);
        h.call([&] { h.server->distributeVideoFrame(frame); });
        for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(reassemble(h, *viewers[i]).payload, frame->payload);
    }
    ASSERT_GT(droppedByStalled(), 0u) << "the viewer that stopped reading never stalled";
    EXPECT_LE(h.call([&] { return h.server->outboundVideoStatistics(); }).largestVideoQueue, 2);

    // A keyframe ends the stall's recovery: the stalled viewer queues it, by reference.
    const auto keyframe = makeFrame(++sequence, true, 100'000);
    h.call([&] { h.server->distributeVideoFrame(keyframe); });
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(reassemble(h, *viewers[i]).payload, keyframe->payload);
    h.settle();
    EXPECT_EQ(keyframe.use_count(), 2) << "held by the stalled viewer's queue alone";
}

TEST(LoopbackOperations, StopAllVideoStreamsTellsTabletsButNotTheHostAndHostStateKeepsWake) {
    HostRig h;
    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    startStreaming(h, *tablet, 9);
    h.call([&] {
        h.server->stopAllVideoStreams(VideoStreamStopReason::screenRecordingPermissionRequired,
                                      "Screen Recording permission required");
    });
    const SessionControlMessage status = h.run(tablet->receiveControl());
    EXPECT_EQ(status.streamStopReason, VideoStreamStopReason::screenRecordingPermissionRequired);
    EXPECT_EQ(status.reason, "Screen Recording permission required");
    EXPECT_EQ(status.streamGeneration, 9u);
    EXPECT_EQ(status.streamActive, false);
    EXPECT_TRUE(h.streamsStopped.empty());
    EXPECT_FALSE(h.call([&] { return h.server->hasStreamingViewer(); }));

    // Host state: a missing wake configuration keeps the previous one, with the port filled in.
    SavedWakeConfiguration wake = SavedWakeConfiguration::empty(Date::now());
    wake.lastKnownPowerState = PowerStateEvidence::awake;
    const DisplayDescriptor display{3, 2560, 1600, 2.0};
    h.call([&] { h.server->updateHostState(display, true, wake); });
    h.call([&] { h.server->updateHostState(display, false, std::nullopt); });
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

TEST(LoopbackOperations, WithdrawingScreenViewStopsTheStreamAndTellsTheRights) {
    HostRig h;
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
    EXPECT_FALSE(h.sessions()[0].isVideoStreaming); // removing the connect right is end to end
}

TEST(LoopbackServerListener, StopReportsOneStoppedAndARestartSilencesTheOldListener) {
    HostRig h;
    ASSERT_EQ(h.statuses.size(), 2u);
    EXPECT_EQ(h.statuses[0], ListenerStatus::starting());
    EXPECT_EQ(h.statuses[1], ListenerStatus::advertising(h.port));

    h.run(h.server->stop());
    h.settle();
    EXPECT_EQ(h.statuses.back(), ListenerStatus::stopped());
    EXPECT_EQ(h.statuses.size(), 3u);
    EXPECT_THROW(h.run(h.server->waitForListeningPort(30ms)), PairingProtocolError);

    h.call([&] { h.server->startListening(0, false); });
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

// Only the newest listener's publication reaches the host, and nothing once it
// is told to stop; a failure reaches the error line too.
TEST(LoopbackServerListener, OnlyTheNewestListenersPublicationReportsPass) {
    auto made = std::make_shared<std::vector<SessionListener::Handlers>>();
    HostSessionServer::Options options = HostRig::fastOptions();
    options.listenerFactory = [made](const asio::any_io_executor& executor, const TLSDeviceIdentity& identity,
                                     SessionListener::Options listenerOptions, SessionListener::Handlers handlers) {
        made->push_back(handlers);
        return loopbackListener(executor, identity, std::move(listenerOptions), std::move(handlers));
    };
    HostRig h(options);
    const ListenerPublicationError unavailable(ListenerPublicationError::Case::avahiUnavailable);
    h.call([&] {
        (*made)[0].onPublicationError(unavailable);
        (*made)[0].onPublished();
    });
    EXPECT_EQ(h.publications, (std::vector<bool>{false, true}));
    ASSERT_EQ(h.errors.size(), 1u);
    EXPECT_EQ(h.lastError<ListenerPublicationError>().kind, unavailable.kind);

    h.run(h.server->stop());
    h.call([&] { (*made)[0].onPublicationError(unavailable); }); // told to stop
    h.call([&] { h.server->startListening(0, false); });
    ASSERT_EQ(made->size(), 2u);
    h.call([&] {
        (*made)[0].onPublished(); // superseded
        (*made)[1].onPublicationError(unavailable);
    });
    EXPECT_EQ(h.publications, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(h.errors.size(), 2u);
}

} // namespace
} // namespace velorinth::testing
