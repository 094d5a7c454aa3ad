// Activation: the permission refresh, the first start with the server's
// callbacks, the identity reload, the Screen Recording request and the
// reaction to a new display configuration.

#include "host/model/HostModel.hpp"

#include "core/KeepAlive.hpp"
#include "core/WorkerCall.hpp"

#include <asio/post.hpp>

#include <mutex>

namespace velorinth {

void HostModel::refreshPermissions() {
    const bool accessibility = platform.accessibility->isTrusted();
    const bool changed = accessibility != accessibilityGranted.get();
    accessibilityGranted.set(accessibility);
    if (!accessibility) inputInjector->releaseAllHeld();
    screenRecordingGranted.set(platform.screenRecording->preflight());
    if (!screenRecordingGranted.get() && captureState.get().kind == CaptureState::Case::capturing) {
        spawnHoldingWeakly([](HostModel& model) { return model.handleScreenRecordingRevoked(); });
    }
    if (changed && started.get()) pushHostState();
}

asio::awaitable<void> HostModel::start() { return keepAlive(shared_from_this(), startBody()); }

asio::awaitable<void> HostModel::startBody() {
    if (started.get()) {
        refreshPermissions();
        co_await reloadIdentityAndRestartListener();
        co_return;
    }
    started.set(true);
    platform.display->start([weak = weak_from_this(), executor = mainExecutor_](DisplayEvent event) {
        asio::post(executor, [weak, event] {
            if (const std::shared_ptr<HostModel> self = weak.lock()) self->reportDisplayEvent(event);
        });
    });
    // The capture thread words the error; only the text crosses to the UI
    // thread. The task starts a turn later: it holds the model weakly too.
    captureService->setOnStreamStoppedWithError([weak = weak_from_this(), executor = mainExecutor_](
                                                    std::exception_ptr error) {
        std::string description = userFacingMessage(error);
        asio::post(executor, [weak, description = std::move(description)] {
            if (const std::shared_ptr<HostModel> self = weak.lock()) {
                self->spawnHoldingWeakly(
                    [description](HostModel& model) { return model.handleCaptureStopped(description); });
            }
        });
    });
    co_await sessionServer->setCallbacks(makeCallbacks());

    HostWakeDiagnosticsSnapshot snapshot =
        wakeReadinessService->diagnosticsSnapshot(std::nullopt, remoteAccessEnabled.get(), clock_());
    SavedWakeConfiguration configuration = snapshot.configuration;
    wakeSnapshot.set(std::move(snapshot));
    co_await sessionServer->updateHostState(hostDisplayDescriptor(), platform.accessibility->isTrusted(),
                                            std::move(configuration));

    try {
        hostIdentity.set(identityService->renameDevice());
        trustedDevices.set(trustedDeviceStore->allDevices());
    } catch (...) {
        networkError.set(userFacingMessage(std::current_exception()));
        co_return;
    }
    if (!remoteAccessEnabled.get()) co_return;
    co_await listenerChain_.acquire();
    FifoLock::Holder holder(listenerChain_);
    if (remoteAccessEnabled.get()) co_await succeeds(startListener(false));
}

void HostModel::reportDisplayEvent(DisplayEvent event) {
    if (displayEventHandler_) displayEventHandler_(event);
}

asio::awaitable<void> HostModel::reloadIdentityAndRestartListener() {
    return keepAlive(shared_from_this(), reloadBody());
}

asio::awaitable<void> HostModel::reloadBody() {
    if (!started.get() || !hostIdentity.get()) co_return;
    refreshAddresses();
    DevicePublicIdentity renamed;
    try {
        renamed = identityService->renameDevice();
    } catch (...) {
        networkError.set(userFacingMessage(std::current_exception()));
        co_return;
    }
    if (renamed.displayName == hostIdentity.get()->displayName) co_return;
    hostIdentity.set(std::move(renamed));
    if (!remoteAccessEnabled.get()) co_return;
    co_await listenerChain_.acquire();
    FifoLock::Holder holder(listenerChain_);
    if (!remoteAccessEnabled.get()) co_return;
    co_await sessionServer->stop();
    if (remoteAccessEnabled.get()) co_await succeeds(startListener(false));
}

asio::awaitable<void> HostModel::requestScreenRecordingPermission() {
    captureState.set(CaptureState::requestingPermission());
    ScreenRecordingAccess& access = *platform.screenRecording;
    const bool granted = access.preflight() || access.request();
    screenRecordingGranted.set(granted);
    if (!granted) {
        captureState.set(CaptureState::failed(std::string(kScreenRecordingPermissionRequiredText)));
        co_return;
    }
    try {
        access.confirmShareableContent();
        screenRecordingGranted.set(true);
        captureState.set(CaptureState::idle());
    } catch (const std::exception& error) {
        const bool stillGranted = access.preflight();
        screenRecordingGranted.set(stillGranted);
        captureState.set(stillGranted ? CaptureState::idle() : CaptureState::failed(error.what()));
    }
}

void HostModel::handleDisplayConfigurationChange() {
    pushHostState();
    if (!activeVideoConfiguration.get() || !captureService->isCapturing()) return;
    spawn(keepAlive(shared_from_this(), restartCaptureBody(*activeVideoConfiguration.get(), videoPipeline->epoch())));
}

// ---- the server's callbacks -------------------------------------------------------

struct HostModel::ErrorRelay {
    asio::any_io_executor executor;
    std::weak_ptr<HostModel> model;
    std::mutex mutex;
    std::optional<std::string> latest;
    bool hopPending = false;

    // On the loop, once per failed connection: constant work, one hop at a time.
    static void report(const std::shared_ptr<ErrorRelay>& relay, const std::exception_ptr& error) {
        std::optional<std::string> text = serverErrorText(error);
        if (!text) return;
        std::lock_guard guard(relay->mutex);
        relay->latest = std::move(text);
        if (relay->hopPending) return;
        relay->hopPending = true;
        asio::post(relay->executor, [relay] {
            std::optional<std::string> shown;
            {
                std::lock_guard guard(relay->mutex);
                relay->hopPending = false;
                shown = std::move(relay->latest);
                relay->latest.reset();
            }
            const std::shared_ptr<HostModel> self = relay->model.lock();
            if (self && shown) self->networkError.set(std::move(*shown));
        });
    }
};

namespace {

// Runs `handle(model, argument)` on the UI thread if the model still exists.
template <class Argument, class Handle>
auto hop(asio::any_io_executor executor, std::weak_ptr<HostModel> weak, Handle handle) {
    return [executor, weak, handle](const Argument& argument) {
        asio::post(executor, [weak, handle, argument] {
            if (const std::shared_ptr<HostModel> self = weak.lock()) handle(*self, argument);
        });
    };
}

asio::awaitable<void> requestStream(std::weak_ptr<HostModel> weak, asio::any_io_executor mainExecutor,
                                    VideoStreamConfiguration configuration, std::uint64_t generation) {
    auto onMain = [weak, configuration, generation]() -> asio::awaitable<std::optional<VideoStreamStopReason>> {
        const std::shared_ptr<HostModel> self = weak.lock();
        if (!self) co_return VideoStreamStopReason::hostStopped;
        co_return co_await self->handleVideoStreamRequest(configuration, generation);
    };
    const std::optional<VideoStreamStopReason> failure = co_await callOnExecutor(mainExecutor, std::move(onMain));
    if (failure) throw VideoStreamStopError(*failure);
}

} // namespace

HostSessionCallbacks HostModel::makeCallbacks() {
    const std::weak_ptr<HostModel> weak = weak_from_this();
    const asio::any_io_executor main = mainExecutor_;
    if (!errorRelay_) {
        errorRelay_ = std::make_shared<ErrorRelay>();
        errorRelay_->executor = main;
        errorRelay_->model = weak;
    }
    HostSessionCallbacks callbacks;
    callbacks.onListenerStatus =
        hop<ListenerStatus>(main, weak, [](HostModel& model, const ListenerStatus& status) {
            model.handleListenerStatus(status);
        });
    callbacks.onPublicationChanged = hop<bool>(
        main, weak, [](HostModel& model, const bool& published) { model.servicePublished.set(published); });
    callbacks.onSessionsChanged = hop<std::vector<ActiveSessionDescriptor>>(
        main, weak, [](HostModel& model, const std::vector<ActiveSessionDescriptor>& sessions) {
            model.spawn(model.handleSessionsChanged(sessions));
        });
    callbacks.onTrustedDevicesChanged =
        hop<std::vector<TrustedDevice>>(main, weak, [](HostModel& model, const std::vector<TrustedDevice>& devices) {
            model.handleTrustedDevicesChanged(devices);
        });
    callbacks.onPromptChanged = hop<std::optional<IncomingPairingPrompt>>(
        main, weak,
        [](HostModel& model, const std::optional<IncomingPairingPrompt>& prompt) { model.handlePromptChanged(prompt); });
    callbacks.onError = [relay = errorRelay_](std::exception_ptr error) { ErrorRelay::report(relay, error); };
    // The model is locked only on the UI thread: the loop never holds its last reference.
    callbacks.onRemoteInput = [injector = inputInjector, display = platform.display, main,
                               weak](const Uuid&, const Uuid&, const InputEvent& event) {
        return handleRemoteInput(*injector, *display, event, [main, weak] {
            asio::post(main, [weak] {
                if (const std::shared_ptr<HostModel> self = weak.lock()) self->reportAccessibilityBlocked();
            });
        });
    };
    callbacks.onSessionClosedForInputCleanup = [injector = inputInjector](const Uuid&, const Uuid&) {
        injector->releaseAllHeld();
    };
    callbacks.onVideoStreamRequested = [weak, main](Uuid, Uuid, VideoStreamConfiguration configuration,
                                                    std::uint64_t generation) {
        return requestStream(weak, main, configuration, generation);
    };
    callbacks.onVideoKeyframeRequested = [box = videoPipeline->encoderBox()](const Uuid&, const Uuid&, std::uint64_t) {
        box->requestKeyframe();
    };
    callbacks.onVideoStreamStopped = [main, weak](const Uuid&, const Uuid&) {
        asio::post(main, [weak] {
            if (const std::shared_ptr<HostModel> self = weak.lock()) {
                self->spawnHoldingWeakly([](HostModel& model) { return model.handleVideoStreamStopped(); });
            }
        });
    };
    callbacks.onVerifiedWakeConfirmed = [main, weak](const Uuid&, Date date) {
        asio::post(main, [weak, date] {
            if (const std::shared_ptr<HostModel> self = weak.lock()) self->spawn(self->handleVerifiedWakeConfirmed(date));
        });
    };
    return callbacks;
}

} // namespace velorinth
