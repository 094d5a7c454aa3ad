// Whether the memory of flooded sessions comes back once they end, and
// whether the allocator keeps any of it: the host's RSS before, at the peak,
// after the sessions ended and after malloc_trim. Each tablet stops reading
// and keeps pinging while the host streams keyframes to it, until the host
// cuts it (the control watermark or the socket's user timeout).

#include "AbuseBenchSupport.hpp"

#include "support/HostRig.hpp"

#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

constexpr int kPingsPerBurst = 500;
constexpr int kBurstLimit = 200;

using bench::residentKiB;

EncodedVideoFrame keyframe(std::uint64_t sequence) {
    EncodedVideoFrame frame;
    frame.generation = 1;
    frame.sequence = sequence;
    frame.payload = Bytes(1'500'000, 0xAB);
    frame.isKeyframe = true;
    frame.width = frame.height = frame.sourceDisplayWidth = frame.sourceDisplayHeight = 64;
    return frame;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 64) : 8;
    HostRig h;
    h.call([&] {
        HostSessionServer::Callbacks callbacks = h.recordingCallbacks();
        callbacks.onSessionsChanged = nullptr; // a list per heartbeat: the rig's records would be the peak
        h.server->setCallbacks(callbacks);
    });
    h.settle(100ms);
    const long baseline = residentKiB();
    long peak = baseline;
    std::uint64_t sequence = 0;
    for (int round = 0; round < rounds; ++round) {
        auto tablet = h.peer();
        h.openTrustedSession(*tablet);
        h.run(tablet->send(ScriptedTabletPeer::message(SessionControlCommand::configureVideoStream)));
        h.run(tablet->receiveControl());
        // From here on the tablet reads nothing.
        for (int burst = 0; burst < kBurstLimit && !h.sessions().empty(); ++burst) {
            h.run([&]() -> asio::awaitable<void> {
                const SessionControlMessage ping = ScriptedTabletPeer::message(SessionControlCommand::ping, sequence);
                try {
                    for (int i = 0; i < kPingsPerBurst; ++i) co_await tablet->send(ping);
                } catch (const NetworkConnectionError&) { // the host cut it
                }
            }(), 10s);
            h.call([&] {
                h.server->distributeVideoFrame(std::make_shared<const EncodedVideoFrame>(keyframe(++sequence)));
            });
            h.settle(1ms);
            peak = std::max(peak, residentKiB());
        }
        h.until([&] { return h.sessions().empty(); }, 60s);
        tablet->close();
        h.settle(50ms);
    }
    h.settle(200ms);
    const long ended = residentKiB();
    h.settle(3s); // the server's own release, 2 s after the last end (MemoryReleaseScheduler)
    const long released = residentKiB();
    malloc_trim(0);
    const long trimmed = residentKiB();
    std::printf("host RSS (KiB) over %d flooded sessions: baseline %ld, peak %ld, right after they ended %ld (+%ld), "
                "after the server's release %ld (+%ld), after another malloc_trim %ld (+%ld)\n",
                rounds, baseline, peak, ended, ended - baseline, released, released - baseline, trimmed,
                trimmed - baseline);
    return 0;
}
