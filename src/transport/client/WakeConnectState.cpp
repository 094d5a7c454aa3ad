#include "transport/client/WakeConnectState.hpp"

#include "core/Text.hpp"

#include <utility>

namespace velorinth {

WakeConnectState WakeConnectState::reconnecting(int attempt) {
    WakeConnectState state(Case::reconnecting);
    state.attempt_ = attempt;
    return state;
}

WakeConnectState WakeConnectState::authenticationFailed(std::string message) {
    WakeConnectState state(Case::authenticationFailed);
    state.message_ = std::move(message);
    return state;
}

WakeConnectState WakeConnectState::connectionFailed(std::string message) {
    WakeConnectState state(Case::connectionFailed);
    state.message_ = std::move(message);
    return state;
}

bool WakeConnectState::isInProgress() const noexcept {
    switch (kind_) {
    case Case::idle:
    case Case::wakeUnavailable:
    case Case::connected:
    case Case::wakeTimedOut:
    case Case::cancelled:
    case Case::authenticationFailed:
    case Case::connectionFailed: return false;
    default: return true;
    }
}

std::string WakeConnectState::detailedStatusText() const {
    switch (kind_) {
    case Case::reconnecting: return "Reconnecting\u2026";
    case Case::authenticationFailed:
    case Case::connectionFailed: return message_;
    case Case::idle: return "Ready to connect";
    case Case::checkingHost: return "Checking whether your Mac is awake\u2026";
    case Case::hostReachable:
    case Case::authenticating: return "Establishing secure connection\u2026";
    case Case::resolvingWakeRoute: return "Checking saved wake configuration\u2026";
    case Case::wakeUnavailable: return std::string(WakeConnectMessages::wakeUnavailable);
    case Case::sendingWakeRequest:
    case Case::waitingForHost: return "Attempting to wake your Mac\u2026";
    case Case::contactingWakeRelay: return "Contacting wake relay\u2026";
    case Case::wakeRequestSent: return "Wake request sent.";
    case Case::startingDesktopStream:
    case Case::waitingForFirstFrame: return "Starting your Mac desktop\u2026";
    case Case::connected: return "Connected";
    case Case::wakeTimedOut: return std::string(WakeConnectMessages::wakeNotConfirmed);
    case Case::cancelled: return "Connection cancelled.";
    }
    return {};
}

std::string WakeConnectState::compactStatusText() const {
    switch (kind_) {
    case Case::authenticationFailed:
        if (lowercased(message_).find("identity verification failed") != std::string::npos) {
            return std::string(WakeConnectMessages::identityNotVerified);
        }
        return message_;
    case Case::checkingHost:
    case Case::resolvingWakeRoute: return "Checking your Mac\u2026";
    case Case::hostReachable:
    case Case::authenticating: return "Connecting securely\u2026";
    case Case::wakeUnavailable: return "Your Mac is unreachable.";
    case Case::sendingWakeRequest:
    case Case::waitingForHost: return "Waiting for your Mac\u2026";
    case Case::startingDesktopStream:
    case Case::waitingForFirstFrame: return "Starting desktop\u2026";
    default: return detailedStatusText();
    }
}

std::string_view WakeConnectState::name() const noexcept {
    static constexpr std::array<std::string_view, 18> names{
        "reconnecting",       "authenticationFailed", "connectionFailed",    "idle",
        "checkingHost",       "hostReachable",        "resolvingWakeRoute",  "wakeUnavailable",
        "sendingWakeRequest", "contactingWakeRelay",  "wakeRequestSent",     "waitingForHost",
        "authenticating",     "startingDesktopStream", "waitingForFirstFrame", "connected",
        "wakeTimedOut",       "cancelled",
    };
    return names[static_cast<std::size_t>(kind_)];
}

} // namespace velorinth
