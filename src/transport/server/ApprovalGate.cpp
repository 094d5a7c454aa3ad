#include "transport/server/ApprovalGate.hpp"

#include "core/Cancellation.hpp"
#include "core/Error.hpp"

#include <asio/cancellation_state.hpp>
#include <asio/this_coro.hpp>

namespace velorinth {

ApprovalGate::ApprovalGate(asio::any_io_executor executor) : resolvedSignal_(std::move(executor)) {}

void ApprovalGate::resolve(ApprovalOutcome outcome) {
    if (resolved_) return;
    resolved_ = outcome;
    resolvedSignal_.notifyAll();
}

asio::awaitable<ApprovalOutcome> ApprovalGate::wait() {
    const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
    // A cancellation that came before a wait started would not end it: each
    // turn checks it.
    while (!resolved_) {
        if (isCancelled(caller)) throw CancellationError();
        co_await resolvedSignal_.wait();
    }
    co_return *resolved_;
}

} // namespace velorinth
