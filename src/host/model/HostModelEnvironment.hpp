#pragma once

#include "core/Date.hpp"
#include "host/model/BeaconPort.hpp"
#include "host/model/CaptureServicePort.hpp"
#include "host/model/HostModelTask.hpp"
#include "host/model/InputInjectorPort.hpp"
#include "host/model/SessionServerPort.hpp"
#include "host/model/VideoEncoderPort.hpp"
#include "platform/AccessibilityAccess.hpp"
#include "platform/ComputerName.hpp"
#include "platform/DisplayMonitor.hpp"
#include "platform/EnergySettingsOpener.hpp"
#include "platform/InterfaceAddress.hpp"
#include "platform/Pasteboard.hpp"
#include "platform/Preferences.hpp"
#include "platform/ScreenRecordingAccess.hpp"
#include "platform/WindowActivator.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/wake/WakeReadinessService.hpp"

#include <asio/any_io_executor.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velorinth {

// The machine's facilities the host model reads and drives directly.
struct HostModelPlatform {
    std::shared_ptr<ScreenRecordingAccess> screenRecording;
    std::shared_ptr<AccessibilityAccess> accessibility;
    std::shared_ptr<DisplayMonitor> display;
    std::shared_ptr<Preferences> preferences;
    std::shared_ptr<ComputerName> computerName;
    std::shared_ptr<Pasteboard> pasteboard;           // none: copies do nothing
    std::shared_ptr<WindowActivator> windowActivator; // none: a prompt activates nothing
    std::shared_ptr<EnergySettingsOpener> energySettings;
    // The interface address list (none when unreadable), and the beacon's IPv4 addresses.
    std::function<std::optional<std::vector<InterfaceAddress>>()> interfaceAddresses;
    std::function<std::vector<std::string>()> localIPv4Addresses;
};

// The services the model owns, as the service factory builds them.
struct HostServices {
    std::shared_ptr<CaptureServicePort> captureService;
    VideoEncoderPort::Factory encoderFactory;
    std::shared_ptr<InputInjectorPort> inputInjector;
    std::shared_ptr<WakeReadinessService> wakeReadinessService;
    std::shared_ptr<BeaconPort> bleAdvertiser;
    std::shared_ptr<DeviceIdentityService> identityService;
    std::shared_ptr<SessionServerPort> sessionServer;
};

// What the model hands its service factory.
struct HostServiceRequest {
    std::shared_ptr<DeviceIdentityService> identityService; // none: the factory makes one
    std::shared_ptr<TrustedDeviceStore> trustedDeviceStore;
    std::function<std::string()> displayNameProvider; // names the host for a new identity service
};

struct HostModelEnvironment {
    // The UI thread's executor: the model and every task of it run there.
    asio::any_io_executor mainExecutor;
    // Every delay of the model; none: a steady_timer on the main executor.
    SleepFunction sleep;
    WallClock clock = &Date::now;
    HostModelPlatform platform;
    std::function<HostServices(const HostServiceRequest&)> serviceFactory;
    // Where frames are handed to the server: on its loop (the default), or on
    // the main executor as the original design has it (for comparison).
    bool broadcastsOnMainExecutor = false;
};

} // namespace velorinth
