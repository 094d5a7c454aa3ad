#include "support/TabletRig.hpp"

#include "support/GatedSecureStore.hpp"
#include "transport/client/RemoteInputTransportError.hpp"
#include "transport/client/VideoStreamTransportError.hpp"
#include "transport/video/VideoTestBytes.hpp"

#include <asio/post.hpp>
#include <asio/thread_pool.hpp>
#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using Reason = SessionTerminationReason;
const Date kHostTime = Date(800'000'000);

struct RigOptions {
    DevicePermissions permissions = DevicePermissions::all;
    CapabilitySet capabilities{Capability::h264, Capability::pointer, Capability::keyboard};
    bool withStore = false;
    std::uint64_t tabletSendSequence = 0;
};

// One session over loopback TLS, its scripted host, and what it reported.
struct SessionRig {
    LoopRunner h;
    asio::thread_pool storeWorker{1}; // the tablet's, for its trust-store writes
    TLSDeviceIdentity hostIdentity = makeTestIdentity("Host");
    LoopbackAcceptor hostEnd{h.io.get_executor(), hostIdentity};
    ManualClocks clock;
    SessionEvents events;
    HostEnd host;
    std::shared_ptr<NetworkFramedConnection> tabletConnection;
    std::shared_ptr<InMemorySecureStore> secureStore = std::make_shared<InMemorySecureStore>();
    std::shared_ptr<GatedSecureStore> gate = std::make_shared<GatedSecureStore>(secureStore); // open until closed
    std::shared_ptr<TrustedDeviceStore> store;
    std::shared_ptr<AuthenticatedClientSession> session;

    explicit SessionRig(const RigOptions& options = {}) {
        tabletConnection = NetworkFramedConnection::connect(h.io.get_executor(), hostEnd.endpoint(),
                                                            makeTestIdentity("Tablet"), std::nullopt, kTestFrameLimit,
                                                            kProtocol);
        h.run([&]() -> asio::awaitable<void> {
            auto hostSide = [&]() -> asio::awaitable<void> { host.connection = co_await hostEnd.accept(); };
            co_await (hostSide() && tabletConnection->start());
        }());
        const Bytes key = randomBytes(32);
        host.cipher = std::make_shared<SessionCipher>(key, SessionRole::responder);
        host.transcriptHash = randomBytes(32);
        if (options.withStore) store = std::make_shared<TrustedDeviceStore>(gate);
        ActiveSessionDescriptor descriptor;
        descriptor.id = Uuid::random();
        descriptor.peerIdentity = hostIdentity.publicIdentity;
        descriptor.negotiatedProtocolVersion = 1;
        descriptor.acceptedCapabilities = options.capabilities;
        descriptor.grantedPermissions = options.permissions;
        descriptor.connectedAt = clock.wall;
        session = std::make_shared<AuthenticatedClientSession>(
            h.io.get_executor(), descriptor, tabletConnection,
            SessionCipher::makeForTesting(key, SessionRole::initiator, options.tabletSendSequence, 0),
            host.transcriptHash, store, storeWorker, events.handlers(), clock.clocks(), 100ms);
    }

    // The tablet's record of the host, as its pairing left it.
    TrustedDevice trustHost() {
        TrustedDevice record;
        record.id = hostIdentity.publicIdentity.id;
        record.identity = hostIdentity.publicIdentity;
        record.permissions = DevicePermissions::all;
        store->trust(record);
        return record;
    }

    // Returns once every store write queued so far has run (one worker thread).
    void drainStoreWorker() {
        auto done = std::make_shared<std::promise<void>>();
        asio::post(storeWorker, [done] { done->set_value(); });
        ASSERT_EQ(done->get_future().wait_for(GatedSecureStore::kGuard), std::future_status::ready);
    }

    // On the loop, as a session must be driven: queued before the next run's body.
    void start(std::chrono::steady_clock::duration heartbeatInterval = 1h) {
        asio::post(h.io, [this, heartbeatInterval] { session->start(heartbeatInterval); });
    }

    ~SessionRig() {
        gate->open();
        try {
            if (session && !session->isClosed()) h.run(session->disconnect("test over"));
        } catch (...) {
        }
        if (host.connection) host.connection->cancel();
        h.settle();
    }
};

Bytes fragment(std::uint64_t generation, std::uint64_t sequence, std::uint16_t index = 0, std::uint16_t count = 1) {
    return videotest::fragmentBytes({.generation = generation, .sequence = sequence, .index = index, .count = count,
                                     .total = count, .chunk = Bytes(1, static_cast<std::uint8_t>(index))});
}

} // namespace

TEST(LoopbackClientSession, PingsAreNumberedByPongsAndHostPingsAreEchoed) {
    SessionRig rig;
    rig.clock.uptimeNs = 1'000'000'000;
    rig.start();
    rig.start(); // a second start adds no second heartbeat
    rig.h.run([&]() -> asio::awaitable<void> {
        Msg first = co_await rig.host.receive();
        EXPECT_EQ(first, (Msg{.command = Command::ping, .sequence = 1, .timestamp = rig.clock.wall,
                              .sentMonotonicNs = 1'000'000'000}));
        rig.clock.uptimeNs += 12'500'000;
        rig.clock.wall = Date(700'000'100);
        co_await rig.host.send(Msg{.command = Command::pong, .sentMonotonicNs = 1'000'000'000});
        co_await rig.host.send(Msg{.command = Command::pong, .sentMonotonicNs = rig.clock.uptimeNs + 1}); // future
        co_await rig.host.send(Msg{.command = Command::pong});                                           // unstamped
        co_await rig.host.send(Msg{.command = Command::ping, .sequence = 9, .sentMonotonicNs = 77});
        co_await rig.host.send(Msg{.command = Command::ping, .sequence = 10});
        co_await rig.host.roundTrip();
        co_await rig.session->sendPing();
        EXPECT_EQ((co_await rig.host.receive()).sequence, 4u); // three pongs counted
    }());

    const auto pongs = rig.host.receivedOf(Command::pong);
    ASSERT_EQ(pongs.size(), 2u);
    EXPECT_EQ(pongs[0].sequence, 9u);
    EXPECT_EQ(pongs[0].sentMonotonicNs, 77u);
    EXPECT_EQ(pongs[1].sequence, 10u);
    EXPECT_FALSE(pongs[1].sentMonotonicNs.has_value());
    EXPECT_EQ(rig.host.receivedOf(Command::ping).size(), 2u);
    ASSERT_EQ(rig.events.descriptors.size(), 3u); // one report per pong
    const ActiveSessionDescriptor d = rig.session->currentDescriptor();
    EXPECT_EQ(d.heartbeatCount, 3u);
    EXPECT_EQ(d.lastHeartbeatAt, Date(700'000'100));
    EXPECT_EQ(d.latestRTTMilliseconds, 12.5); // only the first pong could be measured
    EXPECT_EQ(rig.events.descriptors.back(), d);
    EXPECT_EQ(rig.session->diagnostics().latestRTTMilliseconds, 12.5);
    EXPECT_TRUE(rig.events.terminations.empty());
}

TEST(LoopbackClientSession, HostStateIsCopiedAndRecordedWithStoreErrorsDropped) {
    SessionRig rig({.withStore = true});
    const TrustedDevice hostRecord = rig.trustHost();
    rig.start();

    SavedWakeConfiguration wake = SavedWakeConfiguration::empty(Date(600));
    wake.bonjourServicePort = 51891;
    wake.sleepProxyEligible = true;
    const DisplayDescriptor display{7, 2560, 1600, 2.0};
    const Msg state{.command = Command::hostStateUpdated, .timestamp = kHostTime, .hostDisplay = display,
                    .accessibilityGranted = false, .wakeConfiguration = wake,
                    .powerStateEvidence = PowerStateEvidence::displayAsleep};
    rig.h.run([&]() -> asio::awaitable<void> {
        co_await rig.host.send(state);
        co_await rig.host.sendEnvelope(Msg{.command = Command::hostStateUpdated}); // nothing in it: still a report
        co_await rig.host.roundTrip();
        rig.drainStoreWorker();
        rig.secureStore->setFailure(InMemorySecureStore::Operation::save);
        Msg later = state;
        later.accessibilityGranted = true;
        later.powerStateEvidence = PowerStateEvidence::awake;
        co_await rig.host.send(later);
        co_await rig.host.roundTrip();
        rig.drainStoreWorker();
    }());

    ASSERT_EQ(rig.events.descriptors.size(), 3u);
    const ActiveSessionDescriptor& first = rig.events.descriptors[0];
    EXPECT_EQ(first.remoteDisplay, display);
    EXPECT_FALSE(first.hostAccessibilityGranted);
    EXPECT_EQ(first.wakeConfiguration, wake);
    EXPECT_EQ(first.hostPowerState, PowerStateEvidence::displayAsleep);
    EXPECT_EQ(rig.events.descriptors[1], first);
    EXPECT_TRUE(rig.events.descriptors[2].hostAccessibilityGranted); // the failed writes cost nothing here
    EXPECT_EQ(rig.events.descriptors[2].hostPowerState, PowerStateEvidence::awake);
    EXPECT_FALSE(rig.session->isClosed());

    rig.secureStore->clearFailure(InMemorySecureStore::Operation::save);
    const auto recorded = rig.store->device(hostRecord.id);
    ASSERT_TRUE(recorded && recorded->wakeConfiguration);
    EXPECT_EQ(recorded->wakeConfiguration->bonjourServicePort, 51891);
    EXPECT_TRUE(recorded->wakeConfiguration->sleepProxyEligible);
    EXPECT_EQ(recorded->wakeConfiguration->lastKnownPowerState, PowerStateEvidence::displayAsleep);
    EXPECT_EQ(recorded->wakeConfiguration->updatedAt, kHostTime); // stamped with the message's time
}

TEST(LoopbackClientSession, HostStateIsSavedOffTheLoopInOrderAndOnlyWhenChanged) {
    SessionRig rig({.withStore = true});
    const TrustedDevice hostRecord = rig.trustHost();
    rig.start();
    const auto saves = [&] { return rig.secureStore->callCount(InMemorySecureStore::Operation::save); };
    const auto savedBefore = saves();

    SavedWakeConfiguration wake = SavedWakeConfiguration::empty(Date(600)); // its power state unknown
    wake.bonjourServicePort = 51891;
    const Msg state{.command = Command::hostStateUpdated, .timestamp = kHostTime, .wakeConfiguration = wake,
                    .powerStateEvidence = PowerStateEvidence::displayAsleep};
    rig.gate->close();
    rig.h.run([&]() -> asio::awaitable<void> {
        co_await rig.host.send(state);
        co_await rig.host.roundTrip(); // answered while the write waits for the disk
    }());
    // Had the loop saved, it would have been stuck at the gate until the guard let it through.
    EXPECT_TRUE(rig.gate->waitUntilHeld());
    EXPECT_EQ(rig.events.descriptors.back().hostPowerState, PowerStateEvidence::displayAsleep);
    EXPECT_EQ(rig.store->device(hostRecord.id), hostRecord); // read at once, as it was
    rig.gate->open();
    rig.drainStoreWorker();
    EXPECT_FALSE(rig.gate->overran());
    EXPECT_EQ(saves(), savedBefore + 2);
    const auto recorded = rig.store->device(hostRecord.id);
    ASSERT_TRUE(recorded && recorded->wakeConfiguration);
    EXPECT_EQ(recorded->wakeConfiguration->bonjourServicePort, 51891);
    // The power state went in after the configuration, which does not know it.
    EXPECT_EQ(recorded->wakeConfiguration->lastKnownPowerState, PowerStateEvidence::displayAsleep);

    Msg awake = state;
    awake.powerStateEvidence = PowerStateEvidence::awake;
    rig.h.run([&]() -> asio::awaitable<void> {
        co_await rig.host.send(state); // nothing new: nothing queued
        co_await rig.host.roundTrip();
        rig.drainStoreWorker();
        EXPECT_EQ(saves(), savedBefore + 2);
        co_await rig.host.send(awake);
        co_await rig.host.roundTrip();
    }());
    rig.drainStoreWorker();
    EXPECT_EQ(rig.store->device(hostRecord.id)->wakeConfiguration->lastKnownPowerState, PowerStateEvidence::awake);
    EXPECT_FALSE(rig.session->isClosed());
}

TEST(LoopbackClientSession, PermissionsAndStreamStatusGovernVideo) {
    SessionRig rig;
    rig.start();
    VideoStreamConfiguration configuration;
    configuration.maxWidth = 1920;
    std::vector<std::size_t> reports;
    auto permissions = [](DevicePermissions p) { return Msg{.command = Command::permissionsUpdated, .permissions = p}; };
    // Named: g++ 12 mishandles a braced temporary holding a string across a co_await.
    const Msg active{.command = Command::videoStreamStatus, .reason = "Streaming.", .videoConfiguration = configuration,
                     .streamGeneration = 5, .streamActive = true};
    rig.h.run([&]() -> asio::awaitable<void> {
        co_await rig.host.send(Msg{.command = Command::permissionsUpdated}); // no permissions: nothing at all
        co_await rig.host.roundTrip();
        reports.push_back(rig.events.descriptors.size());

        co_await rig.host.send(active);
        co_await rig.host.sendFragment(fragment(5, 1));
        co_await rig.host.sendFragment(fragment(5, 20, 0, 2)); // half a frame, buffered
        co_await rig.host.roundTrip();
        reports.push_back(rig.events.descriptors.size());
        EXPECT_EQ(rig.session->diagnostics().totalBufferedBytes, 1);

        co_await rig.host.send(permissions(DevicePermissions(0x05)));
        co_await rig.host.roundTrip();
        EXPECT_EQ(rig.session->diagnostics().totalBufferedBytes, 0); // losing screen view empties the reassembler
        co_await rig.host.sendFragment(fragment(5, 2));              // dropped without screen view
        co_await rig.host.send(permissions(DevicePermissions::all));
        co_await rig.host.sendFragment(fragment(5, 3));
        co_await rig.host.sendFragment(fragment(5, 4, 0, 2)); // half a frame, buffered
        co_await rig.host.roundTrip();
        EXPECT_GT(rig.session->diagnostics().totalBufferedBytes, 0);

        // No streamActive, no generation.
        co_await rig.host.send(
            Msg{.command = Command::videoStreamStatus, .streamStopReason = VideoStreamStopReason::hostStopped});
        co_await rig.host.roundTrip();
    }());

    EXPECT_EQ(reports, (std::vector<std::size_t>{0, 1})); // frames are not reported as descriptor changes
    ASSERT_EQ(rig.events.frames.size(), 2u);
    EXPECT_EQ(rig.events.frames[0].sequence, 1u);
    EXPECT_EQ(rig.events.frames[1].sequence, 3u);
    ASSERT_EQ(rig.events.descriptors.size(), 4u);
    EXPECT_TRUE(rig.events.descriptors[0].isVideoStreaming);
    EXPECT_FALSE(rig.events.descriptors[1].isVideoStreaming);
    EXPECT_EQ(rig.events.descriptors[1].grantedPermissions, DevicePermissions(0x05));
    const ActiveSessionDescriptor last = rig.session->currentDescriptor();
    EXPECT_FALSE(last.isVideoStreaming);
    EXPECT_EQ(last.videoGeneration, 5u); // kept when no generation came
    EXPECT_EQ(last.sentVideoFrames, 2u);
    EXPECT_EQ(rig.session->diagnostics().totalBufferedBytes, 0); // an inactive stream empties the reassembler
    EXPECT_EQ(rig.events.statuses,
              (std::vector<VideoStreamStatusUpdate>{
                  {true, configuration, 5, std::nullopt, std::string("Streaming.")},
                  {false, std::nullopt, std::nullopt, VideoStreamStopReason::hostStopped, std::nullopt},
              }));
    EXPECT_TRUE(rig.host.receivedOf(Command::requestVideoKeyframe).empty());
}

TEST(LoopbackClientSession, LostFragmentsAskForAKeyframeAtMostEvery250Milliseconds) {
    SessionRig rig;
    rig.start();
    rig.clock.uptimeNs = 100'000'000; // younger than the pacing interval: the first request still goes
    const Bytes garbage = {0x56, 0x46, 0x07};
    std::vector<std::size_t> requests;
    rig.h.run([&]() -> asio::awaitable<void> {
        auto settled = [&]() -> asio::awaitable<void> {
            co_await rig.host.roundTrip();
            requests.push_back(rig.host.receivedOf(Command::requestVideoKeyframe).size());
        };
        co_await rig.host.send(Msg{.command = Command::videoStreamStatus, .streamGeneration = 3, .streamActive = true});
        for (int i = 0; i < 10; ++i) co_await rig.host.sendFragment(garbage);
        co_await settled();
        rig.clock.uptimeNs = 349'999'999; // just short of 250 ms after the first request
        co_await rig.host.sendFragment(garbage);
        co_await settled();
        rig.clock.uptimeNs = 350'000'000;
        co_await rig.host.sendFragment(garbage);
        co_await settled();
        rig.clock.uptimeNs += 1'000'000'000;
        co_await rig.host.sendFragment(fragment(3, 10, 0, 2));
        co_await rig.host.sendFragment(fragment(3, 10, 0, 2)); // duplicate
        co_await rig.host.sendFragment(fragment(2, 1));        // stale generation
        co_await settled();
        rig.clock.continuous += 1500ms; // the half frame expires with the next fragment
        co_await rig.host.sendFragment(fragment(3, 11, 0, 2));
        co_await settled();
    }());

    EXPECT_EQ(requests, (std::vector<std::size_t>{1, 1, 2, 2, 3}));
    for (const auto& request : rig.host.receivedOf(Command::requestVideoKeyframe)) {
        EXPECT_EQ(request.streamGeneration, 3u);
    }
    EXPECT_EQ(rig.session->diagnostics(), (AuthenticatedClientSession::Diagnostics{std::nullopt, 1, 1}));
    EXPECT_FALSE(rig.session->isClosed());
}

TEST(LoopbackClientSession, EveryEndingIsReportedOnceWithItsText) {
    using HostAct = std::function<asio::awaitable<void>(HostEnd&)>;
    auto sending = [](Msg message, bool asEnvelope = false) -> HostAct {
        return [message, asEnvelope](HostEnd& host) -> asio::awaitable<void> {
            if (asEnvelope) {
                co_await host.sendEnvelope(message);
            } else {
                co_await host.send(message);
            }
        };
    };
    const Reason interrupted = Reason::networkInterrupted("The authenticated session connection was interrupted.");
    const std::vector<std::pair<HostAct, Reason>> cases = {
        {sending({.command = Command::disconnect}), Reason::remoteDisconnect("The Mac closed the session.")},
        {sending({.command = Command::revoked}), Reason::revoked("Access for this iPad was revoked on the Mac.")},
        {sending({.command = Command::revoked, .reason = "Access revoked on Mac."}, true),
         Reason::revoked("Access revoked on Mac.")},
        {[](HostEnd& host) -> asio::awaitable<void> { co_await host.connection->sendRawFrame(bytesOf("hello")); },
         interrupted},
        {[](HostEnd& host) -> asio::awaitable<void> {
             host.sealFrame(SessionBinaryChannel::control, bytesOf("{}")); // a sequence the tablet never sees
             co_await host.send(Msg{.command = Command::pong});
         },
         interrupted},
        {[](HostEnd& host) -> asio::awaitable<void> {
             co_await sendHandshakeEnvelope(*host.connection, HandshakeMessageKind::pairingConfirmation,
                                            PairingConfirmation{});
         },
         interrupted},
        {[](HostEnd& host) -> asio::awaitable<void> {
             host.connection->cancel();
             co_return;
         },
         interrupted},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        SessionRig rig;
        rig.start();
        rig.h.run([&]() -> asio::awaitable<void> {
            co_await cases[i].first(rig.host);
            co_await until([&] { return !rig.events.terminations.empty(); });
            co_await rig.session->disconnect("again"); // too late: nothing happens
            co_await rig.session->stopVideoStream();   // never throws
            auto ping = co_await outcome(rig.session->sendPing());
            EXPECT_EQ(expectFailure<NetworkConnectionError>(ping).kind, NetworkConnectionError::Case::closed);
            auto wake = co_await outcome(rig.session->confirmVerifiedWake(Date(1)));
            EXPECT_EQ(expectFailure<NetworkConnectionError>(wake).kind, NetworkConnectionError::Case::closed);
            auto input = co_await outcome(rig.session->sendInput(InputEvent::pointerMove(0.5, 0.5)));
            EXPECT_EQ(expectFailure<RemoteInputTransportError>(input).kind,
                      RemoteInputTransportError::Case::sessionNotConnected);
            auto keyframe = co_await outcome(rig.session->requestVideoKeyframe(1));
            EXPECT_EQ(expectFailure<VideoStreamTransportError>(keyframe).kind,
                      VideoStreamTransportError::Case::sessionNotConnected);
        }());
        EXPECT_EQ(rig.events.terminations, std::vector<Reason>{cases[i].second});
        EXPECT_TRUE(rig.tabletConnection->didClose());
    }
}

TEST(LoopbackClientSession, SendChecksComeFirstAndSendsKeepTheirOrder) {
    SessionRig rig({.permissions = DevicePermissions(0x03), .capabilities = {Capability::pointer}});
    rig.start();
    rig.h.run([&]() -> asio::awaitable<void> {
        auto input = co_await outcome(rig.session->sendInput(InputEvent::pointerMove(0.1, 0.2)));
        EXPECT_EQ(expectFailure<RemoteInputTransportError>(input).kind,
                  RemoteInputTransportError::Case::remoteControlPermissionDenied);
        auto configure = co_await outcome(rig.session->configureVideoStream(VideoStreamConfiguration{}, 7));
        EXPECT_EQ(expectFailure<VideoStreamTransportError>(configure).kind,
                  VideoStreamTransportError::Case::h264CapabilityUnavailable);
        EXPECT_EQ(rig.session->currentDescriptor().videoGeneration, 0u);

        co_await rig.host.send(Msg{.command = Command::permissionsUpdated, .permissions = DevicePermissions(0x05)});
        co_await rig.host.send(Msg{.command = Command::hostStateUpdated, .accessibilityGranted = false});
        co_await rig.host.roundTrip();
        auto keyframe = co_await outcome(rig.session->requestVideoKeyframe(1));
        EXPECT_EQ(expectFailure<VideoStreamTransportError>(keyframe).kind,
                  VideoStreamTransportError::Case::screenViewPermissionDenied);
        input = co_await outcome(rig.session->sendInput(InputEvent::pointerMove(0.1, 0.2)));
        EXPECT_EQ(expectFailure<RemoteInputTransportError>(input).kind,
                  RemoteInputTransportError::Case::hostAccessibilityUnavailable);

        co_await rig.host.send(Msg{.command = Command::hostStateUpdated, .accessibilityGranted = true});
        co_await rig.host.roundTrip();
        rig.host.received.clear();
        // Four senders at once leave in the order they asked, each with the next seal.
        co_await (rig.session->sendInput(InputEvent::pointerMove(0.1, 0.2)) && rig.session->sendPing() &&
                  rig.session->sendInput(InputEvent::text("é")) && rig.session->confirmVerifiedWake(Date(123)));
        co_await rig.session->stopVideoStream();
        co_await rig.session->stopVideoStream(9);
        for (int i = 0; i < 6; ++i) co_await rig.host.receive();
    }());

    const auto& got = rig.host.received;
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[0].command, Command::remoteInput);
    EXPECT_EQ(got[0].sequence, 1u);
    EXPECT_EQ(got[0].controlMessage, ControlMessage::input(1, InputEvent::pointerMove(0.1, 0.2)));
    EXPECT_EQ(got[1].command, Command::ping);
    EXPECT_EQ(got[2].command, Command::remoteInput);
    EXPECT_EQ(got[2].sequence, 2u); // the refused attempts used no number
    EXPECT_EQ(got[2].controlMessage, ControlMessage::input(2, InputEvent::text("é")));
    EXPECT_EQ(got[3].command, Command::confirmVerifiedWake);
    EXPECT_EQ(got[3].timestamp, Date(123));
    EXPECT_EQ(got[4].command, Command::stopVideoStream);
    EXPECT_EQ(got[4].streamGeneration, 0u);
    EXPECT_EQ(got[5].streamGeneration, 9u);
    EXPECT_EQ(rig.session->currentDescriptor().receivedInputEvents, 2u);
}

TEST(LoopbackClientSession, AFailedPingEndsTheSessionWithTheHeartbeatText) {
    SessionRig rig({.tabletSendSequence = SessionCipher::kSequenceLimit}); // the first seal fails
    rig.start();
    rig.h.run(until([&] { return !rig.events.terminations.empty(); }));
    EXPECT_EQ(rig.events.terminations,
              std::vector<Reason>{Reason::networkInterrupted("The authenticated session heartbeat failed.")});
}

TEST(LoopbackClientSession, DisconnectTellsTheHostOnceAndEndsLocally) {
    SessionRig rig;
    std::exception_ptr hostRead;
    rig.h.run([&]() -> asio::awaitable<void> {
        co_await rig.session->disconnect("Switching devices."); // before start: allowed
        co_await rig.session->disconnect("again");
        Msg farewell = co_await rig.host.receive();
        EXPECT_EQ(farewell.command, Command::disconnect);
        EXPECT_EQ(farewell.reason, "Switching devices.");
        hostRead = co_await outcome(rig.host.receive());
    }());
    EXPECT_NE(hostRead, nullptr); // then only the close
    EXPECT_EQ(rig.events.terminations, std::vector<Reason>{Reason::localDisconnect()});
}

// A caller may spawn the farewell and let go at once: the coroutine holds the
// session from the call, so the host still hears it. On the loop's own thread
// the spawn starts the body before the caller lets go; from another thread
// (a UI thread handing work to the network loop) the body starts only once
// the loop runs, after the caller has let go.
TEST(LoopbackClientSession, ASpawnedDisconnectWhoseCallerLetGoStillReachesTheHost) {
    for (const bool fromAnotherThread : {false, true}) {
        SCOPED_TRACE(fromAnotherThread ? "from another thread" : "on the loop");
        SessionRig rig;
        rig.start();
        EXPECT_EQ(rig.h.run(rig.host.receive()).command, Command::ping);
        const auto letGo = [&] {
            asio::co_spawn(rig.h.io, rig.session->disconnect("bye"), asio::detached);
            rig.session.reset();
        };
        Msg farewell;
        if (fromAnotherThread) {
            std::thread ui(letGo);
            ui.join();
            farewell = rig.h.run(rig.host.receive());
        } else {
            farewell = rig.h.run([&]() -> asio::awaitable<Msg> {
                letGo();
                co_return co_await rig.host.receive();
            }());
        }
        EXPECT_EQ(farewell.command, Command::disconnect);
        EXPECT_EQ(farewell.reason, "bye");
        EXPECT_EQ(rig.events.terminations, std::vector<Reason>{Reason::localDisconnect()});
    }
}

// The tasks hold the session weakly: an owner that lets go without
// disconnect() leaves no heart-beating connection behind.
TEST(LoopbackClientSession, DroppingTheSessionClosesItsConnectionAndEndsItsTasks) {
    SessionRig rig;
    rig.start();
    rig.h.run([&]() -> asio::awaitable<void> {
        EXPECT_EQ((co_await rig.host.receive()).command, Command::ping);
        rig.session.reset();
        EXPECT_NE(co_await outcome(rig.host.receive()), nullptr); // only the close
        co_await until([&] { return rig.tabletConnection.use_count() == 1; }); // tasks and writer let go
    }());
    EXPECT_TRUE(rig.tabletConnection->didClose());
    EXPECT_TRUE(rig.events.terminations.empty());
}

TEST(LoopbackClientSession, DisconnectIsBoundedWhenTheHostStopsReading) {
    SessionRig rig;
    rig.start();
    // The host reads nothing: the tablet's writes stall once the socket buffers are full.
    std::size_t written = 0;
    bool floodEnded = false;
    std::exception_ptr floodFailure;
    auto flood = [&]() -> asio::awaitable<void> {
        floodFailure = co_await outcome([&]() -> asio::awaitable<void> {
            for (;;) {
                co_await rig.session->sendInput(InputEvent::text(std::string(60'000, 'x')));
                ++written;
            }
        }());
        floodEnded = true;
    };
    rig.h.run([&]() -> asio::awaitable<void> {
        asio::co_spawn(rig.h.io, flood(), asio::detached);
        std::size_t before = 0;
        for (int i = 0; i < 400 && (written == 0 || written != before); ++i) {
            before = written;
            co_await sleepFor(25ms);
        }
        EXPECT_GT(written, 0u);
        co_await rig.session->disconnect("Leaving."); // waits behind the stalled write, then gives up
        EXPECT_EQ(rig.events.terminations, std::vector<Reason>{Reason::localDisconnect()});
        co_await until([&] { return floodEnded; });
    }());
    EXPECT_NE(floodFailure, nullptr);
    EXPECT_TRUE(rig.tabletConnection->didClose());
}
