#pragma once

// The host model as the benchmarks run it: the real session server on its own
// event loop behind a loopback-only listener, built as the host program
// builds it, and fakes for the machine's facilities a bench does not measure.

#include "BenchSupport.hpp"

#include "core/EventLoop.hpp"
#include "host/model/HostModel.hpp"
#include "host/model/SessionServerAdapter.hpp"
#include "support/FakeHostPlatform.hpp"
#include "support/FakeHostServices.hpp"
#include "support/FakeWakeEnvironmentPlatform.hpp"
#include "support/LoopbackListener.hpp"
#include "transport/security/PairingAttemptLimiter.hpp"
#include "transport/security/PairingReplayGuard.hpp"
#include "transport/wake/LiveSystemWakeEnvironmentProbe.hpp"

#include <asio/use_future.hpp>

#include <memory>
#include <thread>

namespace velorinth::bench {

// Fakes for everything but the screen recording grant, which is given.
inline HostModelPlatform benchHostPlatform(std::shared_ptr<ScreenRecordingAccess> screenRecording) {
    auto grants = std::make_shared<testing::FakeGrants>();
    HostModelPlatform platform;
    platform.screenRecording = screenRecording ? std::move(screenRecording) : grants;
    platform.accessibility = grants;
    platform.display = std::make_shared<testing::FakeDisplayMonitor>();
    platform.preferences = std::make_shared<testing::FakePreferences>();
    platform.computerName = std::make_shared<testing::FakeComputerName>();
    platform.pasteboard = std::make_shared<testing::FakePasteboard>();
    platform.windowActivator = std::make_shared<testing::FakeWindowActivator>();
    platform.energySettings = std::make_shared<testing::FakeEnergySettingsOpener>();
    platform.interfaceAddresses = [] { return std::optional<std::vector<InterfaceAddress>>(); };
    platform.localIPv4Addresses = [] { return std::vector<std::string>{}; };
    return platform;
}

// The server as the host builds it, on `loop`, listening on 127.0.0.1 only and
// open to many tablets from that one address.
inline std::shared_ptr<SessionServerAdapter> benchSessionServer(EventLoop& loop,
                                                                std::shared_ptr<DeviceIdentityService> identity,
                                                                const HostServiceRequest& request) {
    HostSessionServerOptions options;
    options.listenerFactory = testing::loopbackListener;
    options.admission.places.perSourceCapacity = 0;
    options.admission.connectionRate = 0;
    auto real = std::make_shared<HostSessionServer>(
        loop.executor(), identity, request.trustedDeviceStore,
        std::make_shared<PairingReplayGuard>(HostModel::kReplayRetention),
        std::make_shared<PairingAttemptLimiter>(HostModel::kPairingAttemptLimit, HostModel::kPairingAttemptInterval),
        loop.kdfWorker(), loop.storeWorker(), HostModel::kHandshakeTimeout, HostModel::kApprovalTimeout,
        HostModel::hostCapabilities(), DevicePermissions::connect, options);
    return std::make_shared<SessionServerAdapter>(std::move(real), std::move(identity), loop.executor());
}

// The services a bench does not measure.
inline HostServices benchHostServices(std::shared_ptr<CaptureServicePort> capture, VideoEncoderPort::Factory encoders,
                                      std::shared_ptr<DeviceIdentityService> identity,
                                      std::shared_ptr<SessionServerPort> server) {
    return HostServices{std::move(capture),
                        std::move(encoders),
                        std::make_shared<testing::FakeInputInjector>(),
                        std::make_shared<WakeReadinessService>(
                            std::make_shared<LiveSystemWakeEnvironmentProbe>(
                                std::make_shared<testing::FakeWakeEnvironmentPlatform>()),
                            std::make_shared<InMemorySecureStore>()),
                        std::make_shared<testing::FakeBeacon>(),
                        std::move(identity),
                        std::move(server)};
}

// Runs `body` on the model's executor and waits for it, for at most the step limit.
template <class T>
T runOn(const asio::any_io_executor& executor, asio::awaitable<T> body, const char* what) {
    auto future = asio::co_spawn(executor, std::move(body), asio::use_future);
    return waitFor(future, Clock::now() + kStepLimit, what);
}

// The port the model's listener advertises, waiting for it.
inline std::uint16_t advertisedPort(const asio::any_io_executor& main, HostModel& model) {
    for (const auto deadline = Clock::now() + kStepLimit;;) {
        const std::uint16_t port = runOn(main, [](HostModel* m) -> asio::awaitable<std::uint16_t> {
            const ListenerStatus status = m->listenerStatus.get();
            co_return status.kind() == ListenerStatus::Case::advertising ? status.port() : 0;
        }(&model), "the listener status");
        if (port != 0) return port;
        if (Clock::now() > deadline) fail("the listener never advertised");
        std::this_thread::sleep_for(100us);
    }
}

} // namespace velorinth::bench
