#pragma once

#include "core/KeepAlive.hpp"
#include "core/LoopTask.hpp"
#include "core/Uuid.hpp"
#include "core/BackoffPolicy.hpp"
#include "transport/discovery/NetworkPathSnapshot.hpp"
#include "transport/discovery/NetworkReconnectStatus.hpp"
#include "transport/security/TrustedDeviceStore.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace velorinth {

namespace detail {

// What the coordinator does with a failed reconnect attempt.
struct ReconnectFailureVerdict {
    enum class Action { cancel, halt, retry };
    Action action = Action::retry;
    std::string text; // halt: the text shown; retry: the failure's description
};

// Classifies a failed attempt: a cancellation ends the run as cancelled; a
// terminal RemoteConnectionFailure or an authentication failure halts it;
// anything else is retried.
ReconnectFailureVerdict classifyReconnectFailure(const std::exception_ptr& failure);

// The wait before attempt n + 1 (n ≥ 1): min(maximum, initial × multiplier^(n − 1))
// in floating-point seconds, bounded to what a duration holds.
std::chrono::nanoseconds reconnectWait(const BackoffPolicy& policy, int n);

// A record that exists, is not revoked and grants connect; false also when
// the record cannot be read.
bool isDeviceAuthorizedToConnect(TrustedDeviceStore& store, const Uuid& deviceID);

// Waits on a steady timer of the calling coroutine's executor.
asio::awaitable<void> steadySleep(std::chrono::nanoseconds duration);

inline constexpr const char* kAccessRevokedText = "Access for this device has been revoked.";
inline constexpr const char* kNotRestoredText = "Connection could not be restored.";

} // namespace detail

// Restores the connection to a followed paired device after the network path
// changed: runs the owner's reconnect operation with backoff, waits while no
// path is usable, halts on revocation or an authentication failure and gives
// up after a bounded number of attempts, reporting each state change.
//
// Lives on the event loop; made with std::make_shared, and a run keeps it
// alive. Each run carries the generation current when it started;
// startReconnect and stopTracking advance it, and a run of an older
// generation ends silently at its next resumption, so a replaced run never
// overwrites its successor's status or tracked device.
template <class Value>
class NetworkTransitionCoordinator : public std::enable_shared_from_this<NetworkTransitionCoordinator<Value>> {
public:
    using Reconnect = std::function<asio::awaitable<Value>(Uuid)>;
    using StatusHandler = std::function<void(const NetworkReconnectStatus&)>;
    using Sleep = std::function<asio::awaitable<void>(std::chrono::nanoseconds)>;
    using Run = LoopTask<std::optional<Value>>;

    // `maxAttempts` is raised to at least 1; `sleep` defaults to a steady
    // timer wait. Creation calls nothing.
    NetworkTransitionCoordinator(asio::any_io_executor executor, std::shared_ptr<TrustedDeviceStore> trustedDeviceStore,
                                 BackoffPolicy backoffPolicy, int maxAttempts, Reconnect performFreshReconnect,
                                 StatusHandler onStatusChanged, Sleep sleep = {})
        : executor_(std::move(executor)), trustedDeviceStore_(std::move(trustedDeviceStore)),
          backoffPolicy_(backoffPolicy), maxAttempts_(std::max(maxAttempts, 1)),
          performFreshReconnect_(std::move(performFreshReconnect)), onStatusChanged_(std::move(onStatusChanged)),
          sleep_(sleep ? std::move(sleep) : Sleep(&detail::steadySleep)) {}

    NetworkTransitionCoordinator(const NetworkTransitionCoordinator&) = delete;
    NetworkTransitionCoordinator& operator=(const NetworkTransitionCoordinator&) = delete;

    const NetworkReconnectStatus& currentStatus() const noexcept { return currentStatus_; }
    const std::optional<NetworkPathSnapshot>& latestPath() const noexcept { return latestPath_; }
    const std::optional<Uuid>& trackedDeviceID() const noexcept { return trackedDeviceID_; }
    const std::shared_ptr<Run>& activeReconnectTask() const noexcept { return activeReconnectTask_; }

    // Records the path; true when it started a run (a satisfied path while
    // waiting for the network, or a changed path while a run handle exists),
    // or when the caller handles the change itself.
    bool handlePathUpdate(const NetworkPathSnapshot& snapshot, std::optional<Uuid> callerDeviceID,
                          bool callerHandlesChange) {
        const std::optional<NetworkPathSnapshot> previous = std::exchange(latestPath_, snapshot);
        if (!userCancelled_ && trackedDeviceID_ &&
            currentStatus_.kind() == NetworkReconnectStatus::Case::waitingForNetwork && snapshot.isSatisfied()) {
            startReconnect(*trackedDeviceID_);
            return true;
        }
        if (!previous || previous->description() == snapshot.description()) return false;
        if (callerHandlesChange && callerDeviceID) return true;
        if (userCancelled_ || !trackedDeviceID_ || !activeReconnectTask_) return false;
        startReconnect(*trackedDeviceID_);
        return true;
    }

    // Follows `deviceID`, starts a run and waits for its end: the value of a
    // successful reconnect, or none (also when the caller's own task is
    // cancelled meanwhile).
    asio::awaitable<std::optional<Value>> reconnectNow(Uuid deviceID) {
        return keepAlive(this->shared_from_this(), reconnectNowBody(deviceID));
    }

    // Stops following the device and ends the run, waiting for it; then
    // reports cancelled unless a newer run started meanwhile.
    asio::awaitable<void> cancel() { return keepAlive(this->shared_from_this(), cancelBody()); }

    void track(Uuid deviceID) {
        userCancelled_ = false;
        trackedDeviceID_ = deviceID;
        publishStatus(NetworkReconnectStatus::idle());
    }

    void stopTracking() {
        if (activeReconnectTask_) activeReconnectTask_->cancel();
        ++generation_;
        activeReconnectTask_.reset();
        trackedDeviceID_.reset();
        userCancelled_ = false;
        publishStatus(NetworkReconnectStatus::idle());
    }

    // Cancels the previous run without waiting for it and starts a new one.
    std::shared_ptr<Run> startReconnect(Uuid deviceID) {
        if (activeReconnectTask_) activeReconnectTask_->cancel();
        const std::uint64_t generation = ++generation_;
        trackedDeviceID_ = deviceID;
        auto self = this->shared_from_this();
        activeReconnectTask_ = Run::start(executor_, [self, deviceID, generation](const Run& run) {
            return self->runReconnect(deviceID, run, generation);
        });
        return activeReconnectTask_;
    }

    bool isDeviceStillAuthorized(const Uuid& deviceID) {
        return detail::isDeviceAuthorizedToConnect(*trustedDeviceStore_, deviceID);
    }

    // The only writer of the status; an equal status is not reported again.
    void publishStatus(const NetworkReconnectStatus& status) {
        if (status == currentStatus_) return;
        currentStatus_ = status;
        if (onStatusChanged_) onStatusChanged_(currentStatus_);
    }

private:
    asio::awaitable<std::optional<Value>> reconnectNowBody(Uuid deviceID) {
        userCancelled_ = false;
        trackedDeviceID_ = deviceID;
        const std::shared_ptr<Run> run = startReconnect(deviceID);
        try {
            co_return co_await run->result();
        } catch (const CancellationError&) {
            co_return std::nullopt;
        }
    }

    asio::awaitable<void> cancelBody() {
        userCancelled_ = true;
        trackedDeviceID_.reset();
        if (const std::shared_ptr<Run> run = activeReconnectTask_) {
            const std::uint64_t generation = generation_;
            run->cancel();
            try {
                co_await run->result();
            } catch (const CancellationError&) {
                // Our caller was cancelled; the run has been told already.
            }
            // A reconnectNow meanwhile started a newer run: it stands.
            if (generation != generation_) co_return;
            activeReconnectTask_.reset();
        }
        publishStatus(NetworkReconnectStatus::cancelled());
    }

    // A run: the authorization check, then attempts spaced by the policy's
    // waits until one succeeds, a failure halts, or they are used up.
    asio::awaitable<std::optional<Value>> runReconnect(Uuid deviceID, const Run& run, std::uint64_t generation) {
        using Status = NetworkReconnectStatus;
        const auto stale = [this, generation] { return generation != generation_; };
        const auto cancelled = [this, &run] { return run.isCancelled() || userCancelled_; };
        const auto pathUnusable = [this] { return latestPath_ && !latestPath_->isSatisfied(); };
        const auto halt = [this](std::string text) {
            trackedDeviceID_.reset();
            publishStatus(Status::haltedByRevocationOrAuth(std::move(text)));
        };

        if (stale()) co_return std::nullopt; // replaced before it began
        if (!isDeviceStillAuthorized(deviceID)) {
            halt(detail::kAccessRevokedText);
            co_return std::nullopt;
        }
        if (pathUnusable()) {
            publishStatus(Status::waitingForNetwork());
            co_return std::nullopt;
        }
        std::string lastFailure = detail::kNotRestoredText;
        for (int n = 0;;) {
            if (cancelled()) break;
            if (!isDeviceStillAuthorized(deviceID)) {
                halt(detail::kAccessRevokedText);
                co_return std::nullopt;
            }
            if (n > 0) {
                if (n > backoffPolicy_.attemptLimit) {
                    trackedDeviceID_.reset();
                    publishStatus(Status::exhaustedRetries(lastFailure));
                    co_return std::nullopt;
                }
                bool interrupted = false;
                try {
                    auto wait = sleep_(detail::reconnectWait(backoffPolicy_, n));
                    co_await std::move(wait);
                } catch (...) {
                    interrupted = true;
                }
                if (stale()) co_return std::nullopt;
                if (interrupted) break;
            }
            if (cancelled()) break;
            if (pathUnusable()) {
                publishStatus(Status::waitingForNetwork());
                co_return std::nullopt;
            }

            publishStatus(Status::reconnecting(n + 1, maxAttempts_));
            std::optional<Value> value;
            std::exception_ptr failure;
            try {
                auto attempt = performFreshReconnect_(deviceID);
                value.emplace(co_await std::move(attempt));
            } catch (...) {
                failure = std::current_exception();
            }
            if (stale()) co_return std::nullopt;
            if (!failure) {
                if (cancelled()) break; // the value is dropped
                trackedDeviceID_ = deviceID;
                publishStatus(Status::recovered());
                co_return value;
            }
            const detail::ReconnectFailureVerdict verdict = detail::classifyReconnectFailure(failure);
            if (verdict.action == detail::ReconnectFailureVerdict::Action::cancel) break;
            if (verdict.action == detail::ReconnectFailureVerdict::Action::halt) {
                halt(verdict.text);
                co_return std::nullopt;
            }
            lastFailure = verdict.text;
            if (++n == maxAttempts_) {
                trackedDeviceID_.reset();
                publishStatus(Status::exhaustedRetries(lastFailure));
                co_return std::nullopt;
            }
        }
        publishStatus(Status::cancelled());
        co_return std::nullopt;
    }

    asio::any_io_executor executor_;
    std::shared_ptr<TrustedDeviceStore> trustedDeviceStore_;
    BackoffPolicy backoffPolicy_;
    int maxAttempts_;
    Reconnect performFreshReconnect_;
    StatusHandler onStatusChanged_;
    Sleep sleep_;

    std::optional<NetworkPathSnapshot> latestPath_;
    std::optional<Uuid> trackedDeviceID_;
    std::shared_ptr<Run> activeReconnectTask_;
    bool userCancelled_ = false;
    NetworkReconnectStatus currentStatus_ = NetworkReconnectStatus::idle();
    std::uint64_t generation_ = 0;
};

} // namespace velorinth
