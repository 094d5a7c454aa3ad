// Input latency on the whole road, in one process: a private Xvfb, the host's
// session server (the test rig on 127.0.0.1) with the injector and the XTest
// sink installed as the host installs them, and a real tablet session over
// loopback TLS. Prints p50/p95 over 1,000 pointer moves from the tablet's
// sendInput to the X server reporting the pointer there (a MotionNotify on
// another connection, timed in this process); beside it, X alone (an XTest
// motion posted by the sink on the same loop) and the session's round trip
// (ping and pong). The moves of the two alternate, and both wait for X's
// report the same way: polling the window's connection between turns of the
// loop. Nothing is asserted; every wait is bounded.

#include "SessionBenchSupport.hpp"

#include "host/input/InputInjector.hpp"
#include "support/HostRig.hpp"
#include "support/PrivateXvfb.hpp"
#include "support/TabletRig.hpp"
#include "support/X11TestWindow.hpp"
#include "transport/client/ClientSessionConnector.hpp"

#include <asio/post.hpp>
#include <asio/this_coro.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <xcb/xcb.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

using namespace velorinth;
using namespace velorinth::bench;
namespace rigs = velorinth::testing;

namespace {

constexpr int kMoves = 1000;
constexpr int kPings = 200;
constexpr int kWidth = 1280;
constexpr int kHeight = 800;

// A pixel per move, each one away from the last, so that every move is reported.
std::pair<int, int> pixel(int i) { return {100 + (i * 7) % 1000, 100 + (i * 13) % 600}; }

bool isMotionTo(const rigs::X11TestWindow::Event& event, std::pair<int, int> target) {
    return event.type == XCB_MOTION_NOTIFY && event.rootX == target.first && event.rootY == target.second;
}

// Lets the loop turn (the host reads and injects on it) while watching X for the motion.
asio::awaitable<bool> motionSeen(rigs::X11TestWindow& window, std::pair<int, int> target) {
    const auto deadline = Clock::now() + kStepLimit;
    while (Clock::now() < deadline) {
        while (auto event = window.waitForEvent(std::chrono::steady_clock::duration::zero())) {
            if (isMotionTo(*event, target)) co_return true;
        }
        co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
    }
    co_return false;
}

void print(const char* what, const std::vector<double>& samples, double referenceP95 = 0) {
    std::printf("  %-54s p50 %7.3f ms   p95 %7.3f ms", what, percentile(samples, 0.5), percentile(samples, 0.95));
    if (referenceP95 > 0) std::printf("   (p95 %.1f× X alone)", percentile(samples, 0.95) / referenceP95);
    std::printf("\n");
}

int run() {
    if (!rigs::PrivateXvfb::isInstalled()) {
        std::fprintf(stderr, "InputLatencyBench: Xvfb is not installed (scripts/setup installs it)\n");
        return 1;
    }
    rigs::PrivateXvfb xvfb;
    rigs::X11TestWindow window(xvfb.displayName());
    const std::shared_ptr<InputEventSink> sink = InputEventSink::create(xvfb.displayName());
    if (!sink->isTrusted()) {
        std::fprintf(stderr, "InputLatencyBench: no XTest on the private display\n");
        return 1;
    }
    InputInjector injector(sink);
    const ContentRect2D bounds{{0, 0}, {kWidth, kHeight}};

    rigs::HostRig host;
    HostSessionServer::Callbacks callbacks = host.recordingCallbacks();
    callbacks.onRemoteInput = [&](const Uuid&, const Uuid&, const InputEvent& event) {
        injector.inject(event, bounds);
        return true;
    };
    host.call([&] {
        host.server->setCallbacks(callbacks);
        host.server->updateHostState(DisplayDescriptor{1, kWidth, kHeight, 1.0}, true, std::nullopt);
    });
    rigs::TabletRig tablet;
    tablet.capabilities = {Capability::h264, Capability::pointer, Capability::keyboard};
    host.trust->trust(rigs::trustedRecord(tablet.publicIdentity()));
    const TrustedDevice hostRecord =
        rigs::trustedRecord(host.hostIdentity->publicIdentity(host.hostIdentity->loadOrCreateRecord()));
    tablet.trust->trust(hostRecord);
    asio::thread_pool kdf{1}, store{1};
    // Heartbeats an hour apart: only the first, at the start, crosses the measurements.
    ClientSessionConnector connector(host.io.get_executor(), kdf, store,
                                     {kStepLimit, kStepLimit, std::chrono::hours(1)});
    const auto session =
        host.run(connector.connect(tablet.request(host.port, HandshakePurpose::reconnect, hostRecord)));
    host.until([&] { return session->currentDescriptor().heartbeatCount >= 1; });

    // Alternately, X alone (the sink's motion, posted on the loop) and the
    // whole road (the tablet's sendInput), each to a pixel of its own.
    std::vector<double> reference, path;
    for (int i = 0; i < kMoves; ++i) {
        const auto alone = pixel(2 * i);
        InputEventRecord record;
        record.location = {alone.first + 0.5, alone.second + 0.5};
        auto start = Clock::now();
        const bool sawAlone = host.run([&]() -> asio::awaitable<bool> {
            sink->post(record);
            co_return co_await motionSeen(window, alone);
        }());
        if (!sawAlone) {
            std::fprintf(stderr, "InputLatencyBench: X never reported the pointer\n");
            return 1;
        }
        reference.push_back(milliseconds(Clock::now() - start));

        const auto target = pixel(2 * i + 1);
        const InputEvent move = InputEvent::pointerMove((target.first + 0.5) / kWidth, (target.second + 0.5) / kHeight);
        start = Clock::now();
        const bool seen = host.run([&]() -> asio::awaitable<bool> {
            co_await session->sendInput(move);
            co_return co_await motionSeen(window, target);
        }());
        if (!seen) {
            std::fprintf(stderr, "InputLatencyBench: a move never reached X\n");
            return 1;
        }
        path.push_back(milliseconds(Clock::now() - start));
    }

    std::vector<double> roundTrips;
    for (int i = 0; i < kPings; ++i) {
        const std::uint64_t before = session->currentDescriptor().heartbeatCount;
        host.run(session->sendPing());
        host.until([&] { return session->currentDescriptor().heartbeatCount > before; });
        if (auto rtt = session->diagnostics().latestRTTMilliseconds) roundTrips.push_back(*rtt);
    }
    host.run(session->disconnect("Benchmark over."));

    std::printf("InputLatencyBench: %d pointer moves each to Xvfb %dx%d over loopback TLS, alternating\n", kMoves,
                kWidth, kHeight);
    print("sendInput to the pointer reported by X", path, percentile(reference, 0.95));
    print("XTest motion alone, posted on the loop (the reference)", reference);
    std::printf("  %-54s p50 %7.3f ms   p95 %7.3f ms   (%d pings)\n", "session round trip (sendPing)",
                percentile(roundTrips, 0.5), percentile(roundTrips, 0.95), kPings);
    return 0;
}

} // namespace

int main() {
    try {
        return run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "InputLatencyBench failed: %s\n", error.what());
        return 1;
    }
}
