#include "support/HostRig.hpp"
#include "support/SilentConnection.hpp"

#include "transport/security/PairingProtocolError.hpp"

#include <atomic>
#include <future>
#include <thread>

namespace velorinth::testing {
namespace {

using tcp = asio::ip::tcp;
using Pair = HandshakePurpose;
using Clock = std::chrono::steady_clock;

// A TCP connection from `source` (any of 127.0.0.0/8) that never sends a byte.
tcp::socket silentConnection(HostRig& h, const char* source = "127.0.0.1") {
    return testing::silentConnection(h.io, h.port, source);
}

// One pool of `capacity` places for every connection, TLS or not.
HostSessionServer::Options admissionOptions(std::size_t capacity, std::size_t perAddress) {
    HostSessionServer::Options options = HostRig::fastOptions();
    options.admission.places.capacity = capacity;
    options.admission.places.openingCapacity = 0;
    options.admission.places.perSourceCapacity = perAddress;
    return options;
}

// One address fills the whole budget and is refused a fifth place before
// TLS; a paired tablet from another address still gets in.
TEST(LoopbackAdmission, OneAddressCannotHoldTheDoorShut) {
    HostRig h(admissionOptions(4, 4));
    std::vector<tcp::socket> silent;
    for (int i = 0; i < 4; ++i) silent.push_back(silentConnection(h, "127.0.0.2"));
    h.until([&] { return h.call([&] { return h.server->handshakePlacesTaken(); }) == 4; });
    tcp::socket fifth = silentConnection(h, "127.0.0.2");
    EXPECT_TRUE(closedWithin(h, fifth, 2s));
    EXPECT_FALSE(closedWithin(h, silent[0], 20ms));

    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    EXPECT_EQ(h.sessions().size(), 1u);
    EXPECT_TRUE(closedWithin(h, silent[0], 2s)); // the longest wait gave way
    EXPECT_FALSE(closedWithin(h, silent[1], 20ms));
}

// The first message is due soon after accept, TLS included; trickling steps
// meet the whole-handshake deadline; the person at the Mac is not hurried.
TEST(LoopbackAdmission, SilentAndTricklingConnectionsMeetTheirDeadlines) {
    HostSessionServer::Options options = HostRig::fastOptions();
    options.firstMessageTimeout = 500ms;
    options.wholeHandshakeTimeout = 1500ms;
    HostRig h(options); // each step may take 5 s
    auto elapsedSince = [](Clock::time_point start) { return Clock::now() - start; };

    Clock::time_point start = Clock::now();
    tcp::socket raw = silentConnection(h);
    EXPECT_TRUE(closedWithin(h, raw, 4s)); // in TLS
    EXPECT_GE(elapsedSince(start), 450ms);

    auto quiet = h.peer("Quiet");
    start = Clock::now();
    h.run(quiet->connect(h.port));
    EXPECT_TRUE(nextReadFails(h, *quiet)); // past TLS, no request
    EXPECT_LT(elapsedSince(start), 4s);

    auto trickler = h.peer("Trickler");
    h.trustTablet(*trickler);
    start = Clock::now();
    h.run(trickler->connect(h.port));
    h.settle(300ms);
    h.run(trickler->sendRequest(Pair::reconnect));
    h.run(trickler->answerResponse());
    EXPECT_TRUE(h.run(trickler->receiveDecision()).approved);
    EXPECT_TRUE(nextReadFails(h, *trickler)); // no ready message in time
    EXPECT_GE(elapsedSince(start), 1400ms);
    EXPECT_LT(elapsedSince(start), 4s);
    h.settle();
    EXPECT_EQ(h.lastError<PairingProtocolError>().kind, PairingProtocolError::Case::timedOut);

    auto pairing = h.peer("Pairing");
    h.run(pairing->startHandshake(h.port, Pair::pair));
    h.until([&] { return h.server->pendingPairingID().has_value(); });
    h.settle(1700ms);
    h.call([&] { h.server->resolvePendingPairing(true, *h.server->pendingPairingID()); });
    EXPECT_TRUE(h.run(pairing->receiveDecision()).approved);
    h.run(pairing->sendClientReady());
    h.run(pairing->receiveServerReady());
    EXPECT_EQ(h.sessions().size(), 1u);
}

// A full budget makes room by closing the least proven handshake that waits
// for its tablet: a bare TCP connection before one past TLS, however long
// either has waited; one waiting on the code derivation or on the prompt
// keeps its place.
TEST(LoopbackAdmission, EvictionTakesTheLeastProvenNeverTheHostsOwnWork) {
    HostSessionServer::Options options = admissionOptions(3, 0);
    // Among equals, the longest wait goes at once.
    options.admission.places.minimumAge = options.admission.places.silentGrace = 0ms;
    HostRig h(options);
    auto places = [&] { return h.call([&] { return h.server->handshakePlacesTaken(); }); };
    auto handshakes = [&] { return h.call([&] { return h.server->handshakesInFlight(); }); };
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    asio::post(h.hostKdf, [released] { released.wait(); });
    struct Released {
        std::promise<void>& promise;
        bool done = false;
        void operator()() {
            if (!done) promise.set_value();
            done = true;
        }
        ~Released() { (*this)(); }
    } releaseKdf{release};

    auto pairing = h.peer("Pairing");
    h.run(pairing->startHandshake(h.port, Pair::pair)); // the host now waits for the derivation
    auto quiet = h.peer("Quiet");
    h.run(quiet->connect(h.port)); // past TLS: older than the bare connection
    h.until([&] { return handshakes() == 2; });
    tcp::socket raw = silentConnection(h);
    h.until([&] { return places() == 3; });

    tcp::socket second = silentConnection(h);
    EXPECT_TRUE(closedWithin(h, raw, 2s));
    EXPECT_EQ(handshakes(), 2u); // the one past TLS stays

    releaseKdf();
    h.until([&] { return h.server->pendingPairingID().has_value(); });
    tcp::socket third = silentConnection(h);
    EXPECT_TRUE(closedWithin(h, second, 2s));
    EXPECT_FALSE(closedWithin(h, third, 20ms));
    EXPECT_EQ(places(), 3u);
    EXPECT_EQ(handshakes(), 2u);

    h.call([&] { h.server->resolvePendingPairing(true, *h.server->pendingPairingID()); });
    EXPECT_TRUE(h.run(pairing->receiveDecision()).approved);
    h.run(pairing->sendClientReady());
    h.run(pairing->receiveServerReady());
    EXPECT_EQ(h.sessions().size(), 1u);
    EXPECT_EQ(handshakes(), 1u);
}

// Strangers past TLS and idle connections flood full places: strangers take
// each other's and that of a stranger who has not spoken yet, idle ones each
// other's, never that of a paired tablet that has not spoken yet either; it
// then gets its session.
TEST(LoopbackAdmission, StrangersNeverEvictAPairedTabletsHandshake) {
    HostSessionServer::Options options = HostRig::fastOptions();
    options.admission.places.capacity = 2;
    options.admission.places.openingCapacity = 2;
    options.admission.places.minimumAge = options.admission.places.silentGrace = 0ms; // no age protects anyone here
    HostRig h(options);
    auto handshakes = [&] { return h.call([&] { return h.server->handshakesInFlight(); }); };

    auto tablet = h.peer("Paired");
    h.trustTablet(*tablet);
    h.run(tablet->connect(h.port));
    auto stranger = h.peer("Stranger");
    h.run(stranger->connect(h.port));
    h.until([&] { return handshakes() == 2; });

    std::vector<std::unique_ptr<ScriptedTabletPeer>> flood;
    for (int i = 0; i < 6; ++i) {
        flood.push_back(h.peer("Flood"));
        h.run(flood.back()->connect(h.port)); // the host may close it at once: its TLS still completed
    }
    EXPECT_TRUE(nextReadFails(h, *stranger));
    EXPECT_TRUE(nextReadFails(h, *flood.front()));

    // Idle connections fill the places before TLS and take each other's; the
    // handshakes' places are not theirs to take.
    std::vector<tcp::socket> idle;
    for (int i = 0; i < 6; ++i) idle.push_back(silentConnection(h, ("127.0.0." + std::to_string(10 + i)).c_str()));
    EXPECT_TRUE(closedWithin(h, idle.front(), 2s));
    EXPECT_FALSE(closedWithin(h, idle.back(), 20ms));
    EXPECT_EQ(handshakes(), 2u); // the paired tablet's and the last stranger's

    h.run(tablet->sendRequest(Pair::reconnect));
    h.run(tablet->answerResponse());
    EXPECT_TRUE(h.run(tablet->receiveDecision()).approved);
    h.run(tablet->sendClientReady());
    h.run(tablet->receiveServerReady());
    EXPECT_EQ(h.sessions().size(), 1u);
}

// After the Mac approved a pairing the host waits for the tablet's ready
// while its user compares the code: strangers cannot take that place, and
// neither the step timeout nor the whole handshake's cuts the wait; the
// approval timeout ends it.
TEST(LoopbackAdmission, AnApprovedPairingWaitsForItsTabletsUserUntilTheApprovalTimeout) {
    HostSessionServer::Options options = HostRig::fastOptions();
    options.admission.places.capacity = 1;
    options.admission.places.openingCapacity = 2;
    options.admission.places.minimumAge = options.admission.places.silentGrace = 0ms;
    constexpr auto kStep = 400ms;     // the whole handshake: twice that
    constexpr auto kApproval = 2500ms;
    constexpr auto kUserCheck = 1200ms;
    HostRig h(options, kApproval, true, 5, PairingReplayGuard::kDefaultCapacity, kStep);
    h.autoAnswer = true;
    h.answerInline = true;

    auto pairing = h.peer("Pairing");
    h.run(pairing->startHandshake(h.port, Pair::pair));
    h.until([&] { return !h.prompts.empty(); }); // answered as shown
    h.settle(100ms);                             // the decision is out: the host waits for the tablet's user
    std::vector<std::unique_ptr<ScriptedTabletPeer>> flood;
    for (int i = 0; i < 4; ++i) {
        flood.push_back(h.peer("Flood"));
        h.run(flood.back()->connect(h.port));
    }
    for (auto& stranger : flood) EXPECT_TRUE(nextReadFails(h, *stranger)); // no place could be made
    h.settle(kUserCheck);
    EXPECT_TRUE(h.run(pairing->receiveDecision()).approved);
    h.run(pairing->sendClientReady());
    h.run(pairing->receiveServerReady());
    EXPECT_EQ(h.sessions().size(), 1u);

    auto silent = h.peer("Silent");
    h.run(silent->startHandshake(h.port, Pair::pair));
    EXPECT_TRUE(h.run(silent->receiveDecision()).approved);
    EXPECT_TRUE(nextReadFails(h, *silent)); // no ready message
    h.settle();
    EXPECT_EQ(h.lastError<PairingProtocolError>().kind, PairingProtocolError::Case::timedOut);
    EXPECT_EQ(h.sessions().size(), 1u);
}

// Strangers' identifiers fill the replay memory but for its reserve: a
// stranger is then refused, a paired tablet is not.
TEST(LoopbackAdmission, AReplayGuardFullOfStrangersStillAdmitsATrustedTablet) {
    HostRig h(HostRig::fastOptions(), 10s, true, 5, 16);
    for (int i = 0; i < 15; ++i) h.replayGuard->consume(Uuid::random(), Date::now());

    auto stranger = h.peer("Stranger");
    h.run(stranger->connect(h.port));
    h.run(stranger->sendRequest(Pair::reconnect));
    EXPECT_TRUE(nextReadFails(h, *stranger));
    h.settle();
    EXPECT_EQ(h.lastError<PairingProtocolError>().kind, PairingProtocolError::Case::replayedHandshake);

    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    EXPECT_EQ(h.sessions().size(), 1u);
}

// Connections come and go without a release until a busy spell of them
// ends; then its freed memory goes back once, on the store worker. The quiet
// rounds are watched past the release delay, so a release that each
// connection's end asked for would have come before the flood.
TEST(LoopbackAdmission, AFloodsEndReturnsFreedMemoryOnceNeverPerConnection) {
    std::atomic<int> releases{0};
    std::atomic<bool> onLoop{false};
    const std::thread::id loopThread = std::this_thread::get_id(); // the test's thread runs the rig's loop
    HostSessionServer::Options options = HostRig::fastOptions();
    options.admission.places.busySpell = 8;
    // Long enough that a drain's later spell ends join the first's release, even on a busy machine.
    options.memoryReleaseDelay = 200ms;
    options.releaseFreedMemory = [&] {
        if (std::this_thread::get_id() == loopThread) onLoop = true;
        ++releases;
    };
    HostRig h(options);
    const auto placesTaken = [&] { return h.call([&] { return h.server->handshakePlacesTaken(); }); };
    for (int round = 0; round < 5; ++round) {
        std::vector<tcp::socket> few;
        for (int i = 0; i < 7; ++i) few.push_back(silentConnection(h));
        h.until([&] { return placesTaken() == 7; });
        few.clear();
        h.until([&] { return placesTaken() == 0; });
    }
    h.settle(2 * options.memoryReleaseDelay);
    EXPECT_EQ(releases, 0) << "fewer connections at once than a busy spell";

    std::vector<tcp::socket> flood;
    for (int i = 0; i < 40; ++i) flood.push_back(silentConnection(h));
    h.until([&] { return placesTaken() == 40; });
    flood.clear();
    h.until([&] { return releases > 0; });
    h.settle(400ms);
    EXPECT_EQ(releases, 1);
    EXPECT_FALSE(onLoop);
}

} // namespace
} // namespace velorinth::testing
