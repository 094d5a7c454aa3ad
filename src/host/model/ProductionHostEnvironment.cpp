#include "host/model/ProductionHostEnvironment.hpp"

#include "host/model/BLEBeaconAdapter.hpp"
#include "host/model/CaptureServiceAdapter.hpp"
#include "host/model/DesktopVideoEncoderAdapter.hpp"
#include "host/model/HostModel.hpp"
#include "host/model/InputInjectorAdapter.hpp"
#include "host/model/SessionServerAdapter.hpp"
#include "platform/LocalInterfaces.hpp"
#include "platform/linux/LinuxWakeEnvironmentPlatform.hpp"
#include "transport/discovery/LocalNetworkAddressScanner.hpp"
#include "transport/security/PairingAttemptLimiter.hpp"
#include "transport/security/PairingReplayGuard.hpp"
#include "transport/wake/LiveSystemWakeEnvironmentProbe.hpp"

namespace velorinth {

HostModelEnvironment makeProductionHostEnvironment(EventLoop& loop, asio::any_io_executor mainExecutor,
                                                   ProductionHostOptions options) {
    const std::shared_ptr<CaptureBackend> captureBackend = CaptureBackend::create(options.displayName);
    const std::shared_ptr<InputEventSink> inputSink = InputEventSink::create(options.displayName);
    const auto wakePlatform = std::make_shared<LinuxWakeEnvironmentPlatform>("/sys", options.displayName);

    HostModelEnvironment environment;
    environment.mainExecutor = std::move(mainExecutor);
    HostModelPlatform& platform = environment.platform;
    platform.screenRecording = ScreenRecordingAccess::create(captureBackend);
    platform.accessibility = AccessibilityAccess::create(inputSink);
    platform.display = DisplayMonitor::create(options.displayName, wakePlatform);
    platform.preferences = Preferences::create();
    platform.computerName = ComputerName::create();
    platform.pasteboard = std::move(options.pasteboard);
    platform.windowActivator = std::move(options.windowActivator);
    platform.energySettings = EnergySettingsOpener::create();
    platform.interfaceAddresses = &LocalInterfaces::addresses;
    platform.localIPv4Addresses = &LocalNetworkAddressScanner::currentIPv4Addresses;

    const std::shared_ptr<SecureStore> secureStore = options.secureStore ? options.secureStore : SecureStore::create();
    environment.serviceFactory = [&loop, captureBackend, inputSink, wakePlatform, secureStore,
                                  serverOptions = std::move(options.serverOptions)](const HostServiceRequest& request) {
        HostServices services;
        services.captureService = std::make_shared<CaptureServiceAdapter>(
            std::make_shared<ScreenCaptureService>(loop.executor(), captureBackend), loop.executor());
        services.encoderFactory = DesktopVideoEncoderAdapter::factory();
        services.inputInjector = std::make_shared<InputInjectorAdapter>(std::make_shared<InputInjector>(inputSink));
        services.wakeReadinessService = std::make_shared<WakeReadinessService>(
            std::make_shared<LiveSystemWakeEnvironmentProbe>(wakePlatform), secureStore);
        services.bleAdvertiser =
            std::make_shared<BLEBeaconAdapter>(std::make_shared<BLEHostAdvertiser>(loop.executor()));
        services.identityService =
            request.identityService ? request.identityService
                                    : std::make_shared<DeviceIdentityService>(secureStore, request.displayNameProvider);
        auto replayGuard = std::make_shared<PairingReplayGuard>(HostModel::kReplayRetention);
        auto attemptLimiter =
            std::make_shared<PairingAttemptLimiter>(HostModel::kPairingAttemptLimit, HostModel::kPairingAttemptInterval);
        auto server = std::make_shared<HostSessionServer>(
            loop.executor(), services.identityService, request.trustedDeviceStore, std::move(replayGuard),
            std::move(attemptLimiter), loop.kdfWorker(), loop.storeWorker(), HostModel::kHandshakeTimeout,
            HostModel::kApprovalTimeout, HostModel::hostCapabilities(), DevicePermissions::connect, serverOptions);
        services.sessionServer =
            std::make_shared<SessionServerAdapter>(std::move(server), services.identityService, loop.executor());
        return services;
    };
    return environment;
}

} // namespace velorinth
