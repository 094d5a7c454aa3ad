#pragma once

#include "core/BackoffPolicy.hpp"
#include "core/FifoLock.hpp"
#include "core/IdentityModels.hpp"
#include "core/TrustedDevice.hpp"
#include "core/VideoModels.hpp"
#include "host/model/HostModelEnvironment.hpp"
#include "host/model/HostModelTask.hpp"
#include "host/model/Tracked.hpp"
#include "host/model/VideoPipeline.hpp"
#include "transport/discovery/ListenerStatus.hpp"
#include "transport/session/SessionValueTypes.hpp"

#include <asio/awaitable.hpp>

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velorinth {

// Every changeable field of the host model, as observers are told of it.
enum class HostModelField {
    selectedSection,
    captureState,
    screenRecordingGranted,
    accessibilityGranted,
    remoteAccessEnabled,
    unattendedAccessEnabled,
    activeSessionList,
    capturedFrames,
    hostIdentity,
    listenerStatus,
    servicePublished,
    trustedDevices,
    pendingPairing,
    networkError,
    hostStreamState,
    streamDiagnostics,
    wakeSnapshot,
    isRunningWakePreflightTest,
    preferredListenerPort,
    detectedPrivateTunnelAddresses,
    restartAttempt,
    restartTask,
    frameBroadcastTask,
    diagnosticsTask,
    activeVideoConfiguration,
    started,
};

// The host application's one orchestrator: it owns every host service, holds
// what the views show, and turns the views' actions and the session server's
// reports into service calls.
//
// Confined to the UI thread (the main executor), and owned by a shared_ptr:
// its public coroutines keep it alive while they run, while the callbacks it
// installs and the tasks it leaves running hold it weakly. Operations never
// throw to the views: a failure that reports something lands in networkError.
// Each field notifies its observers only when a write changes it.
class HostModel : public std::enable_shared_from_this<HostModel> {
public:
    enum class Section { overview, activeSessions, pairedDevices, wakeReadiness, security };
    static constexpr std::array<Section, 5> allSections{Section::overview, Section::activeSessions,
                                                        Section::pairedDevices, Section::wakeReadiness,
                                                        Section::security};
    static std::string_view rawValue(Section section);
    static std::optional<Section> sectionFromRawValue(std::string_view rawValue);

    struct CaptureState {
        enum class Case { idle, requestingPermission, capturing, failed };
        Case kind = Case::idle;
        std::string text; // failed only

        static CaptureState idle() { return {}; }
        static CaptureState requestingPermission() { return {Case::requestingPermission, {}}; }
        static CaptureState capturing() { return {Case::capturing, {}}; }
        static CaptureState failed(std::string text) { return {Case::failed, std::move(text)}; }
        bool operator==(const CaptureState&) const = default;
    };

    using Field = HostModelField;
    template <class T>
    using Tracked = velorinth::Tracked<Field, T>;
    using Observer = std::function<void(Field)>;
    using ObservationToken = ObservationRegistrar<Field>::Token;
    using Duration = std::chrono::steady_clock::duration;

    // ---- texts --------------------------------------------------------------------
    static constexpr std::string_view kListenerFailedPrefix = "Local discovery listener failed: ";
    static constexpr std::string_view kLocalNetworkDeniedText =
        "Local Network access is denied for Velorinth Host. Enable Local Network permission in System Settings > "
        "Privacy & Security > Local Network.";
    static constexpr std::string_view kAccessibilityBlockedText =
        "Remote input was blocked because macOS Accessibility permission is not enabled for Velorinth Host.";
    static constexpr std::string_view kStreamWithoutScreenRecordingText =
        "An authorized iPad requested live desktop streaming, but Screen Recording permission is not enabled for "
        "Velorinth Host.";
    static constexpr std::string_view kScreenRecordingSettingsText =
        "Screen Recording permission is required in System Settings > Privacy & Security > Screen & System Audio "
        "Recording.";
    static constexpr std::string_view kStreamUnavailableText = "Stream unavailable";
    static constexpr std::string_view kDisconnectedByUserReason = "Disconnected by Mac user.";
    static constexpr std::string_view kStopSharingDetail = "The Mac user stopped screen sharing.";

    // ---- constants ----------------------------------------------------------------
    static constexpr Duration kDiagnosticsPeriod = std::chrono::milliseconds(500);
    static constexpr Duration kHandshakeTimeout = std::chrono::seconds(15);
    static constexpr Duration kApprovalTimeout = std::chrono::seconds(90);
    static constexpr Duration kReplayRetention = std::chrono::seconds(300);
    static constexpr std::size_t kPairingAttemptLimit = 5;
    static constexpr Duration kPairingAttemptInterval = std::chrono::seconds(60);
    static CapabilitySet hostCapabilities();
    // The preference key of the preferred port.
    static std::string preferredPortKey();

    // Builds the services through the environment's factory; starts nothing.
    // Without an identity service, one is made that names the host by
    // hostDisplayName.
    HostModel(std::shared_ptr<DeviceIdentityService> identityService,
              std::shared_ptr<TrustedDeviceStore> trustedDeviceStore, HostModelEnvironment environment);
    HostModel(const HostModel&) = delete;
    HostModel& operator=(const HostModel&) = delete;

    // ---- observation ------------------------------------------------------------
    ObservationToken observe(Observer observer) { return registrar_.add(std::move(observer)); }
    void stopObserving(ObservationToken token) { registrar_.remove(token); }
    // The display's own reports (screen parameters, screen sleep and wake), on
    // the UI thread, for the views to react to.
    void setDisplayEventHandler(std::function<void(DisplayEvent)> handler) { displayEventHandler_ = std::move(handler); }
    // Runs `operation` as an unstructured task on the UI thread: how the views
    // start model work.
    void spawn(asio::awaitable<void> operation);

    // ---- helpers ----------------------------------------------------------------
    static std::string hostDisplayName(ComputerName& computerName);
    static std::vector<std::string>
    detectPrivateTunnelAddresses(const std::optional<std::vector<InterfaceAddress>>& interfaceAddresses);
    static std::string userFacingMessage(const std::exception_ptr& error);
    // The text the error line shows for a server error; none for the ordinary
    // end of a connection. Pure: the server's loop calls it.
    static std::optional<std::string> serverErrorText(const std::exception_ptr& error);
    // The stored value when it is a port of 1024-65535, else the default port.
    static std::uint16_t preferredPortFromStoredValue(std::optional<std::int64_t> stored);
    DisplayDescriptor hostDisplayDescriptor();
    bool openEnergySettings();
    void copyAddressToPasteboard(const std::string& address);
    void copyFingerprintToPasteboard();
    void copyIdentifierToPasteboard();
    std::string screenRecordingStatusText() const;
    std::int64_t streamingSessionCount() const;
    asio::awaitable<void> refreshWakeSnapshot();

    // ---- activation, permissions and start-up ---------------------------------------
    void refreshPermissions();
    asio::awaitable<void> start();
    asio::awaitable<void> reloadIdentityAndRestartListener();
    asio::awaitable<void> requestScreenRecordingPermission();
    void handleDisplayConfigurationChange();

    // ---- listener ---------------------------------------------------------------
    void updatePreferredListenerPort(std::uint16_t port);
    asio::awaitable<void> restartListener();
    // Throws the server's error.
    asio::awaitable<void> startListener(bool useAnyPort);
    void scheduleListenerRestart(bool immediate);

    // ---- the server's reports -------------------------------------------------------
    void pushHostState();
    void handleListenerStatus(const ListenerStatus& status);
    asio::awaitable<void> handleSessionsChanged(std::vector<ActiveSessionDescriptor> sessions);
    void handleTrustedDevicesChanged(std::vector<TrustedDevice> devices);
    void handlePromptChanged(std::optional<IncomingPairingPrompt> prompt);
    void handleServerError(const std::exception_ptr& error);
    // On the server's loop: injects with the cached display bounds; false only
    // for a missing Accessibility grant, which `reportAccessibilityMissing` is
    // told of first.
    static bool handleRemoteInput(InputInjectorPort& injector, DisplayMonitor& display, const InputEvent& event,
                                  const std::function<void()>& reportAccessibilityMissing);
    // Remote input was refused for lack of Accessibility.
    void reportAccessibilityBlocked();
    asio::awaitable<void> handleVerifiedWakeConfirmed(Date date);

    // ---- video ------------------------------------------------------------------
    // Success, or the reason the stream could not start.
    asio::awaitable<std::optional<VideoStreamStopReason>> handleVideoStreamRequest(VideoStreamConfiguration configuration,
                                                                                   std::uint64_t generation);
    void handleVideoKeyframeRequest() { videoPipeline->encoderBox()->requestKeyframe(); }
    void ensureDiagnosticsTask();
    asio::awaitable<void> refreshStreamDiagnostics();
    asio::awaitable<void> stopVideoStream(VideoStreamState finalState);
    asio::awaitable<void> handleVideoStreamStopped();
    asio::awaitable<void> handleCaptureStopped(std::string errorDescription);
    asio::awaitable<void> stopStreamingIfUnwatched();
    asio::awaitable<void> stopStreaming(VideoStreamStopReason reason, std::string detail);
    asio::awaitable<void> restartCapture(VideoStreamConfiguration configuration);
    asio::awaitable<void> handleScreenRecordingRevoked();

    // ---- devices, switches and decisions ------------------------------------------------
    void requestAccessibilityPermission();
    asio::awaitable<void> runWakePreflightTest();
    asio::awaitable<void> setDeviceScreenViewing(bool allowed, TrustedDevice device);
    asio::awaitable<void> setDeviceRemoteControl(bool allowed, TrustedDevice device);
    asio::awaitable<void> revokeDevice(TrustedDevice device);
    asio::awaitable<void> removeDevice(TrustedDevice device);
    void setRemoteAccessEnabled(bool enabled);
    asio::awaitable<void> disconnectSession(ActiveSessionDescriptor session);
    asio::awaitable<void> disconnectAllSessions();
    // Each answers the prompt that was shown, by its identifier.
    asio::awaitable<void> approvePendingPairing(Uuid pairingID);
    asio::awaitable<void> rejectPendingPairing(Uuid pairingID);
    asio::awaitable<void> resetIdentity();

private:
    ObservationRegistrar<Field> registrar_; // before every field

public:
    // ---- observable state -------------------------------------------------------------
    Tracked<Section> selectedSection{registrar_, Field::selectedSection, Section::overview};
    Tracked<CaptureState> captureState{registrar_, Field::captureState};
    Tracked<bool> screenRecordingGranted{registrar_, Field::screenRecordingGranted, false};
    Tracked<bool> accessibilityGranted{registrar_, Field::accessibilityGranted, false};
    Tracked<bool> remoteAccessEnabled{registrar_, Field::remoteAccessEnabled, true};
    Tracked<bool> unattendedAccessEnabled{registrar_, Field::unattendedAccessEnabled, false};
    Tracked<std::vector<ActiveSessionDescriptor>> activeSessionList{registrar_, Field::activeSessionList};
    Tracked<std::uint64_t> capturedFrames{registrar_, Field::capturedFrames, 0};
    Tracked<std::optional<DevicePublicIdentity>> hostIdentity{registrar_, Field::hostIdentity};
    Tracked<ListenerStatus> listenerStatus{registrar_, Field::listenerStatus, ListenerStatus::idle()};
    // Whether the listener's Bonjour service is published, as its publisher
    // last said; none until it has said anything.
    Tracked<std::optional<bool>> servicePublished{registrar_, Field::servicePublished};
    Tracked<std::vector<TrustedDevice>> trustedDevices{registrar_, Field::trustedDevices};
    Tracked<std::optional<IncomingPairingPrompt>> pendingPairing{registrar_, Field::pendingPairing};
    Tracked<std::optional<std::string>> networkError{registrar_, Field::networkError};
    Tracked<VideoStreamState> hostStreamState{registrar_, Field::hostStreamState};
    Tracked<VideoStreamDiagnostics> streamDiagnostics{registrar_, Field::streamDiagnostics};
    Tracked<std::optional<HostWakeDiagnosticsSnapshot>> wakeSnapshot{registrar_, Field::wakeSnapshot};
    Tracked<bool> isRunningWakePreflightTest{registrar_, Field::isRunningWakePreflightTest, false};
    Tracked<std::uint16_t> preferredListenerPort{registrar_, Field::preferredListenerPort, 0};
    Tracked<std::vector<std::string>> detectedPrivateTunnelAddresses{registrar_,
                                                                     Field::detectedPrivateTunnelAddresses};
    Tracked<int> restartAttempt{registrar_, Field::restartAttempt, 0};
    Tracked<HostModelTask> restartTask{registrar_, Field::restartTask};
    Tracked<HostModelTask> frameBroadcastTask{registrar_, Field::frameBroadcastTask};
    Tracked<HostModelTask> diagnosticsTask{registrar_, Field::diagnosticsTask};
    Tracked<std::optional<VideoStreamConfiguration>> activeVideoConfiguration{registrar_,
                                                                              Field::activeVideoConfiguration};
    Tracked<bool> started{registrar_, Field::started, false};

    // ---- services, fixed at construction ---------------------------------------------------
    const HostModelPlatform platform;
    const std::shared_ptr<CaptureServicePort> captureService;
    const std::shared_ptr<VideoPipeline> videoPipeline;
    const std::shared_ptr<InputInjectorPort> inputInjector;
    const std::shared_ptr<WakeReadinessService> wakeReadinessService;
    const std::shared_ptr<BeaconPort> bleAdvertiser;
    const std::shared_ptr<DeviceIdentityService> identityService;
    const std::shared_ptr<TrustedDeviceStore> trustedDeviceStore;
    const std::shared_ptr<SessionServerPort> sessionServer;
    const BackoffPolicy backoffPolicy;

    // Frames the frame stream dropped for newer ones, over every stream.
    std::uint64_t droppedStreamFrames() const;

private:
    using FrameChannel = VideoPipeline::FrameChannel;

    HostModel(std::shared_ptr<DeviceIdentityService> identityService,
              std::shared_ptr<TrustedDeviceStore> trustedDeviceStore, HostModelEnvironment environment,
              HostServices services);
    static HostServices makeServices(const HostModelEnvironment& environment,
                                     std::shared_ptr<DeviceIdentityService> identityService,
                                     std::shared_ptr<TrustedDeviceStore> trustedDeviceStore);

    // ---- bodies (each public coroutine keeps the model alive around one) ----
    asio::awaitable<void> refreshWakeSnapshotBody();
    asio::awaitable<void> startBody();
    asio::awaitable<void> reloadBody();
    asio::awaitable<void> restartListenerBody();
    asio::awaitable<void> startListenerBody(bool useAnyPort);
    asio::awaitable<void> sessionsChangedBody(std::vector<ActiveSessionDescriptor> sessions);
    asio::awaitable<void> verifiedWakeBody(Date date);
    asio::awaitable<std::optional<VideoStreamStopReason>> streamRequestBody(VideoStreamConfiguration configuration,
                                                                            std::uint64_t generation);
    asio::awaitable<void> refreshStreamDiagnosticsBody();
    asio::awaitable<void> stopVideoStreamBody(VideoStreamState finalState);
    asio::awaitable<void> stopStreamingIfUnwatchedBody();
    asio::awaitable<void> stopStreamingBody(VideoStreamStopReason reason, std::string detail);
    asio::awaitable<void> restartCaptureBody(VideoStreamConfiguration configuration, std::uint64_t scheduledEpoch);
    asio::awaitable<void> runWakePreflightBody();
    asio::awaitable<void> setDevicePermissionBody(bool allowed, TrustedDevice device, DevicePermissions bit);
    asio::awaitable<void> revokeDeviceBody(TrustedDevice device);
    asio::awaitable<void> removeDeviceBody(TrustedDevice device);
    asio::awaitable<void> remoteAccessBody(bool enabled);
    asio::awaitable<void> disconnectSessionBody(ActiveSessionDescriptor session);
    asio::awaitable<void> disconnectAllBody();
    asio::awaitable<void> resetIdentityBody();

    // ---- tasks ------------------------------------------------------------------
    // A task holding the model weakly: `body(model)` runs only if the model still exists.
    void spawnHoldingWeakly(std::function<asio::awaitable<void>(HostModel&)> body);
    static asio::awaitable<void> restartTaskBody(std::weak_ptr<HostModel> weak, HostModelTask task,
                                                 Duration delay, bool useAnyPort);
    static asio::awaitable<void> diagnosticsLoop(std::weak_ptr<HostModel> weak, HostModelTask task);
    static asio::awaitable<void> broadcastFrames(FrameChannel::Consumer frames,
                                                 std::shared_ptr<SessionServerPort> server, HostModelTask task,
                                                 bool onLoop);
    // Runs `step`; a failure lands in networkError and gives false.
    asio::awaitable<bool> succeeds(asio::awaitable<void> step);
    // What a capture start under way came to.
    struct CaptureStart {
        std::optional<CaptureServicePort::CaptureSize> size;
        std::exception_ptr failure;
        bool stopped = false; // the pipeline was stopped meanwhile: write nothing
    };
    // Starts capture for the pipeline of `epoch`; when a stop came meanwhile,
    // stops what started unless a request newer than `request` has taken over.
    asio::awaitable<CaptureStart> startCaptureWithin(VideoStreamConfiguration configuration, std::uint64_t epoch,
                                                     std::uint64_t request);
    // Refills the tunnel addresses and tells the beacon the LAN addresses.
    void refreshAddresses();
    void reportDisplayEvent(DisplayEvent event);
    HostSessionCallbacks makeCallbacks();
    // Reports errors from the loop: one hop to the UI thread at a time,
    // showing the latest text.
    struct ErrorRelay;

    const asio::any_io_executor mainExecutor_;
    const SleepFunction sleep_;
    const WallClock clock_;
    const bool broadcastsOnMainExecutor_;
    std::function<void(DisplayEvent)> displayEventHandler_;
    // The operations that stop and start the listener run one after another.
    FifoLock listenerChain_;
    // Permission changes run one after another, each from the record the one
    // before it stored.
    FifoLock permissionChain_;
    std::shared_ptr<ErrorRelay> errorRelay_;
};

} // namespace velorinth
