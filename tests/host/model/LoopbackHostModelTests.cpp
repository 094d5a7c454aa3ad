// The model on the test thread and the real server on its own event loop,
// as the application splits them, with a real tablet over 127.0.0.1: every
// callback and every call crosses between the two threads, and frames come
// from a thread of their own.

#include "core/EventLoop.hpp"
#include "host/model/SessionServerAdapter.hpp"
#include "support/HostModelRig.hpp"
#include "support/LoopbackListener.hpp"
#include "support/TabletRig.hpp"
#include "transport/security/PairingAttemptLimiter.hpp"
#include "transport/security/PairingReplayGuard.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace velorinth;
using namespace velorinth::testing;

TEST(LoopbackHostModel, PairsStreamsAndEndsAcrossTheUIThreadAndTheLoop) {
    HostModelRig h; // the UI thread is the test's
    EventLoop loop;
    loop.start();
    HostModelEnvironment environment = h.environment();
    environment.sleep = {}; // real timers
    const auto fakes = environment.serviceFactory;
    environment.serviceFactory = [&](const HostServiceRequest& request) {
        HostServices services = fakes(request);
        HostSessionServerOptions options;
        options.listenerFactory = loopbackListener;
        auto server = std::make_shared<HostSessionServer>(
            loop.executor(), services.identityService, request.trustedDeviceStore,
            std::make_shared<PairingReplayGuard>(HostModel::kReplayRetention),
            std::make_shared<PairingAttemptLimiter>(HostModel::kPairingAttemptLimit, HostModel::kPairingAttemptInterval),
            loop.kdfWorker(), loop.storeWorker(), HostModel::kHandshakeTimeout, HostModel::kApprovalTimeout,
            HostModel::hostCapabilities(), DevicePermissions::connect, options);
        services.sessionServer =
            std::make_shared<SessionServerAdapter>(std::move(server), services.identityService, loop.executor());
        return services;
    };
    h.model = std::make_shared<HostModel>(nullptr, h.trust, std::move(environment));
    HostModel& model = *h.model;
    h.LoopRunner::run(model.start());
    h.until([&] { return model.listenerStatus.get().kind() == ListenerStatus::Case::advertising; });

    TabletRig tablet;
    tablet.capabilities = {Capability::h264, Capability::pointer, Capability::keyboard};
    std::atomic<int> frames{0};
    asio::thread_pool kdf{1}, store{1};
    ClientSessionConnector connector(h.io.get_executor(), kdf, store, {10s, 10s, 1s, 300ms});
    auto connecting = h.spawn(connector.connect(tablet.request(model.listenerStatus.get().port(), HandshakePurpose::pair)));
    h.until([&] { return model.pendingPairing.get().has_value(); }, 20s);
    h.LoopRunner::run(model.approvePendingPairing(model.pendingPairing.get()->id));
    const auto session = h.wait(connecting);
    h.call([&] { session->setVideoHandlers([&](const EncodedVideoFrame&) { ++frames; }, {}); });
    h.LoopRunner::run(session->configureVideoStream(
        VideoStreamConfiguration::clamped(Capability::h264, 640, 360, 30, 1'000'000, 60, 1'000'000, 16'384), 1));
    h.until([&] { return model.hostStreamState.get() == VideoStreamState::streaming(); });

    // Samples from a capture-like thread while the UI thread keeps working.
    std::atomic<bool> stop{false};
    std::jthread capture([&] {
        for (int i = 0; i < 2000 && !stop; ++i) {
            h.capture->deliverSample();
            std::this_thread::sleep_for(2ms);
        }
    });
    struct Stop {
        std::atomic<bool>& flag;
        ~Stop() { flag = true; }
    } stopper{stop};
    h.until([&] { return frames >= 5 && model.activeSessionList.get().size() == 1 &&
                         model.activeSessionList.get()[0].isVideoStreaming; });
    h.LoopRunner::run(model.disconnectAllSessions());
    stop = true;
    capture.join();
    h.until([&] { return !tablet.terminations.empty() && model.activeSessionList.get().empty(); });
    EXPECT_EQ(tablet.terminations.front(), SessionTerminationReason::remoteDisconnect("Disconnected by Mac user."));
    EXPECT_EQ(model.hostStreamState.get(), VideoStreamState::idle());
    EXPECT_FALSE(h.capture->capturing);

    h.LoopRunner::run(model.sessionServer->stop());
    loop.stop();
    h.model.reset();
}
