#include "transport/client/NetworkTransitionCoordinator.hpp"

#include "core/Cancellation.hpp"
#include "transport/client/RemoteConnectionFailure.hpp"
#include "transport/client/WakeConnectCoordinator.hpp"

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <cmath>
#include <limits>

namespace velorinth::detail {

ReconnectFailureVerdict classifyReconnectFailure(const std::exception_ptr& failure) {
    using Action = ReconnectFailureVerdict::Action;
    if (isCancellationError(failure)) return {Action::cancel, {}};
    try {
        std::rethrow_exception(failure);
    } catch (const RemoteConnectionFailure& error) {
        if (error.isTerminal()) return {Action::halt, error.what()};
        if (error.kind() == RemoteConnectionFailure::Case::cancelled) return {Action::cancel, {}};
        return {Action::retry, error.what()};
    } catch (const std::exception& error) {
        if (auto text = WakeConnectCoordinator::authenticationFailureMessage(failure)) return {Action::halt, *text};
        return {Action::retry, error.what()};
    } catch (...) {
        return {Action::retry, kNotRestoredText};
    }
}

std::chrono::nanoseconds reconnectWait(const BackoffPolicy& policy, int n) {
    using Seconds = std::chrono::duration<double>;
    const double initial = std::chrono::duration_cast<Seconds>(policy.initial).count();
    const double maximum = std::chrono::duration_cast<Seconds>(policy.maximum).count();
    const double product = initial * std::pow(policy.multiplier, static_cast<double>(n - 1));
    // As the policy's own delay: the maximum when the product is above it (or not a number).
    const double seconds = product < maximum ? product : maximum;
    constexpr double kLongest = static_cast<double>(std::numeric_limits<std::chrono::nanoseconds::rep>::max()) / 1e9;
    if (!(seconds > 0)) return std::chrono::nanoseconds(0);
    if (seconds >= kLongest) return std::chrono::nanoseconds::max();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Seconds(seconds));
}

bool isDeviceAuthorizedToConnect(TrustedDeviceStore& store, const Uuid& deviceID) {
    try {
        const std::optional<TrustedDevice> record = store.device(deviceID);
        return record && record->authorization != DeviceAuthorization::revoked &&
               record->permissions.contains(DevicePermissions::connect);
    } catch (...) {
        return false;
    }
}

asio::awaitable<void> steadySleep(std::chrono::nanoseconds duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    // Past the clock's range: a wait that never ends on its own.
    if (duration >= std::chrono::duration_cast<std::chrono::nanoseconds>(asio::steady_timer::duration::max()) / 2) {
        timer.expires_at(asio::steady_timer::time_point::max());
    } else {
        timer.expires_after(duration);
    }
    co_await timer.async_wait(asio::use_awaitable);
}

} // namespace velorinth::detail
