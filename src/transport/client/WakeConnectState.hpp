#pragma once

#include <array>
#include <string>
#include <string_view>

namespace velorinth {

// The state of a wake-and-connect run and the texts the tablet shows for
// it. Three cases carry a value; equal when case and value are equal.
class WakeConnectState {
public:
    enum class Case {
        reconnecting,
        authenticationFailed,
        connectionFailed,
        idle,
        checkingHost,
        hostReachable,
        resolvingWakeRoute,
        wakeUnavailable,
        sendingWakeRequest,
        contactingWakeRelay,
        wakeRequestSent,
        waitingForHost,
        authenticating,
        startingDesktopStream,
        waitingForFirstFrame,
        connected,
        wakeTimedOut,
        cancelled,
    };

    // A case without a value (the three with one have functions of their
    // own); implicit, so a plain case reads as a state.
    WakeConnectState(Case kind = Case::idle) : kind_(kind) {}
    static WakeConnectState reconnecting(int attempt);
    static WakeConnectState authenticationFailed(std::string message);
    static WakeConnectState connectionFailed(std::string message);

    Case kind() const noexcept { return kind_; }
    int attempt() const noexcept { return attempt_; }                     // reconnecting
    const std::string& message() const noexcept { return message_; }     // the two failures

    // False for idle, wakeUnavailable, connected, wakeTimedOut, cancelled
    // and both failures.
    bool isInProgress() const noexcept;
    std::string detailedStatusText() const;
    std::string compactStatusText() const;
    // The case's name, for logs and test output.
    std::string_view name() const noexcept;

    bool operator==(const WakeConnectState&) const = default;

private:
    Case kind_;
    int attempt_ = 0;
    std::string message_;
};

// The sentences the tablet shows around a wake that did not work.
struct WakeConnectMessages {
    static constexpr std::string_view wakeUnavailable =
        "Your Mac isn't reachable, and remote wake isn't available with the current configuration.";
    static constexpr std::string_view wakeNotConfirmed = "Velorinth couldn't confirm that your Mac woke up.";
    static constexpr std::string_view identityNotVerified = "Your Mac's identity could not be verified.";
    static constexpr std::array<std::string_view, 5> wakeFailureCauses{
        "Your Mac may be powered off or in deep hibernation.",
        "A MacBook may be on battery power or closed without AC power and an external display.",
        "\u201cWake for network access\u201d may be disabled in macOS System Settings.",
        "Your Wi-Fi network or router may filter broadcast wake packets without a Bonjour Sleep Proxy.",
        "Your iPad may be connected to a different Wi-Fi network, VLAN, or guest subnet.",
    };
};

} // namespace velorinth
