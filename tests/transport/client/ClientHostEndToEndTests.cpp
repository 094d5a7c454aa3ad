// The real tablet side against the real host server over loopback TLS.

#include "transport/server/ServerHarness.hpp"

#include "transport/client/ClientSessionConnector.hpp"
#include "transport/security/PairingProtocolError.hpp"

#include <gtest/gtest.h>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using Reason = SessionTerminationReason;
using SaveOp = InMemorySecureStore::Operation;

// The tablet: its identity, its trust store, and what its session reported.
struct Tablet {
    std::shared_ptr<DeviceIdentityService> identity = std::make_shared<DeviceIdentityService>(
        std::make_shared<InMemorySecureStore>(), [] { return std::string("Test iPad"); });
    std::shared_ptr<InMemorySecureStore> trustStorage = std::make_shared<InMemorySecureStore>();
    std::shared_ptr<TrustedDeviceStore> trust = std::make_shared<TrustedDeviceStore>(trustStorage);
    std::vector<std::string> codesShown;
    bool confirmCode = true;
    // Runs before the code is answered, as a user takes a moment to compare.
    std::function<asio::awaitable<void>()> beforeAnswering;
    std::vector<Reason> terminations;
    std::vector<ActiveSessionDescriptor> descriptors;

    DevicePublicIdentity publicIdentity() { return identity->publicIdentity(identity->loadOrCreateRecord()); }

    ClientSessionConnector::Request request(std::uint16_t port, HandshakePurpose purpose,
                                            std::optional<TrustedDevice> trustedHost = std::nullopt) {
        ClientSessionConnector::Request r;
        r.endpoint = {"127.0.0.1", port};
        r.identityService = identity;
        r.trustedDeviceStore = trust;
        r.purpose = purpose;
        r.trustedHost = std::move(trustedHost);
        r.capabilities = {Capability::h264, Capability::hevc, Capability::pointer};
        r.confirmVerificationCode = [this](const PairingVerification& verification) -> asio::awaitable<bool> {
            codesShown.push_back(verification.verificationCode);
            if (beforeAnswering) co_await beforeAnswering();
            co_return confirmCode;
        };
        r.sessionHandlers.onTerminated = [this](const Reason& reason) { terminations.push_back(reason); };
        r.sessionHandlers.onDescriptorUpdate = [this](const ActiveSessionDescriptor& d) { descriptors.push_back(d); };
        return r;
    }
};

ClientSessionConnector connectorFor(ServerHarness& h, asio::thread_pool& kdf) {
    return ClientSessionConnector(h.io.get_executor(), kdf, {5s, 10s, 20ms, 300ms});
}

void waitUntil(ServerHarness& h, const std::function<bool()>& condition) {
    h.run([&]() -> asio::awaitable<void> {
        for (int i = 0; i < 2500 && !condition(); ++i) co_await sleepFor(2ms);
    }());
    ASSERT_TRUE(condition());
}

template <class T>
asio::awaitable<std::pair<std::shared_ptr<T>, std::exception_ptr>> attempt(asio::awaitable<std::shared_ptr<T>> call) {
    try {
        co_return std::make_pair(co_await std::move(call), std::exception_ptr());
    } catch (...) {
        co_return std::make_pair(std::shared_ptr<T>(), std::current_exception());
    }
}

} // namespace

TEST(LoopbackClientHost, FirstPairingShowsOneCodeAndRunsTheSessionOnBothSides) {
    ServerHarness h;
    h.autoAnswer = true;
    asio::thread_pool kdf{1};
    Tablet tablet;
    auto connector = connectorFor(h, kdf);
    auto [session, failure] = h.run(attempt(connector.connect(tablet.request(h.port, HandshakePurpose::pair))));
    if (failure) std::rethrow_exception(failure);

    // The same six digits on both screens.
    ASSERT_EQ(tablet.codesShown.size(), 1u);
    ASSERT_FALSE(h.prompts.empty());
    ASSERT_TRUE(h.prompts.front().has_value());
    EXPECT_EQ(h.prompts.front()->verificationCode, tablet.codesShown[0]);

    const ActiveSessionDescriptor mine = session->currentDescriptor();
    EXPECT_EQ(mine.acceptedCapabilities, (CapabilitySet{Capability::h264, Capability::pointer}));
    ASSERT_EQ(h.sessions().size(), 1u);
    const ActiveSessionDescriptor theirs = h.sessions()[0];
    EXPECT_EQ(theirs.id, mine.id);
    EXPECT_EQ(theirs.acceptedCapabilities, mine.acceptedCapabilities);
    EXPECT_EQ(theirs.peerIdentity, tablet.publicIdentity());

    const DevicePublicIdentity hostIdentity = h.hostIdentity->publicIdentity(h.hostIdentity->loadOrCreateRecord());
    const auto hostRecord = tablet.trust->device(hostIdentity.id);
    ASSERT_TRUE(hostRecord.has_value());
    EXPECT_EQ(hostRecord->identity, hostIdentity);
    EXPECT_EQ(hostRecord->permissions, mine.grantedPermissions);
    EXPECT_TRUE(h.trust->device(tablet.publicIdentity().id).has_value());

    // Heartbeats are answered, input arrives in order, and a revocation on the
    // host ends the tablet's session with the host's words.
    waitUntil(h, [&] { return session->currentDescriptor().latestRTTMilliseconds.has_value(); });
    h.run([&]() -> asio::awaitable<void> {
        co_await session->sendInput(InputEvent::pointerMove(0.25, 0.5));
        co_await session->sendInput(InputEvent::text("hello"));
    }());
    waitUntil(h, [&] { return h.inputs.size() == 2; });
    EXPECT_EQ(h.inputs[0].second, InputEvent::pointerMove(0.25, 0.5));
    EXPECT_EQ(h.inputs[1].second, InputEvent::text("hello"));

    h.run(h.server->revokeDevice(tablet.publicIdentity().id));
    waitUntil(h, [&] { return !tablet.terminations.empty(); });
    EXPECT_EQ(tablet.terminations,
              std::vector<Reason>{Reason::revoked("Access for this iPad was revoked on the Mac.")});
}

TEST(LoopbackClientHost, ReconnectPinsTheMacAndAnotherIdentityIsBlocked) {
    ServerHarness h;
    asio::thread_pool kdf{1};
    Tablet tablet;
    // Both sides know each other from an earlier pairing.
    TrustedDevice tabletRecord;
    tabletRecord.identity = tablet.publicIdentity();
    tabletRecord.id = tabletRecord.identity.id;
    tabletRecord.permissions = DevicePermissions::all;
    h.trust->trust(tabletRecord);
    TrustedDevice hostRecord;
    hostRecord.identity = h.hostIdentity->publicIdentity(h.hostIdentity->loadOrCreateRecord());
    hostRecord.id = hostRecord.identity.id;
    hostRecord.permissions = DevicePermissions::all;
    tablet.trust->trust(hostRecord);

    auto connector = connectorFor(h, kdf);
    auto [session, failure] =
        h.run(attempt(connector.connect(tablet.request(h.port, HandshakePurpose::reconnect, hostRecord))));
    if (failure) std::rethrow_exception(failure);
    EXPECT_TRUE(h.prompts.empty()); // a known tablet is never prompted for
    ASSERT_EQ(h.sessions().size(), 1u);
    EXPECT_TRUE(tablet.trust->device(hostRecord.id)->lastSuccessfulConnection.has_value());

    // Pings are numbered by the pongs received.
    waitUntil(h, [&] { return session->currentDescriptor().heartbeatCount >= 2; });
    h.run(session->disconnect("Done."));
    EXPECT_EQ(tablet.terminations, std::vector<Reason>{Reason::localDisconnect()});
    waitUntil(h, [&] { return h.sessions().empty(); });

    // Another Mac answering at an address: refused in TLS by the pin, nothing written.
    ServerHarness impostor;
    tablet.trustStorage->resetCallCounts();
    auto impostorConnector = connectorFor(impostor, kdf);
    auto [none, refused] = impostor.run(
        attempt(impostorConnector.connect(tablet.request(impostor.port, HandshakePurpose::reconnect, hostRecord))));
    EXPECT_EQ(none, nullptr);
    ASSERT_NE(refused, nullptr);
    try {
        std::rethrow_exception(refused);
    } catch (const PairingProtocolError& error) {
        EXPECT_EQ(error.kind, PairingProtocolError::Case::identityMismatch);
    }
    EXPECT_EQ(tablet.trustStorage->callCount(SaveOp::save), 0u);
    EXPECT_TRUE(impostor.sessions().empty());
}

TEST(LoopbackClientHost, ACodeRefusedOnTheTabletWithdrawsTheHostPrompt) {
    ServerHarness h;
    asio::thread_pool kdf{1};
    Tablet tablet;
    tablet.confirmCode = false;
    tablet.beforeAnswering = [&]() -> asio::awaitable<void> {
        for (int i = 0; i < 2500 && h.prompts.empty(); ++i) co_await sleepFor(2ms); // both codes on screen
    };
    auto connector = connectorFor(h, kdf);
    auto [session, failure] = h.run(attempt(connector.connect(tablet.request(h.port, HandshakePurpose::pair))));
    ASSERT_NE(failure, nullptr);
    try {
        std::rethrow_exception(failure);
    } catch (const SessionHandshakeError& error) {
        EXPECT_STREQ(error.what(), "Pairing was cancelled because the verification code was not confirmed.");
    }
    // The host learns of it only by the close, and takes its prompt down.
    ASSERT_FALSE(h.prompts.empty());
    EXPECT_EQ(h.prompts.front()->verificationCode, tablet.codesShown.at(0));
    waitUntil(h, [&] { return !h.prompts.empty() && !h.prompts.back().has_value(); });
    EXPECT_TRUE(h.sessions().empty());
    EXPECT_FALSE(h.trust->device(tablet.publicIdentity().id).has_value());
}
