#pragma once

// The host model over fakes on the test's loop, which plays both the UI
// thread and the server's loop. The identity service, the trust store and the
// wake readiness service are real, over in-memory stores and a scripted
// machine.

#include "host/model/HostModel.hpp"
#include "platform/InMemorySecureStore.hpp"
#include "support/FakeHostPlatform.hpp"
#include "support/FakeHostServices.hpp"
#include "support/FakeWakeEnvironmentPlatform.hpp"
#include "support/LoopRunner.hpp"
#include "transport/wake/LiveSystemWakeEnvironmentProbe.hpp"

#include <memory>
#include <vector>

namespace velorinth::testing {

struct HostModelRig : LoopRunner {
    std::shared_ptr<InMemorySecureStore> identityStorage = std::make_shared<InMemorySecureStore>();
    std::shared_ptr<InMemorySecureStore> trustStorage = std::make_shared<InMemorySecureStore>();
    std::shared_ptr<TrustedDeviceStore> trust = std::make_shared<TrustedDeviceStore>(trustStorage);
    std::shared_ptr<FakeWakeEnvironmentPlatform> machine = std::make_shared<FakeWakeEnvironmentPlatform>();
    std::shared_ptr<InMemorySecureStore> wakeStorage = std::make_shared<InMemorySecureStore>();

    std::shared_ptr<FakeGrants> grants = std::make_shared<FakeGrants>();
    std::shared_ptr<FakeDisplayMonitor> display = std::make_shared<FakeDisplayMonitor>();
    std::shared_ptr<FakePreferences> preferences = std::make_shared<FakePreferences>();
    std::shared_ptr<FakeComputerName> computerName = std::make_shared<FakeComputerName>();
    std::shared_ptr<FakePasteboard> pasteboard = std::make_shared<FakePasteboard>();
    std::shared_ptr<FakeWindowActivator> activator = std::make_shared<FakeWindowActivator>();
    std::shared_ptr<FakeEnergySettingsOpener> energy = std::make_shared<FakeEnergySettingsOpener>();
    std::optional<std::vector<InterfaceAddress>> interfaces = std::vector<InterfaceAddress>{};
    ManualSleeper sleeper{io.get_executor()};

    std::shared_ptr<FakeSessionServer> server = std::make_shared<FakeSessionServer>(io.get_executor(), trust);
    std::shared_ptr<FakeCaptureService> capture = std::make_shared<FakeCaptureService>(io.get_executor());
    std::shared_ptr<std::vector<std::shared_ptr<FakeVideoEncoder>>> encoders =
        std::make_shared<std::vector<std::shared_ptr<FakeVideoEncoder>>>();
    std::shared_ptr<FakeInputInjector> injector = std::make_shared<FakeInputInjector>();
    std::shared_ptr<FakeBeacon> beacon = std::make_shared<FakeBeacon>();
    std::shared_ptr<WakeReadinessService> wake;
    std::shared_ptr<DeviceIdentityService> identity;

    std::shared_ptr<HostModel> model;
    std::vector<HostModelField> changes;

    HostModelEnvironment environment() {
        HostModelEnvironment environment;
        environment.mainExecutor = io.get_executor();
        environment.sleep = sleeper.function();
        environment.clock = [] { return Date(800'000'000); };
        HostModelPlatform& platform = environment.platform;
        platform.screenRecording = grants;
        platform.accessibility = grants;
        platform.display = display;
        platform.preferences = preferences;
        platform.computerName = computerName;
        platform.pasteboard = pasteboard;
        platform.windowActivator = activator;
        platform.energySettings = energy;
        platform.interfaceAddresses = [this] { return interfaces; };
        platform.localIPv4Addresses = [] { return std::vector<std::string>{"192.168.1.5"}; };
        environment.serviceFactory = [this](const HostServiceRequest& request) {
            wake = std::make_shared<WakeReadinessService>(std::make_shared<LiveSystemWakeEnvironmentProbe>(machine),
                                                          wakeStorage, [] { return Date(800'000'000); });
            identity = request.identityService ? request.identityService
                                               : std::make_shared<DeviceIdentityService>(identityStorage,
                                                                                         request.displayNameProvider);
            return HostServices{capture, FakeVideoEncoder::factory(encoders), injector, wake, beacon, identity, server};
        };
        return environment;
    }

    // Builds the model; call once the fakes are set up as the test wants.
    HostModel& make() {
        model = std::make_shared<HostModel>(nullptr, trust, environment());
        model->observe([this](HostModelField field) { changes.push_back(field); });
        return *model;
    }

    HostModel& started() {
        if (!model) make();
        run(model->start());
        drain();
        return *model;
    }

    // Runs `operation` to its end and then whatever it set going.
    void run(asio::awaitable<void> operation) {
        LoopRunner::run(std::move(operation));
        drain();
    }

    // Lets every held await end, so that no coroutine outlives the fakes it waits on.
    ~HostModelRig() {
        model.reset();
        for (int round = 0; round < 3; ++round) {
            sleeper.releaseAll();
            server->startGate.release();
            server->viewerGate.release();
            capture->startGate.release();
            drain();
        }
    }
};

} // namespace velorinth::testing
