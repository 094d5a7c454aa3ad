// The model on the test thread and the real server on its own event loop,
// as the application splits them, with real tablets over 127.0.0.1: every
// callback and every call crosses between the two threads, and frames come
// from a thread of their own.

#include "core/EventLoop.hpp"
#include "host/model/SessionServerAdapter.hpp"
#include "support/HostModelRig.hpp"
#include "support/LoopbackListener.hpp"
#include "support/TabletRig.hpp"
#include "support/WindDown.hpp"
#include "transport/security/PairingAttemptLimiter.hpp"
#include "transport/security/PairingReplayGuard.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

// The rig's fakes, but the real server on a loop of its own.
struct LoopbackModelRig : HostModelRig {
    EventLoop loop;
    asio::thread_pool kdf{1}, store{1};

    explicit LoopbackModelRig(std::chrono::steady_clock::duration approvalTimeout = HostModel::kApprovalTimeout) {
        loop.start();
        HostModelEnvironment environment = this->environment();
        environment.sleep = {}; // real timers
        environment.serviceFactory = [this, fakes = environment.serviceFactory,
                                      approvalTimeout](const HostServiceRequest& request) {
            HostServices services = fakes(request);
            HostSessionServerOptions options;
            options.listenerFactory = loopbackListener;
            auto server = std::make_shared<HostSessionServer>(
                loop.executor(), services.identityService, request.trustedDeviceStore,
                std::make_shared<PairingReplayGuard>(HostModel::kReplayRetention),
                std::make_shared<PairingAttemptLimiter>(HostModel::kPairingAttemptLimit,
                                                        HostModel::kPairingAttemptInterval),
                loop.kdfWorker(), loop.storeWorker(), HostModel::kHandshakeTimeout, approvalTimeout,
                HostModel::hostCapabilities(), DevicePermissions::connect, options);
            services.sessionServer =
                std::make_shared<SessionServerAdapter>(std::move(server), services.identityService, loop.executor());
            return services;
        };
        model = std::make_shared<HostModel>(nullptr, trust, std::move(environment));
        LoopRunner::run(model->start());
        until([&] { return model->listenerStatus.get().kind() == ListenerStatus::Case::advertising; });
    }

    // The loop outlives the model: what the model has under way still hops there.
    ~LoopbackModelRig() {
        windDown("the server did not stop", [&] { LoopRunner::run(model->sessionServer->stop()); });
        const std::weak_ptr<HostModel> weak = model;
        model.reset();
        windDown("the model was never released", [&] { until([&] { return weak.expired(); }); });
        drain();
        loop.stop();
    }

    std::future<std::shared_ptr<AuthenticatedClientSession>> pair(ClientSessionConnector& connector, TabletRig& tablet) {
        tablet.capabilities = {Capability::h264, Capability::pointer, Capability::keyboard};
        return spawn(connector.connect(tablet.request(model->listenerStatus.get().port(), HandshakePurpose::pair)));
    }
};

} // namespace

TEST(LoopbackHostModel, PairsStreamsAndEndsAcrossTheUIThreadAndTheLoop) {
    LoopbackModelRig h;
    HostModel& model = *h.model;
    TabletRig tablet;
    ClientSessionConnector connector(h.io.get_executor(), h.kdf, h.store, {10s, 10s, 1s, 300ms});
    auto connecting = h.pair(connector, tablet);
    h.until([&] { return model.pendingPairing.get().has_value(); }, 20s);
    h.LoopRunner::run(model.approvePendingPairing(model.pendingPairing.get()->id));
    const auto session = h.wait(connecting);
    std::atomic<int> frames{0};
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
    h.until([&] {
        return frames >= 5 && model.activeSessionList.get().size() == 1 &&
               model.activeSessionList.get()[0].isVideoStreaming;
    });
    h.LoopRunner::run(model.disconnectAllSessions());
    h.until([&] { return !tablet.terminations.empty() && model.activeSessionList.get().empty(); });
    EXPECT_EQ(tablet.terminations.front(), SessionTerminationReason::remoteDisconnect("Disconnected by Mac user."));
    EXPECT_EQ(model.hostStreamState.get(), VideoStreamState::idle());
    EXPECT_FALSE(h.capture->capturing);
}

// A late click on a sheet whose prompt was already answered approves
// nothing, not even the prompt of the tablet that asked since.
TEST(LoopbackHostModel, ADecisionOnAPromptThatHasGoneApprovesNoOtherTablet) {
    LoopbackModelRig h;
    HostModel& model = *h.model;
    ClientSessionConnector connector(h.io.get_executor(), h.kdf, h.store, {10s, 10s, 1s, 300ms});
    TabletRig first, second;
    auto rejected = h.pair(connector, first);
    h.until([&] { return model.pendingPairing.get().has_value(); }, 20s);
    const Uuid gone = model.pendingPairing.get()->id;
    h.LoopRunner::run(model.rejectPendingPairing(gone)); // the sheet is answered; its twin stays open
    EXPECT_THROW(h.wait(rejected), std::exception);
    h.until([&] { return !model.pendingPairing.get(); });

    auto asking = h.pair(connector, second);
    h.until([&] { return model.pendingPairing.get().has_value(); }, 20s);
    const Uuid pending = model.pendingPairing.get()->id;
    ASSERT_NE(pending, gone);
    h.LoopRunner::run(model.approvePendingPairing(gone));
    h.settle();
    ASSERT_TRUE(model.pendingPairing.get());
    EXPECT_EQ(model.pendingPairing.get()->id, pending);
    EXPECT_TRUE(h.trust->allDevices().empty());

    h.LoopRunner::run(model.approvePendingPairing(pending));
    EXPECT_TRUE(h.wait(asking));
    h.until([&] { return model.trustedDevices.get().size() == 1; });
}
