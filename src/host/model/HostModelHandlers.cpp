// The server's reports as the model applies them on the UI thread, and the
// remote-input handler that runs on the server's loop.

#include "host/input/InputInjectorError.hpp"
#include "host/model/HostModel.hpp"

#include "core/KeepAlive.hpp"

namespace velorinth {

asio::awaitable<void> HostModel::handleSessionsChanged(std::vector<ActiveSessionDescriptor> sessions) {
    return keepAlive(shared_from_this(), sessionsChangedBody(std::move(sessions)));
}

asio::awaitable<void> HostModel::sessionsChangedBody(std::vector<ActiveSessionDescriptor> sessions) {
    activeSessionList.set(std::move(sessions));
    co_await stopStreamingIfUnwatched();
}

void HostModel::handleTrustedDevicesChanged(std::vector<TrustedDevice> devices) { trustedDevices.set(std::move(devices)); }

void HostModel::handlePromptChanged(std::optional<IncomingPairingPrompt> prompt) {
    const bool present = prompt.has_value();
    pendingPairing.set(std::move(prompt));
    if (present && platform.windowActivator) platform.windowActivator->activateAndOrderAllWindowsFront();
}

void HostModel::handleServerError(const std::exception_ptr& error) {
    if (std::optional<std::string> text = serverErrorText(error)) networkError.set(std::move(*text));
}

bool HostModel::handleRemoteInput(InputInjectorPort& injector, DisplayMonitor& display, const InputEvent& event,
                                  const std::function<void()>& reportAccessibilityMissing) {
    try {
        injector.inject(event, display.mainDisplayBounds());
    } catch (const InputInjectorError& error) {
        if (error.kind != InputInjectorError::Case::accessibilityPermissionRequired) return true;
        reportAccessibilityMissing();
        return false;
    } catch (const std::exception&) {
        // Anything else is not the tablet's to hear about.
    }
    return true;
}

void HostModel::reportAccessibilityBlocked() {
    accessibilityGranted.set(false);
    networkError.set(std::string(kAccessibilityBlockedText));
}

asio::awaitable<void> HostModel::handleVerifiedWakeConfirmed(Date date) {
    return keepAlive(shared_from_this(), verifiedWakeBody(date));
}

asio::awaitable<void> HostModel::verifiedWakeBody(Date date) {
    wakeReadinessService->recordVerifiedWake(date);
    co_await refreshWakeSnapshot();
}

} // namespace velorinth
