#include "host/presenters/StatusHeaderPresenter.hpp"

#include "host/presenters/DashboardPresenter.hpp"
#include "host/presenters/ModelTasks.hpp"
#include "host/presenters/Symbols.hpp"

namespace velorinth {

StatusHeaderPresentation StatusHeaderPresenter::present(const HostModel& model) {
    using L = ListenerStatus::Case;
    StatusHeaderPresentation p;
    const bool enabled = model.remoteAccessEnabled.get();
    const ListenerStatus& listener = model.listenerStatus.get();
    const bool troubled = listener.kind() == L::permissionDenied || listener.kind() == L::failed;
    const bool sharing = DashboardPresenter::isSharingDesktop(model);
    const auto sessions = static_cast<std::int64_t>(model.activeSessionList.get().size());

    if (!enabled) {
        p.status = {std::string(symbols::pauseCircleFill), Tint::secondary};
    } else if (troubled) {
        p.status = {std::string(symbols::exclamationmarkTriangleFill), Tint::orange};
    } else if (sharing) {
        p.status = {std::string(symbols::displayAndArrowDown), Tint::green};
    } else {
        p.status = {std::string(symbols::checkmarkCircleFill), Tint::green};
    }

    if (!enabled) {
        p.title = "Remote Access Disabled";
    } else if (sharing) {
        p.title = "Live Desktop Streaming Active";
    } else if (sessions > 0) {
        p.title = "Authenticated Session Active";
    } else {
        p.title = "Ready for Remote Access";
    }
    if (sharing) {
        p.sharingBadge =
            Badge{"Sharing Mac Desktop", Tint::purple, std::string(symbols::rectangleInsetFilledAndPersonFilled), 0.16};
    }
    p.hostName = model.hostIdentity.get() ? model.hostIdentity.get()->displayName
                                          : HostModel::hostDisplayName(*model.platform.computerName);

    switch (listener.kind()) {
    case L::advertising: {
        const std::string port = decimalText(static_cast<std::int64_t>(listener.port()));
        // Listening is not being found: tablets reach an unpublished host only by its address.
        if (model.servicePublished.get() == false) {
            p.discoveryText = "Not discoverable via Bonjour \u00B7 TLS 1.3 port " + port + " by address";
            p.discoverySymbol = {std::string(symbols::wifiExclamationmark), Tint::orange};
            break;
        }
        p.discoveryText = "Discoverable via Bonjour (_velorinth._tcp) \u00B7 TLS 1.3 port " + port;
        p.discoverySymbol = {std::string(symbols::dotRadiowavesLeftAndRight), Tint::green};
        break;
    }
    case L::failed:
        p.discoveryText = "Discovery unavailable \u2014 retrying";
        p.discoverySymbol = {std::string(symbols::wifiExclamationmark), Tint::orange};
        break;
    case L::idle:
        p.discoveryText = "Discovery not started";
        p.discoverySymbol = {std::string(symbols::wifiSlash), Tint::secondary};
        break;
    case L::starting:
        p.discoveryText = "Starting Bonjour listener\u2026";
        p.discoverySymbol = {std::string(symbols::hourglass), Tint::secondary};
        break;
    case L::permissionDenied:
        p.discoveryText = "Local Network permission denied";
        p.discoverySymbol = {std::string(symbols::wifiExclamationmark), Tint::orange};
        break;
    case L::stopped:
        p.discoveryText = "Not discoverable (Remote Access off)";
        p.discoverySymbol = {std::string(symbols::wifiSlash), Tint::secondary};
        break;
    }
    p.discoveryTint = p.discoverySymbol.tint;
    p.sessionText = sessions > 0 ? decimalText(sessions) + " authenticated session(s)" : "No active remote sessions";
    p.sessionTint = sessions > 0 ? Tint::green : Tint::secondary;
    p.showsStopSharing = sharing;
    return p;
}

std::optional<ErrorBannerPresentation> StatusHeaderPresenter::banner(const HostModel& model) {
    if (!model.networkError.get()) return std::nullopt;
    return ErrorBannerPresentation{{std::string(symbols::exclamationmarkShieldFill), Tint::orange},
                                   *model.networkError.get(),
                                   "Dismiss"};
}

void StatusHeaderPresenter::stopSharing(HostModel& model) {
    auto task = [](std::shared_ptr<HostModel> model) -> asio::awaitable<void> {
        co_await model->stopVideoStream(VideoStreamState::stopped());
        co_await model->sessionServer->stopAllVideoStreams(VideoStreamStopReason::hostStopped,
                                                           std::string(HostModel::kStopSharingDetail));
    };
    startModelTask(model, task(model.shared_from_this()));
}

void StatusHeaderPresenter::dismissError(HostModel& model) {
    if (model.networkError.get()) model.networkError.set(std::nullopt);
}

} // namespace velorinth
