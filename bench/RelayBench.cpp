// Prints what the wake relay's checks and its store cost: request
// verifications per second beside a bare P-256 verification of the same
// signature, complete wake exchanges per second over loopback TLS (the real
// client and server, the store in a temporary directory with its flushes, a
// fake transmitter) with the replay ledger empty and holding 4,000 keys, and
// one save of the store's document at both sizes; what a stranger's 5,000
// signed requests leave in the store's document, beside no stranger; and a
// paired tablet's wakes, once a second, with no attack and under
// AbuseBench's attacks on the relay's door (idle sockets, floods of held
// connections, silent or after one byte), the relay with its own admission,
// and the process's RSS before, during and after each. Every loop is bounded in
// count and time; nothing is asserted.
// Usage: RelayBench [--seconds N] [--after N] [--attacks-only] (each attack's
// length, 10 s unless given; the wait after it before the last RSS, 10 s: a
// flood's backlog of accepted connections drains for seconds after it; only
// the attack rows)

#include "AbuseBenchSupport.hpp"
#include "BenchSupport.hpp"
#include "platform/crypto/P256PublicKey.hpp"
#include "platform/linux/FileSecureStore.hpp"
#include "support/RelayRig.hpp"
#include "support/ScriptedResolver.hpp"
#include "support/TemporaryDirectory.hpp"
#include "transport/relay/WakeRelayClient.hpp"
#include "transport/relay/WakeRelayCrypto.hpp"
#include "transport/security/SecurePairingProtocol.hpp"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

using namespace velorinth;
using namespace velorinth::bench;
using velorinth::testing::memoryIdentity;
using velorinth::testing::RelayRig;
using velorinth::testing::RelayRigOptions;

namespace {

constexpr std::size_t kFilledLedger = 4'000;

// Runs `step` until `maxCount` runs or `budget` has passed; returns runs per second.
double perSecond(const std::function<void()>& step, std::size_t maxCount, Clock::duration budget) {
    const auto start = Clock::now();
    std::size_t count = 0;
    while (count < maxCount && Clock::now() - start < budget) {
        step();
        ++count;
    }
    return static_cast<double>(count) / std::chrono::duration<double>(Clock::now() - start).count();
}

void verificationFigures() {
    const auto tablet = memoryIdentity("Bench Tablet");
    const DevicePublicIdentity identity = tablet->publicIdentity(tablet->loadOrCreateRecord());
    const Bytes binding(32, 0x42);
    const Date now = Date::now();
    const WakeRelayRequest request = WakeRelayCrypto::signedRequest(
        Uuid::random(), 1, WakeRelayAction::sendWakeSignal(), Uuid::random(), SecurePairingProtocol::epochSeconds(now),
        Bytes(WakeRelayCrypto::kNonceSize, 0x11), binding, *tablet);
    const TLSChannelContext context{identity.signingPublicKey, identity.fingerprint, binding};
    const Bytes digest =
        WakeRelayCrypto::requestDigest(request.requestID, 1, request.action, identity, request.targetMacDeviceID,
                                       request.timestampEpochSeconds, request.nonce, binding);
    const P256PublicKey key = P256PublicKey::fromX963(identity.signingPublicKey);
    const double checks = perSecond([&] { WakeRelayCrypto::verifyRequest(request, context, now); }, 200'000, 1s);
    const double bare = perSecond(
        [&] {
            if (!key.isValidSignature(request.signature, digest)) fail("the bare verification");
        },
        200'000, 1s);
    // The key arrives as bytes: reading it checks that the point is on the curve.
    const double parsed = perSecond(
        [&] {
            if (!P256PublicKey::fromX963(identity.signingPublicKey).isValidSignature(request.signature, digest)) {
                fail("the verification of a parsed key");
            }
        },
        200'000, 1s);
    std::printf("verifyRequest: %.0f per second; bare P-256 verification of the same signature: %.0f per second, "
                "with the key read from its bytes: %.0f per second\n",
                checks, bare, parsed);
}

struct FileRelay {
    velorinth::testing::TemporaryDirectory directory{"velorinth-relay-bench"};
    std::shared_ptr<WakeRelayConfigurationStore> store =
        std::make_shared<WakeRelayConfigurationStore>(std::make_shared<FileSecureStore>(directory.path));
};

// Keys consumed 200 s ago: kept by the 300 s pruning, given up one by one when the ledger is full.
void fillLedger(WakeRelayConfigurationStore& store, std::size_t count) {
    WakeRelayConfigurationStore::PersistedState state = store.load();
    const Date consumedAt = Date::now().addingTimeInterval(-200);
    for (std::size_t i = state.consumedRequests.size(); i < count; ++i) {
        state.consumedRequests.emplace(Uuid::random().lowercaseString() + ":" + std::to_string(i), consumedAt);
    }
    store.save(state);
}

void exchangeFigures(std::size_t ledgerSize) {
    FileRelay files;
    RelayRigOptions options;
    options.store = files.store;
    options.dispatchesPerMinute = 1'000'000;
    RelayRig relay(options);
    const auto tablet = memoryIdentity("Bench Tablet");
    const auto client = std::make_shared<WakeRelayClient>(
        relay.io.get_executor(), tablet,
        std::make_shared<velorinth::testing::ScriptedResolver>(relay.io.get_executor()), true);
    const Uuid mac = Uuid::random();
    relay.addTarget(mac);
    const PairedWakeRelayConfiguration paired = relay.run(client->pair(relay.invite(mac), mac, 10s));
    fillLedger(*files.store, ledgerSize);
    const double rate = perSecond(
        [&] {
            const WakeDispatchOutcome sent = relay.run(client->sendWakeSignal(paired, 10s));
            if (sent.datagramsSent < 1) fail("a wake through the relay");
        },
        2'000, 3s);
    std::printf("wake exchanges over loopback TLS, ledger of %zu keys: %.0f per second (ledger now %zu keys)\n",
                ledgerSize, rate, files.store->load().consumedRequests.size());
}

void saveFigures(std::size_t ledgerSize) {
    FileRelay files;
    fillLedger(*files.store, ledgerSize);
    const WakeRelayConfigurationStore::PersistedState state = files.store->load();
    std::vector<double> samples;
    for (int run = 0; run < 21; ++run) {
        const auto start = Clock::now();
        files.store->save(state);
        samples.push_back(milliseconds(Clock::now() - start));
    }
    std::sort(samples.begin(), samples.end());
    std::printf("one store save with a ledger of %zu keys: %.2f ms median, %.2f ms slowest of %zu (%zu bytes)\n",
                ledgerSize, samples[samples.size() / 2], samples.back(), samples.size(),
                json::encodeToBytes(state).size());
}

// The file store, counting its saves (each one written and flushed).
class CountingSecureStore final : public SecureStore {
public:
    explicit CountingSecureStore(std::filesystem::path root) : files_(std::move(root)) {}
    std::optional<Bytes> load(std::string_view service, std::string_view account) override {
        return files_.load(service, account);
    }
    void save(ByteView data, std::string_view service, std::string_view account) override {
        files_.save(data, service, account);
        ++saves;
    }
    void deleteItem(std::string_view service, std::string_view account) override {
        files_.deleteItem(service, account);
    }

    std::atomic<std::size_t> saves{0};

private:
    FileSecureStore files_;
};

struct StrangerFigures {
    std::size_t requests = 0;
    double savesPerRequest = 0;
    std::uintmax_t documentBytes = 0;
    std::size_t ledgerKeys = 0;
    std::size_t auditLines = 0;
    std::size_t tabletWakeSaves = 0;
};

// A relay with its store on disk and a paired tablet that has woken its Mac
// once; then up to `count` requests of a stranger, signed by its own key, each
// action a stranger can sign in turn, decided by the server as a connection
// would hand them over (no network); then the tablet's next wake.
StrangerFigures strangerFigures(std::size_t count) {
    velorinth::testing::TemporaryDirectory directory{"velorinth-relay-bench"};
    const auto disk = std::make_shared<CountingSecureStore>(directory.path);
    RelayRigOptions options;
    options.store = std::make_shared<WakeRelayConfigurationStore>(disk);
    options.dispatchesPerMinute = 1'000'000;
    RelayRig relay(options);
    velorinth::testing::ScriptedRelayPeer tablet(relay.io.get_executor(), "Bench Tablet");
    velorinth::testing::ScriptedRelayPeer stranger(relay.io.get_executor(), "Stranger");
    const Uuid mac = Uuid::random();
    relay.addTarget(mac);
    const WakeRelayPairingInvitation invitation = relay.invite(mac);
    relay.authorize(tablet, mac);
    const Bytes binding(32, 0x42);
    const auto decide = [&](velorinth::testing::ScriptedRelayPeer& peer, WakeRelayAction action,
                            const velorinth::testing::ScriptedRelayPeer::Edit& edit = {}) {
        const WakeRelayRequest request = peer.request(mac, std::move(action), Date::now(), binding, edit);
        const DevicePublicIdentity& client = request.clientIdentity;
        return relay.run(relay.server->handleRequest(
            request, TLSChannelContext{client.signingPublicKey, client.fingerprint, binding}));
    };
    if (decide(tablet, WakeRelayAction::sendWakeSignal()).status != WakeRelayResponseStatus::wakePacketSent) {
        fail("the paired tablet's first wake");
    }
    const Uuid tabletID = tablet.publicIdentity().id;

    StrangerFigures figures;
    const std::size_t before = disk->saves;
    const auto start = Clock::now();
    while (figures.requests < count && Clock::now() - start < 120s) {
        WakeRelayResponse answer;
        switch (figures.requests % 4) {
        case 0: answer = decide(stranger, WakeRelayAction::sendWakeSignal()); break;
        case 1:
            answer = decide(stranger, WakeRelayAction::sendWakeSignal(),
                            [&](WakeRelayRequest& r) { r.clientIdentity.id = tabletID; });
            break;
        case 2: answer = decide(stranger, WakeRelayAction::pairClient(Uuid::random(), invitation.secretHex)); break;
        default:
            answer = decide(stranger, WakeRelayAction::pairClient(invitation.ticketID, std::string(64, 'f')));
        }
        // Every one of them refused, or the figures would be of something else.
        if (answer.status == WakeRelayResponseStatus::paired ||
            answer.status == WakeRelayResponseStatus::wakePacketSent) {
            fail("a stranger's request was not refused");
        }
        ++figures.requests;
    }
    figures.savesPerRequest =
        figures.requests == 0 ? 0 : static_cast<double>(disk->saves - before) / static_cast<double>(figures.requests);
    figures.documentBytes =
        std::filesystem::file_size(directory.path / WakeRelayConfigurationStore::service() /
                                   WakeRelayConfigurationStore::kAccount);
    const WakeRelayConfigurationStore::PersistedState state = options.store->load();
    figures.ledgerKeys = state.consumedRequests.size();
    figures.auditLines = state.auditLog.size();

    const std::size_t beforeWake = disk->saves;
    if (decide(tablet, WakeRelayAction::sendWakeSignal()).status != WakeRelayResponseStatus::wakePacketSent) {
        fail("the paired tablet's wake after the stranger");
    }
    figures.tabletWakeSaves = disk->saves - beforeWake;
    return figures;
}

void strangerSection() {
    constexpr std::size_t kStrangerRequests = 5'000;
    const StrangerFigures stranger = strangerFigures(kStrangerRequests);
    const StrangerFigures none = strangerFigures(0);
    std::printf("state document after a stranger's %zu signed requests (refused, decided by the server, store on "
                "disk): %ju bytes, %.2f saves per request, ledger of %zu keys, audit of %zu lines; "
                "after no stranger: %ju bytes, ledger of %zu keys, audit of %zu lines\n",
                stranger.requests, stranger.documentBytes, stranger.savesPerRequest, stranger.ledgerKeys,
                stranger.auditLines, none.documentBytes, none.ledgerKeys, none.auditLines);
    std::printf("the paired tablet's next wake (its Mac woken): %zu saves after the stranger, %zu after no stranger\n",
                stranger.tabletWakeSaves, none.tabletWakeSaves);
}

// ---- a paired tablet's wakes while the relay's door is attacked

constexpr auto kWakeLimit = 5s; // a wake slower than this counts as failed

struct WakeTries {
    std::size_t tried = 0;
    std::vector<double> ms; // of those that succeeded
};

// Tablet loop: a wake through the relay once a second until `until`, each
// counted when the relay answered that it sent the Mac's packets.
asio::awaitable<void> wakeEverySecond(WakeRelayClient* client, PairedWakeRelayConfiguration paired,
                                      Clock::time_point until, WakeTries* tries) {
    while (Clock::now() < until) {
        const auto start = Clock::now();
        bool sent = false;
        auto wake = [](WakeRelayClient* c, PairedWakeRelayConfiguration p, bool* done) -> asio::awaitable<void> {
            co_await c->sendWakeSignal(std::move(p), kWakeLimit);
            *done = true;
        }(client, paired, &sent);
        co_await endsBefore(std::move(wake), start + kWakeLimit);
        ++tries->tried;
        if (sent) tries->ms.push_back(milliseconds(Clock::now() - start));
        co_await sleepUntil(start + 1s);
    }
}

// One row: the wakes during the attack `attacker` names (none when empty),
// run by `workers` workers over `sources` addresses in a process of their
// own, with what the relay's transmitter sent meanwhile as the check.
struct AttackRig {
    Loop& relayLoop;
    RelayRig& relay;
    Loop& tabletLoop;
    WakeRelayClient& client;
    const PairedWakeRelayConfiguration& paired;
    Clock::duration length;
    Clock::duration afterWait; // before the row's last RSS
    TimedReleases& releases;   // the relay's returns of freed memory
};

void attackRow(AttackRig& rig, const char* name, std::string_view attacker, std::size_t workers, std::size_t sources) {
    auto& [relayLoop, relay, tabletLoop, client, paired, length, afterWait, releases] = rig;
    auto transmitted = [&] {
        return await(
            relayLoop, [&]() -> asio::awaitable<std::size_t> { co_return relay.transmitter->sent().size(); }(),
            "the transmitter's count");
    };
    const std::size_t sentBefore = transmitted();
    const long rssBefore = residentKiB();
    const TimedReleases::Sample releasesBefore = releases.sample(true);
    std::atomic<long> peakRSS = rssBefore;
    std::atomic<bool> sampling = true;
    std::thread sampler([&] {
        while (sampling) {
            std::this_thread::sleep_for(250ms);
            peakRSS = std::max(peakRSS.load(), residentKiB());
        }
    });
    const auto until = Clock::now() + length;
    std::optional<AttackerProcess> attack;
    if (!attacker.empty()) attack.emplace(attacker, relay.port, workers, sources, length);
    WakeTries tries;
    await(tabletLoop, wakeEverySecond(&client, paired, until, &tries), "the wakes", length + kWakeLimit + kStepLimit);
    const std::size_t count = attack ? attack->finish() : 0;
    // Held connections end with the attacker's process; the relay closes what is left of them.
    std::this_thread::sleep_for(1s);
    const std::size_t sent = transmitted() - sentBefore;
    sampling = false;
    sampler.join();
    const long rssSoon = residentKiB();
    std::this_thread::sleep_for(afterWait);
    const long rssAfter = residentKiB();
    const TimedReleases::Sample released = releases.sample();
    std::printf("%-34s %5zu | %3zu/%-3zu %6.0f | %6zu%s | %8zu | %5ld %5ld %5ld %5ld %+5ld | %3zu %6.1f\n", name,
                sources, tries.ms.size(), tries.tried, percentile(tries.ms, 0.95), sent,
                sent == tries.ms.size() ? "" : " (MISMATCH)", count, rssBefore / 1024, peakRSS.load() / 1024,
                rssSoon / 1024, rssAfter / 1024, (rssAfter - rssBefore) / 1024, released.count - releasesBefore.count,
                released.longestMs);
    std::fflush(stdout);
}

void attackFigures(Clock::duration length, Clock::duration afterWait) {
    RelayRigOptions options;
    options.admission = WakeRelayServerOptions{}.admission; // as the relay program runs it
    options.handshakeTimeout = 15s;                         // the relay program's
    TimedReleases releases;
    options.releaseFreedMemory = releases.timed();
    RelayRig relay(options);
    const Uuid mac = Uuid::random();
    relay.addTarget(mac);
    const WakeRelayPairingInvitation invitation = relay.invite(mac);
    {
        Loop relayLoop(relay.io), tabletLoop;
        const auto client = std::make_shared<WakeRelayClient>(
            tabletLoop.io.get_executor(), memoryIdentity("Bench Tablet"),
            std::make_shared<velorinth::testing::ScriptedResolver>(tabletLoop.io.get_executor()), true);
        const PairedWakeRelayConfiguration paired =
            await(tabletLoop, client->pair(invitation, mac, 10s), "the tablet's pairing");
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(length).count();
        std::printf("a relay-paired tablet on 127.0.0.1 wakes the Mac through the relay once a second for %lld s per "
                    "attack, the relay with its own admission on 127.0.0.1 (store in memory, fake transmitter);\n"
                    "  ok/try: wakes answered 'sent' within %lld s, from the tablet's call to the verified answer, "
                    "and their p95; sent: packets the relay's transmitter sent meanwhile; count: attacking "
                    "connections opened (by a process of their own);\n  RSS MiB of this process (the relay and the "
                    "tablet) before the attack, at its peak, 1 s and %lld s after it, and the last against before;\n"
                    "  rel: the relay's returns of freed memory in the row, and the longest in ms (on its store "
                    "worker)\n",
                    static_cast<long long>(seconds), static_cast<long long>(kWakeLimit / 1s),
                    static_cast<long long>(afterWait / 1s + 1));
        std::printf("%-34s %5s | %-7s %6s | %6s | %8s | %-29s | %-10s\n", "attack on the relay", "srcs", "ok/try",
                    "p95 ms", "sent", "count", "RSS MiB bef/peak/1s/aft dBef", "rel     ms");
        AttackRig rig{relayLoop, relay, tabletLoop, *client, paired, length, afterWait, releases};
        attackRow(rig, "no attack", {}, 1, 1);
        for (const std::size_t sources : {1, 8, 253}) {
            attackRow(rig, "64 idle TCP sockets", "silentTCP", 64, sources);
            attackRow(rig, "256 idle TCP sockets", "silentTCP", 256, sources);
        }
        attackRow(rig, "5,000 connections/s, held", "heldChurn", kChurnWorkers, kChurnSources);
        attackRow(rig, "5,000 connections/s, 1 byte, held", "heldChurnAfterOneByte", kChurnWorkers, kChurnSources);
        tabletLoop.halt();
        relayLoop.halt(); // the rig drives its loop again as it goes
    }
}

int secondsOption(int argc, char** argv, const char* flag, int fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], flag) == 0) return std::clamp(std::atoi(argv[i + 1]), 1, 600);
    }
    return fallback;
}

} // namespace

int main(int argc, char** argv) {
    runAttackerProcessIfAsked(argc, argv);
    try {
        const bool attacksOnly =
            std::any_of(argv + 1, argv + argc, [](const char* arg) { return std::strcmp(arg, "--attacks-only") == 0; });
        if (!attacksOnly) {
            verificationFigures();
            exchangeFigures(0);
            exchangeFigures(kFilledLedger);
            saveFigures(0);
            saveFigures(kFilledLedger);
            strangerSection();
        }
        attackFigures(std::chrono::seconds(secondsOption(argc, argv, "--seconds", 10)),
                      std::chrono::seconds(secondsOption(argc, argv, "--after", 10)));
    } catch (const std::exception& e) {
        fail(e.what());
    }
    return 0;
}
