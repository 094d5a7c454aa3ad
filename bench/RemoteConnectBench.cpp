// Prints, over loopback against the real host, p50 and p95 of: a raw
// reconnection through the session connector (the reference); the remote
// connection service's connect with the first route answering (and its
// ratio to the reference); the same behind two refused routes; a
// wake-and-connect run to `connected` with a saved endpoint answering, first
// frame included; and a local wake, from the magic packet to `connected`.
// Host and tablet share one loop for these. Then, on the host program's own
// road with the real capture and encoder on a private 1920x1080 display
// (StreamStartRig), a paired tablet's reconnect, 1080p60 stream request and
// first decoded picture, with where the start's time goes; and the process's
// idle RSS and live heap after 1, 10, 25, 50 and 100 stream starts in one
// session. `--first-picture` runs only the first picture's row,
// `--stream-memory` only the last. Nothing is asserted.

#include "AbuseBenchSupport.hpp"
#include "BenchSupport.hpp"
#include "StreamStartRig.hpp"

#include "support/FakeBonjourBrowsing.hpp"
#include "support/HostRig.hpp"
#include "support/SyntheticVideoSource.hpp"
#include "support/TabletRig.hpp"

#include "tablet/TabletWakeEnvironment.hpp"
#include "transport/client/RemoteConnectionService.hpp"
#include "platform/SystemHostnameResolver.hpp"
#include "transport/client/WakeConnectCoordinator.hpp"

#include <asio/ip/udp.hpp>

#include <cstdio>

using namespace velorinth;
using namespace velorinth::testing;
using bench::Clock;
using bench::milliseconds;
using bench::percentile;
using bench::StartTimeline;
using bench::StreamStartHost;

namespace {

constexpr int kRounds = 25;

struct Rig : HostRig {
    asio::thread_pool kdf{1};
    asio::thread_pool tabletStore{1};
    TabletRig tablet;
    std::shared_ptr<SyntheticVideoSource> video = SyntheticVideoSource::install(*this);
    std::shared_ptr<FakeBonjourBrowsing::Made> made = std::make_shared<FakeBonjourBrowsing::Made>();
    TrustedDevice mac;
    std::shared_ptr<RemoteConnectionService> service;
    std::shared_ptr<TabletWakeEnvironment> environment;
    int added = 1;

    Rig() : HostRig(fastOptions(), 90s, true, 1'000'000) {
        video->interval = 5ms;
        HostRig::trust->trust(trustedRecord(tablet.publicIdentity()));
        mac = trustedRecord(hostIdentity->publicIdentity(hostIdentity->loadOrCreateRecord()));
        service = std::make_shared<RemoteConnectionService>(io.get_executor(), kdf, tabletStore, tablet.identity,
                                                            tablet.trust, std::make_shared<SystemHostnameResolver>(),
                                                            true);
        environment = std::make_shared<TabletWakeEnvironment>(
            ReconnectDialer{io.get_executor(), kdf, tabletStore, tablet.identity, tablet.trust, nullptr, {}},
            TabletWakeEnvironmentOptions{0s, 10s, 30s, false, FakeBonjourBrowsing::factory(made)});
    }
    ~Rig() {
        environment->takeSinks();
        kdf.join();
        tabletStore.join();
    }
    RemoteEndpoint endpoint(std::uint16_t at) {
        return RemoteEndpoint{Uuid::random(), "127.0.0.1", at, RemoteHostKind::ipv4Literal,
                              RemoteTransportKind::privateNetwork, std::nullopt, Date(added++), std::nullopt,
                              std::nullopt};
    }
    void saveEndpoints(std::vector<RemoteEndpoint> endpoints) {
        TrustedDevice record = tablet.trust->device(mac.id).value_or(mac);
        record.remoteEndpoints = std::move(endpoints);
        record.lastSuccessfulEndpointID.reset();
        record.preferredRemoteEndpointID.reset();
        for (auto& saved : record.remoteEndpoints) saved.lastVerifiedAt.reset();
        tablet.trust->trust(record);
    }
    std::uint16_t closedPort() {
        asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
        return probe.local_endpoint().port();
    }
    template <class Body>
    std::vector<double> measure(Body body) {
        std::vector<double> times;
        for (int round = 0; round < kRounds; ++round) times.push_back(body());
        return times;
    }
    std::shared_ptr<WakeConnectCoordinator> coordinator(WakeDispatchPolicy policy, BackoffPolicy backoff) {
        return std::make_shared<WakeConnectCoordinator>(
            io.get_executor(), tablet.trust, tabletStore,
            std::make_shared<LocalWakeService>(io.get_executor(), nullptr, std::move(policy)), nullptr,
            WakeConnectTimingPolicy(3s, 10s, backoff, std::nullopt, 1, 5s, 5s, true), environment->environment(),
            nullptr);
    }
};

void print(const char* what, const std::vector<double>& times, const char* extra = "") {
    std::printf("  %-64s | %6.1f ms %6.1f ms%s\n", what, percentile(times, 0.5), percentile(times, 0.95), extra);
}

void loopbackRows() {
    Rig h;
    h.tablet.trust->trust(h.mac);
    const CapabilitySet capabilities{Capability::h264, Capability::pointer, Capability::keyboard};
    std::printf("RemoteConnectBench on 127.0.0.1, host and tablet on one loop, %d rounds each:\n", kRounds);
    std::printf("  %-64s |    p50       p95\n", "");

    ClientSessionConnector connector(h.io.get_executor(), h.kdf, h.tabletStore, {10s, 90s, 30s});
    const auto raw = h.measure([&] {
        const auto start = Clock::now();
        const auto session = h.run(connector.connect(h.tablet.request(h.port, HandshakePurpose::reconnect, h.mac)));
        const double elapsed = milliseconds(Clock::now() - start);
        h.run(session->disconnect("Round over."));
        return elapsed;
    });
    print("(1) reconnect through the session connector (reference)", raw);

    const auto viaService = [&](std::vector<RemoteEndpoint> endpoints) {
        h.saveEndpoints(std::move(endpoints));
        const auto start = Clock::now();
        const auto outcome = h.run(h.service->connect(h.mac.id, std::nullopt, false, 10s, capabilities, 30s, {}));
        const double elapsed = milliseconds(Clock::now() - start);
        h.run(outcome.session->disconnect("Round over."));
        return elapsed;
    };
    const auto first = h.measure([&] { return viaService({h.endpoint(h.port)}); });
    char ratio[64];
    std::snprintf(ratio, sizeof ratio, "   (%.2fx the reference at p50)", percentile(first, 0.5) / percentile(raw, 0.5));
    print("(2) remote connection, first route answering", first, ratio);
    const auto behindRefused = h.measure(
        [&] { return viaService({h.endpoint(h.closedPort()), h.endpoint(h.closedPort()), h.endpoint(h.port)}); });
    print("(3) remote connection after two refused routes", behindRefused);

    h.saveEndpoints({h.endpoint(h.port)});
    const WakeDispatchPolicy quick({9}, std::chrono::nanoseconds(0), 1000, 2s, true);
    const auto savedAnswering = h.measure([&] {
        const auto coordinator = h.coordinator(quick, BackoffPolicy{20ms, 200ms, 1.5, 40});
        const auto start = Clock::now();
        const WakeConnectResult result = h.run(coordinator->wakeAndConnect(h.mac.id));
        const double elapsed = milliseconds(Clock::now() - start);
        if (result.finalState.kind() != WakeConnectState::Case::connected) bench::fail(result.finalState.detailedStatusText());
        h.run(std::static_pointer_cast<AuthenticatedClientSession>(result.session)->disconnect("Round over."));
        return elapsed;
    });
    print("(4) wake and connect, a saved endpoint answering, first frame", savedAnswering);

    // Asleep until the magic packet arrives; then the host listens again.
    SavedWakeConfiguration wake = SavedWakeConfiguration::empty(Date::now());
    wake.targets = {WakeNetworkInterfaceTarget("en0", WakeInterfaceKind::ethernet,
                                               MACAddress(std::string_view("00:11:22:33:44:55")),
                                               std::string("127.0.0.1"))};
    wake.wakeForNetworkAccess = Evidence<bool>::verified(true);
    h.tablet.trust->updateWakeConfiguration(h.mac.id, wake);
    asio::ip::udp::socket receiver(h.io, {asio::ip::make_address("127.0.0.1"), 0});
    const WakeDispatchPolicy toReceiver({receiver.local_endpoint().port()}, std::chrono::nanoseconds(0), 1000, 2s,
                                        true);
    const auto afterWake = h.measure([&] {
        h.run(h.server->stop());
        Clock::time_point woken;
        Bytes packet(200);
        asio::ip::udp::endpoint from;
        receiver.async_receive_from(asio::buffer(packet), from, [&](const asio::error_code& error, std::size_t) {
            if (error) return;
            woken = Clock::now();
            h.server->startListening(h.port, false);
        });
        const auto coordinator = h.coordinator(toReceiver, BackoffPolicy{20ms, 200ms, 1.5, 40});
        const WakeConnectResult result = h.run(coordinator->wakeAndConnect(h.mac.id));
        const double elapsed = milliseconds(Clock::now() - woken);
        if (!result.didSendWakeRequest || result.finalState.kind() != WakeConnectState::Case::connected) {
            bench::fail(result.finalState.detailedStatusText());
        }
        h.run(std::static_pointer_cast<AuthenticatedClientSession>(result.session)->disconnect("Round over."));
        return elapsed;
    });
    print("(5) local wake: magic packet to connected (backoff from 20 ms)", afterWake);
}

double loadAverage() {
    double load = -1;
    if (std::FILE* file = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(file, "%lf", &load) != 1) load = -1;
        std::fclose(file);
    }
    return load;
}

constexpr int kPictureRounds = 30;

// The host and the tablet trust each other, as after a pairing; the Mac's identity.
template <class Tablet>
DevicePublicIdentity trustEachOther(StreamStartHost& host, Tablet& tablet) {
    host.trust->trust(trustedRecord(tablet.publicIdentity()));
    const DevicePublicIdentity mac = host.identity->publicIdentity(host.identity->loadOrCreateRecord());
    tablet.hostRecord = trustedRecord(mac);
    tablet.trust->trust(*tablet.hostRecord);
    return mac;
}

void firstPictureRow() {
    using T = StartTimeline;
    if (!PrivateXvfb::isInstalled()) {
        std::printf("  (6) skipped: Xvfb is not installed\n");
        return;
    }
    const double loadBefore = loadAverage();
    const auto timeline = std::make_shared<StartTimeline>();
    StreamStartHost host(timeline);
    bench::Loop tabletLoop;
    asio::thread_pool kdf{1}, store{1};
    const auto tablet = bench::makeTablet(tabletLoop, kdf, store);
    const DevicePublicIdentity mac = trustEachOther(host, *tablet);

    constexpr std::array<T::Mark, 8> kStages{T::requestAtHost, T::captureStarted, T::firstSample, T::firstEncoded,
                                             T::firstAtServer, T::streamActive, T::firstReceived, T::firstDecoded};
    constexpr std::array<T::Span, 6> kSpans{T::grantChecks, T::streamStart, T::displayList,
                                            T::encoderOpen, T::firstEncode, T::pictureDecode};
    std::vector<double> whole, afterRequest;
    std::array<std::vector<double>, kStages.size()> stages;
    std::array<std::vector<double>, kSpans.size()> spans;
    int grantChecks = 0, firstFrameLost = 0;
    for (int round = -1; round < kPictureRounds; ++round) { // round -1 warms up and is not counted
        timeline->reset();
        std::shared_ptr<DecodedFrameSink> sink =
            bench::await(tabletLoop, bench::firstPictureRound(tablet.get(), host.port, mac.id, timeline.get()), "a round");
        sink.reset(); // joins its decode thread
        if (round >= 0) {
            whole.push_back(*timeline->between(T::connectCalled, T::firstDecoded));
            afterRequest.push_back(*timeline->between(T::requestSent, T::firstDecoded));
            for (std::size_t i = 0; i < kStages.size(); ++i) {
                if (auto ms = timeline->between(T::requestSent, kStages[i])) stages[i].push_back(*ms);
            }
            for (std::size_t i = 0; i < kSpans.size(); ++i) spans[i].push_back(timeline->spanMs(kSpans[i]));
            grantChecks = timeline->grantCheckCount;
            firstFrameLost += timeline->firstDecodedSequence != 0 ? 1 : 0;
        }
        host.waitUntilIdle();
        std::this_thread::sleep_for(50ms);
    }

    std::printf("  %-64s |\n", "(6) reconnect, 1080p60 request and first decoded 1080p picture,");
    print("    real X11+SHM capture and x264 on a private Xvfb, host model", whole);
    print("    of which the stream request to that picture", afterRequest);
    std::printf("  where the start goes, ms after the tablet's stream request (p50, p95 over %d rounds):\n",
                kPictureRounds);
    constexpr std::array<const char*, kStages.size()> kStageNames{
        "the server hands the request to the host model",
        "the capture service's start returns to the model",
        "the capture thread hands its first converted sample over",
        "the encoder returns its first frame",
        "that frame reaches the server",
        "the tablet hears that the stream is active",
        "the tablet's session has a whole frame",
        "the tablet program's loop has the decoded picture"};
    for (std::size_t i = 0; i < kStages.size(); ++i) {
        print(("  " + std::string(kStageNames[i])).c_str(), stages[i],
              stages[i].size() < whole.size() ? "   (not in every round)" : "");
    }
    std::printf("  the blocking steps inside it, ms (p50, p95):\n");
    char grants[96];
    std::snprintf(grants, sizeof grants, "grant checks: X connection and a 1x1 read, %d per start", grantChecks);
    const std::array<const char*, kSpans.size()> kSpanNames{
        grants,
        "stream start: X connection, SHM attach, a whole grab, converter",
        "display list: X connection and RandR",
        "x264 open at 1920x1080",
        "the first encode call (x264's open too when it was not ahead)",
        "the first picture's decode (the tablet decoder's own figure)"};
    for (std::size_t i = 0; i < kSpans.size(); ++i) print(("  " + std::string(kSpanNames[i])).c_str(), spans[i]);
    std::printf("  rounds whose first encoded frame was not the first picture: %d of %d\n", firstFrameLost,
                kPictureRounds);
    std::printf("  on %d core(s), load average %.1f before and %.1f after the row\n", bench::allowedCores(),
                loadBefore, loadAverage());
}

constexpr std::array<int, 5> kMemoryCheckpoints{1, 10, 25, 50, 100};
constexpr auto kIdleSettle = 3s; // longer than any release the host makes after a stop

// One session, 100 streams in it, each started at 1080p60 and stopped by the
// tablet once its first whole frame has arrived; the host idle again (capture,
// encoder and their threads gone) before the next. The tablet counts frames on
// its loop and decodes nothing, so no thread of its own comes and goes.
void streamStartMemoryRow() {
    if (!PrivateXvfb::isInstalled()) {
        std::printf("  (7) skipped: Xvfb is not installed\n");
        return;
    }
    const auto timeline = std::make_shared<StartTimeline>();
    StreamStartHost host(timeline);
    bench::Loop tabletLoop;
    asio::thread_pool kdf{1}, store{1};
    const auto tablet = bench::makeTablet(tabletLoop, kdf, store);
    const DevicePublicIdentity mac = trustEachOther(host, *tablet);
    bench::await(tabletLoop, bench::connectOnce(tablet.get(), host.port, mac.id, HandshakePurpose::reconnect),
                 "the session");
    std::atomic<std::uint64_t> arrived{0}; // the generation of the last whole frame
    tablet->session->setVideoHandlers([&](EncodedVideoFrame frame) { arrived = frame.generation; }, nullptr);
    host.waitUntilIdle(true);
    std::this_thread::sleep_for(kIdleSettle);
    const long rssBefore = bench::residentKiB(), heapBefore = bench::liveHeapKiB();
    std::printf("  (7) idle memory between stream starts in one session (whole process: the host model with real "
                "capture and x264, and a tablet that does not decode), RSS / live heap MiB, %lld s after the stop:\n"
                "      before the first start %.1f / %.1f",
                static_cast<long long>(kIdleSettle / 1s), rssBefore / 1024.0, heapBefore / 1024.0);
    std::fflush(stdout);
    for (int start = 1; start <= kMemoryCheckpoints.back(); ++start) {
        const auto generation = static_cast<std::uint64_t>(start);
        bench::await(tabletLoop, tablet->session->configureVideoStream(StreamStartHost::stream(), generation),
                     "a stream request");
        for (const auto deadline = Clock::now() + bench::kStepLimit; arrived < generation;) {
            if (Clock::now() > deadline) bench::fail("no frame of the stream arrived");
            std::this_thread::sleep_for(1ms);
        }
        bench::await(tabletLoop, tablet->session->stopVideoStream(generation), "the stream's stop");
        host.waitUntilIdle(true);
        if (std::find(kMemoryCheckpoints.begin(), kMemoryCheckpoints.end(), start) == kMemoryCheckpoints.end()) {
            continue;
        }
        std::this_thread::sleep_for(kIdleSettle);
        std::printf(", after %d: %.1f / %.1f", start, bench::residentKiB() / 1024.0, bench::liveHeapKiB() / 1024.0);
        std::fflush(stdout);
    }
    std::printf("\n");
    bench::await(tabletLoop, bench::disconnectOnce(tablet.get()), "the disconnect");
}

} // namespace

int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    const bool firstPictureOnly = only == "--first-picture";
    if (only == "--stream-memory") {
        try {
            std::printf("RemoteConnectBench, the stream starts' memory row:\n");
            streamStartMemoryRow();
        } catch (const std::exception& error) {
            bench::fail(error.what());
        }
        return 0;
    }
    if (firstPictureOnly) std::printf("RemoteConnectBench, the first picture row:\n  %-64s |    p50       p95\n", "");
    try {
        if (!firstPictureOnly) loopbackRows();
        firstPictureRow();
        if (!firstPictureOnly) streamStartMemoryRow();
    } catch (const std::exception& error) {
        bench::fail(error.what());
    }
    return 0;
}
