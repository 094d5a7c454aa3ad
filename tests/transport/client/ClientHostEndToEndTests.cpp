// The real tablet side against the real host server over loopback TLS.

#include "support/HostRig.hpp"
#include "support/TabletRig.hpp"

#include "transport/client/ClientSessionConnector.hpp"
#include "transport/security/PairingProtocolError.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

// Designated initializers leave the fields they do not name at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using Reason = SessionTerminationReason;
using SaveOp = InMemorySecureStore::Operation;
using Refusal = SessionHandshakeError::Case;

// Step limits of 2 s, a 2 s decision limit, heartbeats every 20 ms.
ClientSessionConnector connectorFor(HostRig& h, asio::thread_pool& kdf, asio::thread_pool& tabletStore) {
    return ClientSessionConnector(h.io.get_executor(), kdf, tabletStore, {2s, 2s, 20ms, 300ms});
}

DevicePublicIdentity macIdentity(HostRig& h) {
    return h.hostIdentity->publicIdentity(h.hostIdentity->loadOrCreateRecord());
}

// Both sides know each other from an earlier pairing; returns the tablet's
// record of the Mac, whose fingerprint it pins.
TrustedDevice pairedBefore(HostRig& h, TabletRig& tablet) {
    h.trust->trust(trustedRecord(tablet.publicIdentity()));
    tablet.trust->trust(trustedRecord(macIdentity(h)));
    return trustedRecord(macIdentity(h));
}

std::shared_ptr<AuthenticatedClientSession> reconnect(HostRig& h, ClientSessionConnector& connector,
                                                      TabletRig& tablet, const TrustedDevice& hostRecord) {
    return h.run(connector.connect(tablet.request(h.port, HandshakePurpose::reconnect, hostRecord)));
}

} // namespace

TEST(LoopbackClientHost, FirstPairingShowsOneCodeAndRunsTheSessionOnBothSides) {
    HostRig h;
    h.autoAnswer = true;
    // Queued by the host before its server-ready, so it is the host's first session message.
    const DisplayDescriptor display{3, 2560, 1600, 2.0};
    h.call([&] { h.server->updateHostState(display, true, std::nullopt); });
    asio::thread_pool kdf{1}, tabletStore{1};
    TabletRig tablet;
    // What the tablet learnt of this Mac before: the pairing keeps it, in one write.
    TrustedDevice previous = trustedRecord(macIdentity(h));
    previous.permissions = DevicePermissions::connect;
    previous.wakeConfiguration = SavedWakeConfiguration::empty(Date(50));
    previous.remoteEndpoints = {{.id = Uuid::random(), .host = "mac.example.ts.net", .port = 51891,
                                 .label = "Tailscale", .addedAt = Date(60)}};
    previous.preferredRemoteEndpointID = previous.lastSuccessfulEndpointID = previous.remoteEndpoints[0].id;
    previous.lastReachability =
        RemoteReachabilityObservation{previous.remoteEndpoints[0].id, ConnectionRouteKind::privateNetwork, Date(70)};
    tablet.trust->trust(previous);
    tablet.trustStorage->resetCallCounts();
    auto connector = connectorFor(h, kdf, tabletStore);
    const auto session = h.run(connector.connect(tablet.request(h.port, HandshakePurpose::pair)));
    EXPECT_EQ(tablet.trustStorage->callCount(SaveOp::save), 1u);
    EXPECT_EQ(tablet.trustStorage->callCount(SaveOp::deleteItem), 0u);

    ASSERT_EQ(tablet.codesShown.size(), 1u); // the same six digits on both screens
    EXPECT_EQ(tablet.codesShown[0].size(), 6u);
    ASSERT_EQ(h.prompts.size(), 2u); // shown, then withdrawn once answered
    ASSERT_TRUE(h.prompts[0].has_value());
    EXPECT_EQ(h.prompts[0]->verificationCode, tablet.codesShown[0]);
    EXPECT_EQ(h.prompts[0]->peerIdentity, tablet.publicIdentity());
    EXPECT_FALSE(h.prompts[1].has_value());

    const ActiveSessionDescriptor mine = session->currentDescriptor();
    EXPECT_EQ(mine.acceptedCapabilities, (CapabilitySet{Capability::h264, Capability::pointer}));
    ASSERT_EQ(h.sessions().size(), 1u);
    const ActiveSessionDescriptor theirs = h.sessions()[0];
    EXPECT_EQ(theirs.id, mine.id);
    EXPECT_EQ(theirs.acceptedCapabilities, mine.acceptedCapabilities);
    EXPECT_EQ(theirs.peerIdentity, tablet.publicIdentity());

    const auto hostRecord = tablet.trust->device(previous.id);
    ASSERT_TRUE(hostRecord.has_value());
    TrustedDevice expected = previous;
    expected.pairedAt = mine.connectedAt;
    expected.lastSuccessfulConnection = mine.connectedAt;
    expected.permissions = mine.grantedPermissions;
    EXPECT_EQ(hostRecord, expected);
    const auto tabletRecord = h.trust->device(tablet.publicIdentity().id);
    ASSERT_TRUE(tabletRecord.has_value());
    EXPECT_EQ(tabletRecord->identity, tablet.publicIdentity());
    EXPECT_EQ(tabletRecord->authorization, DeviceAuthorization::authorized);
    EXPECT_EQ(tabletRecord->permissions, DevicePermissions::all);

    // Both ciphers open only the next sequence, so any gap would end the
    // session. The host sealed its decision 0 and server-ready 1: the host
    // state it queued is its 2, the tablet's first report. The tablet sealed
    // its client-ready 0: its first ping is its 1, the host's first heartbeat.
    h.until([&] {
        return !tablet.descriptors.empty() && !h.sessions().empty() && h.sessions()[0].heartbeatCount >= 1;
    });
    EXPECT_EQ(tablet.descriptors.front().remoteDisplay, display);
    EXPECT_EQ(tablet.descriptors.front().heartbeatCount, 0u);
    EXPECT_FALSE(session->isClosed());

    // Heartbeats are numbered by the pongs and give a round trip.
    h.until([&] {
        const ActiveSessionDescriptor d = session->currentDescriptor();
        return d.heartbeatCount >= 2 && d.latestRTTMilliseconds.has_value();
    });

    const std::vector<InputEvent> events{InputEvent::pointerMove(0.25, 0.5), InputEvent::text("hello"),
                                         InputEvent::pointerMove(0.75, 0.5)};
    h.run([&]() -> asio::awaitable<void> {
        for (const InputEvent& event : events) co_await session->sendInput(event);
    }());
    h.until([&] { return h.inputs.size() >= 3 && h.sessions()[0].receivedInputEvents >= 3; });
    EXPECT_EQ(h.inputs, (std::vector<std::pair<Uuid, InputEvent>>{{mine.id, events[0]}, {mine.id, events[1]},
                                                                  {mine.id, events[2]}})); // in order, each once

    // The host starts the stream, says so and asks its source for a keyframe;
    // the tablet's own request follows; a frame comes back whole.
    const VideoStreamConfiguration configuration =
        VideoStreamConfiguration::clamped(Capability::h264, 1280, 720, 30, 3'500'000, 60, 2'097'152, 4'096);
    h.run(session->configureVideoStream(configuration, 4));
    h.until([&] { return !tablet.statuses.empty() && !h.keyframeRequests.empty(); });
    EXPECT_EQ(h.streamRequests, (std::vector<std::pair<VideoStreamConfiguration, std::uint64_t>>{{configuration, 4}}));
    EXPECT_EQ(tablet.statuses,
              (std::vector<VideoStreamStatusUpdate>{{true, configuration, 4, std::nullopt, std::nullopt}}));
    EXPECT_TRUE(session->currentDescriptor().isVideoStreaming);
    EXPECT_TRUE(h.sessions()[0].isVideoStreaming);
    h.run(session->requestVideoKeyframe(4));
    h.until([&] { return h.keyframeRequests.size() >= 2; });
    EXPECT_EQ(h.keyframeRequests, (std::vector<std::uint64_t>{4, 4}));

    const EncodedVideoFrame frame{.streamID = Uuid::random(),
                                  .generation = 4,
                                  .sequence = 1,
                                  .presentationTimestampUs = 33'000,
                                  .durationUs = 33'333,
                                  .payload = Bytes(10'000, 0x5A), // three fragments of at most 4 KiB
                                  .isKeyframe = true,
                                  .codecConfigVersion = 1,
                                  .width = 1280,
                                  .height = 720,
                                  .sourceDisplayWidth = 1280,
                                  .sourceDisplayHeight = 720,
                                  .captureTimestampNs = 123'456};
    h.call([&] { h.server->distributeVideoFrame(std::make_shared<const EncodedVideoFrame>(frame)); });
    h.until([&] { return !tablet.frames.empty(); });
    EXPECT_EQ(tablet.frames, std::vector<EncodedVideoFrame>{frame});
    EXPECT_EQ(session->currentDescriptor().sentVideoFrames, 1u);

    h.run(session->disconnect("Done."));
    EXPECT_EQ(tablet.terminations, std::vector<Reason>{Reason::localDisconnect()});
    h.until([&] { return h.sessions().empty(); });
    EXPECT_TRUE(h.errors.empty());
}

TEST(LoopbackClientHost, ReconnectPinsTheMacAndAnotherIdentityIsBlocked) {
    HostRig h;
    asio::thread_pool kdf{1}, tabletStore{1};
    TabletRig tablet;
    const TrustedDevice hostRecord = pairedBefore(h, tablet);
    auto connector = connectorFor(h, kdf, tabletStore);
    auto session = reconnect(h, connector, tablet, hostRecord);
    EXPECT_TRUE(h.prompts.empty()); // a known tablet is never prompted for
    ASSERT_EQ(h.sessions().size(), 1u);
    EXPECT_TRUE(tablet.trust->device(hostRecord.id)->lastSuccessfulConnection.has_value());
    EXPECT_TRUE(h.trust->device(tablet.publicIdentity().id)->lastSuccessfulConnection.has_value());
    h.run(session->disconnect("Done."));
    h.until([&] { return h.sessions().empty(); });

    // Another Mac, which even knows the tablet: refused in TLS by the pin, nothing written.
    HostRig impostor;
    pairedBefore(impostor, tablet);
    tablet.trust->trust(hostRecord);
    tablet.trustStorage->resetCallCounts();
    auto impostorConnector = connectorFor(impostor, kdf, tabletStore);
    const auto refused = impostor.run(
        outcome(impostorConnector.connect(tablet.request(impostor.port, HandshakePurpose::reconnect, hostRecord))));
    EXPECT_EQ(expectFailure<PairingProtocolError>(refused).kind, PairingProtocolError::Case::identityMismatch);
    EXPECT_EQ(tablet.trustStorage->callCount(SaveOp::save), 0u);
    EXPECT_EQ(tablet.trust->device(hostRecord.id), std::optional<TrustedDevice>(hostRecord));
    EXPECT_TRUE(impostor.sessions().empty());
}

TEST(LoopbackClientHost, EveryRefusalReachesTheTabletWithItsText) {
    struct Case {
        std::optional<bool> hostAnswer;                               // pairing when set; none: never answered
        std::function<void(TrustedDeviceStore&, const Uuid&)> onHost; // reconnect when set: the host's record edited
        SessionHandshakeError expected;
        std::string text;
        std::function<void(HostRig&)> hostReport; // what the host reported of it
    };
    using StoreCase = TrustedDeviceStoreError::Case;
    auto storeError = [](StoreCase kind) {
        return [kind](HostRig& h) { EXPECT_EQ(h.lastError<TrustedDeviceStoreError>().kind, kind); };
    };
    const std::vector<Case> cases = {
        {false,
         {},
         SessionHandshakeError::rejectedByHost("Pairing was rejected on the Mac."),
         "Pairing was rejected on the Mac.",
         [](HostRig& h) { EXPECT_TRUE(h.errors.empty()); }}, // a normal end
        // The host's 200 ms limit is well below the tablet's 2 s one: the host
        // starts waiting only after its code derivation.
        {std::nullopt,
         {},
         SessionHandshakeError(Refusal::approvalTimedOut),
         "Pairing approval timed out on the Mac. Try pairing again.",
         [](HostRig& h) {
             h.until([&] { return !h.errors.empty(); });
             EXPECT_EQ(h.lastError<PairingProtocolError>().kind, PairingProtocolError::Case::timedOut);
         }},
        {std::nullopt, [](TrustedDeviceStore& store, const Uuid& id) { store.remove(id); },
         SessionHandshakeError(Refusal::untrustedOnHost),
         "This iPad is not trusted by the Mac. Pair the devices again.", storeError(StoreCase::untrustedDevice)},
        {std::nullopt, [](TrustedDeviceStore& store, const Uuid& id) { store.revoke(id); },
         SessionHandshakeError(Refusal::revokedOnHost), "Access for this iPad was revoked on the Mac.",
         storeError(StoreCase::revokedDevice)},
        {std::nullopt,
         [](TrustedDeviceStore& store, const Uuid& id) {
             store.updatePermissions(id, DevicePermissions::screenView | DevicePermissions::remoteControl);
         },
         SessionHandshakeError(Refusal::permissionDeniedOnHost),
         "This iPad does not have permission to start a session on the Mac.", storeError(StoreCase::permissionDenied)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        HostRig h(HostRig::fastOptions(), 200ms);
        // Each case's workers are joined before its loop goes: a derivation
        // the refusal left running still hands its result to that loop.
        asio::thread_pool kdf{1}, tabletStore{1};
        h.autoAnswer = c.hostAnswer;
        TabletRig tablet;
        std::optional<TrustedDevice> hostRecord;
        if (c.onHost) {
            hostRecord = pairedBefore(h, tablet);
            c.onHost(*h.trust, tablet.publicIdentity().id);
        }
        const auto hostsRecordBefore = h.trust->device(tablet.publicIdentity().id);
        tablet.trustStorage->resetCallCounts();
        auto connector = connectorFor(h, kdf, tabletStore);
        const auto purpose = c.onHost ? HandshakePurpose::reconnect : HandshakePurpose::pair;
        const auto failure = h.run(outcome(connector.connect(tablet.request(h.port, purpose, hostRecord))));
        EXPECT_EQ(expectFailure<SessionHandshakeError>(failure), c.expected);
        EXPECT_EQ(expectFailure<SessionHandshakeError>(failure).what(), c.text);
        EXPECT_EQ(tablet.trustStorage->callCount(SaveOp::save), 0u);
        EXPECT_EQ(h.trust->device(tablet.publicIdentity().id), hostsRecordBefore);
        EXPECT_TRUE(h.sessions().empty());
        h.until([&] { return c.onHost ? h.errors.size() == 1 : h.prompts.size() == 2; });
        EXPECT_EQ(h.prompts.size(), c.onHost ? 0u : 2u); // a pairing's prompt is withdrawn once
        c.hostReport(h);
    }
}

TEST(LoopbackClientHost, WhileAPromptIsOpenOtherPairingsAreBusyThenRateLimited) {
    HostRig h; // five pairing attempts a minute
    asio::thread_pool kdf{1}, tabletStore{1};
    auto connector = connectorFor(h, kdf, tabletStore);
    TabletRig first;
    std::shared_ptr<AuthenticatedClientSession> firstSession;
    auto pairFirst = [&]() -> asio::awaitable<void> {
        firstSession = co_await connector.connect(first.request(h.port, HandshakePurpose::pair));
    };
    auto firstPaired = h.spawn(pairFirst());
    h.until([&] { return h.server->pendingPairingID().has_value(); });

    TabletRig other;
    std::vector<std::string> texts;
    for (int i = 0; i < 5; ++i) {
        const auto failure = h.run(outcome(connector.connect(other.request(h.port, HandshakePurpose::pair))));
        texts.push_back(expectFailure<SessionHandshakeError>(failure).what());
    }
    const std::string busy = "The Mac is already handling another pairing request.";
    EXPECT_EQ(texts, (std::vector<std::string>{busy, busy, busy, busy,
                                               "Too many pairing attempts were made. Wait a minute and try again."}));
    EXPECT_TRUE(other.codesShown.empty());
    EXPECT_EQ(h.lastError<PairingAttemptLimitError>().kind, PairingAttemptLimitError::Case::rateLimited);
    for (std::size_t i = 0; i < 4; ++i) { // the four busy refusals, then the limit
        const auto busyError = thrown<SessionHandshakeError>([&] { std::rethrow_exception(h.errors.at(i)); });
        EXPECT_EQ(busyError.kind, Refusal::pairingBusyOnHost);
    }

    // A known tablet is still served, and the open prompt left alone can still be approved.
    TabletRig known;
    h.run(reconnect(h, connector, known, pairedBefore(h, known))->disconnect(""));
    ASSERT_EQ(h.prompts.size(), 1u);
    h.call([&] { h.server->resolvePendingPairing(true, h.prompts[0]->id); });
    h.until([&] { return firstPaired.wait_for(0s) == std::future_status::ready; });
    firstPaired.get();
    h.until([&] { return h.sessions().size() == 1; });
    h.run(firstSession->disconnect(""));
}

TEST(LoopbackClientHost, ACodeRefusedOnTheTabletWithdrawsTheHostPrompt) {
    HostRig h;
    asio::thread_pool kdf{1}, tabletStore{1};
    TabletRig tablet;
    tablet.confirmCode = false;
    tablet.beforeAnswering = [&]() -> asio::awaitable<void> {
        for (int i = 0; i < 1000 && h.prompts.empty(); ++i) co_await sleepFor(2ms); // both codes on screen
    };
    auto connector = connectorFor(h, kdf, tabletStore);
    const auto failure = h.run(outcome(connector.connect(tablet.request(h.port, HandshakePurpose::pair))));
    EXPECT_EQ(expectFailure<SessionHandshakeError>(failure).kind, Refusal::verificationCodeRejected);
    EXPECT_STREQ(expectFailure<SessionHandshakeError>(failure).what(),
                 "Pairing was cancelled because the verification code was not confirmed.");
    // The host learns of it only by the close, and takes its prompt down.
    ASSERT_FALSE(h.prompts.empty());
    EXPECT_EQ(h.prompts.front()->verificationCode, tablet.codesShown.at(0));
    h.until([&] { return !h.prompts.back().has_value() && !h.errors.empty(); });
    EXPECT_EQ(h.lastError<PairingProtocolError>().kind, PairingProtocolError::Case::cancelled);
    EXPECT_FALSE(h.server->pendingPairingID().has_value());
    EXPECT_TRUE(h.sessions().empty());
    EXPECT_FALSE(h.trust->device(tablet.publicIdentity().id).has_value());
}

TEST(LoopbackClientHost, HostEndingsReachTheTabletOnceWithTheirTexts) {
    using Act = std::function<asio::awaitable<void>(HostRig&, Uuid)>;
    const std::vector<std::pair<Act, std::string>> endings = {
        {[](HostRig& h, Uuid id) -> asio::awaitable<void> { co_await h.server->revokeDevice(id); },
         "Access for this iPad was revoked on the Mac."},
        // Revoked behind the server's back: its check of the next heartbeat notices.
        {[](HostRig& h, Uuid id) -> asio::awaitable<void> {
             h.trust->revoke(id);
             co_return;
         },
         "Access revoked on Mac."},
        {[](HostRig& h, Uuid id) -> asio::awaitable<void> {
             co_await h.server->updateDevicePermissions(id, DevicePermissions::screenView |
                                                                DevicePermissions::remoteControl);
         },
         "Required session permissions were removed on the Mac."},
    };
    for (const auto& [act, text] : endings) {
        SCOPED_TRACE(text);
        HostRig h;
        asio::thread_pool kdf{1}, tabletStore{1}; // joined before the loop goes
        TabletRig tablet;
        auto connector = connectorFor(h, kdf, tabletStore);
        auto session = reconnect(h, connector, tablet, pairedBefore(h, tablet));
        h.run(act(h, tablet.publicIdentity().id));
        h.until([&] { return !tablet.terminations.empty() && h.sessions().empty(); });
        h.settle(60ms); // a few heartbeat intervals: nothing more is reported
        EXPECT_EQ(tablet.terminations, std::vector<Reason>{Reason::revoked(text)});
        EXPECT_TRUE(session->isClosed());
    }
}

TEST(LoopbackClientHost, DisconnectAllEndsEveryTabletSessionOnce) {
    HostRig h;
    asio::thread_pool kdf{1}, tabletStore{1};
    auto connector = connectorFor(h, kdf, tabletStore);
    TabletRig one;
    TabletRig two;
    auto first = reconnect(h, connector, one, pairedBefore(h, one));
    auto second = reconnect(h, connector, two, pairedBefore(h, two));
    ASSERT_EQ(h.sessions().size(), 2u);

    h.run(h.server->disconnectAll("Velorinth Host stopped remote access."));
    h.until([&] { return !one.terminations.empty() && !two.terminations.empty(); });
    h.settle(60ms);
    const std::vector<Reason> once{Reason::remoteDisconnect("Velorinth Host stopped remote access.")};
    EXPECT_EQ(one.terminations, once);
    EXPECT_EQ(two.terminations, once);
    EXPECT_TRUE(h.sessions().empty());
    std::vector<Uuid> cleaned = h.inputCleanups; // each host session cleaned up once
    std::vector<Uuid> ids{first->id, second->id};
    std::sort(cleaned.begin(), cleaned.end());
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(cleaned, ids);
}
