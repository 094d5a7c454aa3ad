#include "core/BackoffPolicy.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace velorinth {

std::optional<BackoffPolicy::Duration> BackoffPolicy::delay(int attempt) const {
    if (attempt < 0 || attempt >= attemptLimit) return std::nullopt;
    using Seconds = std::chrono::duration<double>;
    const double initialSeconds = std::chrono::duration_cast<Seconds>(initial).count();
    const double maximumSeconds = std::chrono::duration_cast<Seconds>(maximum).count();
    const double grown = initialSeconds * std::pow(multiplier, static_cast<double>(attempt));
    // A maximum only caps; it never raises a small delay. Returning `maximum`
    // itself keeps huge products out of the (undefined) float-to-tick cast,
    // and a negative or not-a-number product (0 × ∞) is no wait at all.
    if (maximumSeconds <= grown) return maximum;
    const double seconds = grown > 0.0 ? grown : 0.0;
    return std::chrono::duration_cast<Duration>(Seconds(seconds));
}

const BackoffPolicy ListenerRestartPlan::policy{std::chrono::seconds(1), std::chrono::seconds(8), 2.0, 6};

ListenerRestartPlan ListenerRestartPlan::forFailure(std::string_view failureText, int attempt) {
    // The system's own text is "Address already in use"; match it in any case.
    static constexpr std::string_view addressInUse = "address already in use";
    const auto found = std::search(failureText.begin(), failureText.end(), addressInUse.begin(), addressInUse.end(),
                                   [](char a, char b) {
                                       return std::tolower(static_cast<unsigned char>(a)) ==
                                              std::tolower(static_cast<unsigned char>(b));
                                   });
    if (found != failureText.end() || failureText.find("48") != std::string_view::npos) {
        return {addressInUseDelay, true};
    }
    return {policy.delay(attempt).value_or(exhaustedDelay), attempt >= anyPortFromAttempt};
}

} // namespace velorinth
