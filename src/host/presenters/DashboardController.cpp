#include "host/presenters/DashboardController.hpp"

#include "host/presenters/ModelTasks.hpp"

namespace velorinth {

DashboardController::DashboardController(std::shared_ptr<HostModel> model, WallClock clock)
    : model_(std::move(model)), clock_(std::move(clock)) {}

void DashboardController::windowShown() {
    model_->refreshPermissions();
    startModelTask(*model_, model_->start());
}

void DashboardController::applicationDidBecomeActive() {
    model_->refreshPermissions();
    auto task = [](std::shared_ptr<HostModel> model) -> asio::awaitable<void> {
        co_await model->reloadIdentityAndRestartListener();
        co_await model->refreshWakeSnapshot();
    };
    startModelTask(*model_, task(model_));
}

void DashboardController::screenParametersChanged() { model_->handleDisplayConfigurationChange(); }

void DashboardController::systemWillSleep(std::function<void()> reported) {
    auto task = [](std::shared_ptr<HostModel> model, Date now,
                   std::function<void()> reported) -> asio::awaitable<void> {
        std::exception_ptr failure;
        try {
            co_await model->sessionServer->reportSystemSleep(now);
        } catch (...) {
            failure = std::current_exception();
        }
        if (reported) reported();
        if (failure) std::rethrow_exception(failure);
    };
    startModelTask(*model_, task(model_, clock_(), std::move(reported)));
}

void DashboardController::refreshAfterWake() {
    auto task = [](std::shared_ptr<HostModel> model) -> asio::awaitable<void> {
        model->refreshPermissions();
        co_await model->refreshWakeSnapshot();
        model->pushHostState();
    };
    startModelTask(*model_, task(model_));
}

void DashboardController::systemDidWake() { refreshAfterWake(); }
void DashboardController::screensDidWake() { refreshAfterWake(); }

void DashboardController::screensDidSleep() { startModelTask(*model_, model_->refreshWakeSnapshot()); }

void DashboardController::displayEvent(DisplayEvent event) {
    switch (event) {
    case DisplayEvent::screenParametersChanged: screenParametersChanged(); break;
    case DisplayEvent::screensDidSleep: screensDidSleep(); break;
    case DisplayEvent::screensDidWake: screensDidWake(); break;
    }
}

DashboardController::PairingSheetChange DashboardController::pairingPromptChanged() {
    const std::optional<IncomingPairingPrompt>& pending = model_->pendingPairing.get();
    if (!pending) {
        if (!shownPrompt_) return PairingSheetChange::none;
        shownPrompt_.reset();
        return PairingSheetChange::close;
    }
    // One sheet per prompt: the same prompt again changes nothing, a new one
    // replaces what was shown.
    if (shownPrompt_ && shownPrompt_->id == pending->id) return PairingSheetChange::none;
    shownPrompt_ = pending;
    return PairingSheetChange::open;
}

void DashboardController::approvePairing(Uuid pairingID) {
    clearShownPrompt(pairingID);
    startModelTask(*model_, model_->approvePendingPairing(pairingID));
}

void DashboardController::rejectPairing(Uuid pairingID) {
    clearShownPrompt(pairingID);
    startModelTask(*model_, model_->rejectPendingPairing(pairingID));
}

void DashboardController::clearShownPrompt(const Uuid& pairingID) {
    // A newer prompt that replaced the shown one meanwhile stays: it has a
    // sheet of its own to be answered on.
    const std::optional<IncomingPairingPrompt>& pending = model_->pendingPairing.get();
    if (pending && pending->id == pairingID) model_->pendingPairing.set(std::nullopt);
}

void DashboardController::testWakeConfiguration() {
    showWakePreflightSheet_ = true;
    startModelTask(*model_, model_->runWakePreflightTest());
}

void DashboardController::answerIdentityReset(bool reset) {
    confirmIdentityReset_ = false;
    if (reset) startModelTask(*model_, model_->resetIdentity());
}

} // namespace velorinth
