#pragma once

#include <string>
#include <utility>

namespace velorinth {

// The network transition coordinator's state. Built only through the case
// functions, so a payload exists exactly where its case has one.
class NetworkReconnectStatus {
public:
    enum class Case { reconnecting, haltedByRevocationOrAuth, exhaustedRetries, idle, waitingForNetwork, recovered, cancelled };

    // `attempt` counts from 1.
    static NetworkReconnectStatus reconnecting(int attempt, int maxAttempts) {
        return {Case::reconnecting, attempt, maxAttempts, {}};
    }
    // Stopped for good; `text` is shown to the user.
    static NetworkReconnectStatus haltedByRevocationOrAuth(std::string text) {
        return {Case::haltedByRevocationOrAuth, 0, 0, std::move(text)};
    }
    // `text` describes the last failure.
    static NetworkReconnectStatus exhaustedRetries(std::string text) {
        return {Case::exhaustedRetries, 0, 0, std::move(text)};
    }
    static NetworkReconnectStatus idle() { return {Case::idle, 0, 0, {}}; }
    static NetworkReconnectStatus waitingForNetwork() { return {Case::waitingForNetwork, 0, 0, {}}; }
    static NetworkReconnectStatus recovered() { return {Case::recovered, 0, 0, {}}; }
    static NetworkReconnectStatus cancelled() { return {Case::cancelled, 0, 0, {}}; }

    Case kind() const noexcept { return kind_; }
    int attempt() const noexcept { return attempt_; }         // reconnecting only, else 0
    int maxAttempts() const noexcept { return maxAttempts_; } // reconnecting only, else 0
    const std::string& text() const noexcept { return text_; } // halted and exhausted only, else empty

    bool operator==(const NetworkReconnectStatus&) const = default;

private:
    NetworkReconnectStatus(Case kind, int attempt, int maxAttempts, std::string text)
        : kind_(kind), attempt_(attempt), maxAttempts_(maxAttempts), text_(std::move(text)) {}

    Case kind_;
    int attempt_;
    int maxAttempts_;
    std::string text_;
};

} // namespace velorinth
