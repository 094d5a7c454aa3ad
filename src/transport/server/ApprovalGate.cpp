#include "transport/server/ApprovalGate.hpp"

#include "core/Error.hpp"

#include <stdexcept>

namespace velorinth {

ApprovalGate::ApprovalGate() : state_(std::make_shared<State>()) {}

void ApprovalGate::resolve(Result result) {
    std::unique_ptr<Waiter> waiter;
    {
        std::lock_guard guard(state_->lock);
        if (state_->resolved) return;
        state_->resolved = result;
        waiter = std::move(state_->waiter);
    }
    if (waiter) waiter->complete({}, result);
}

std::optional<ApprovalGate::Result> ApprovalGate::result() const {
    std::lock_guard guard(state_->lock);
    return state_->resolved;
}

void ApprovalGate::cancelWaiter(const std::weak_ptr<State>& weak) {
    auto state = weak.lock();
    if (!state) return;
    std::unique_ptr<Waiter> waiter;
    {
        std::lock_guard guard(state->lock);
        waiter = std::move(state->waiter);
    }
    if (waiter) waiter->complete(std::make_error_code(std::errc::operation_canceled), Result::rejected);
}

asio::awaitable<ApprovalGate::Result> ApprovalGate::wait() {
    std::error_code error;
    auto token = asio::redirect_error(asio::use_awaitable, error);
    // Named, not a temporary inside the co_await: g++ 12 may destroy such a
    // temporary twice.
    Initiation initiation{state_};
    const Result result =
        co_await asio::async_initiate<decltype(token), void(std::error_code, Result)>(std::move(initiation), token);
    if (error == std::errc::operation_in_progress) throw std::logic_error("An approval gate has one waiter at a time.");
    if (error) throw CancellationError();
    co_return result;
}

} // namespace velorinth
