#pragma once

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/cancellation_type.hpp>
#include <asio/execution/outstanding_work.hpp>
#include <asio/post.hpp>
#include <asio/prefer.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

namespace velorinth {

// Carries the outcome of one pending pairing approval to the one task that
// waits for it. The first resolve wins and later ones change nothing; resolve
// may come from any thread (a timer, a connection's close notice, the user's
// decision), and the waiter always resumes on its own executor.
class ApprovalGate {
public:
    enum class Result { approved, rejected, timedOut, connectionClosed };

    ApprovalGate();
    ApprovalGate(const ApprovalGate&) = delete;
    ApprovalGate& operator=(const ApprovalGate&) = delete;

    void resolve(Result result);

    // The stored result at once when resolved, else parks until resolve. One
    // waiter at a time. Only the waiting task's own cancellation ends it early,
    // with CancellationError; the owner bounds the wait with a timeout.
    asio::awaitable<Result> wait();

    std::optional<Result> result() const;

private:
    struct Waiter {
        virtual ~Waiter() = default;
        virtual void complete(std::error_code error, Result result) = 0;
    };

    template <class Handler>
    struct WaiterFor;

    struct State {
        mutable std::mutex lock;
        std::unique_ptr<Waiter> waiter;
        std::optional<Result> resolved;
    };

    struct Initiation {
        std::shared_ptr<State> state;
        template <class Handler>
        void operator()(Handler&& handler) const;
    };

    static void cancelWaiter(const std::weak_ptr<State>& state);

    std::shared_ptr<State> state_;
};

template <class Handler>
struct ApprovalGate::WaiterFor final : Waiter {
    explicit WaiterFor(Handler&& h)
        : handler(std::move(h)),
          work(asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked)) {}

    // Always through the waiter's executor, never inline on the resolver's thread.
    void complete(std::error_code error, Result result) override {
        auto slot = asio::get_associated_cancellation_slot(handler);
        asio::post(work, [h = std::move(handler), slot, error, result]() mutable {
            if (slot.is_connected()) slot.clear();
            std::move(h)(error, result);
        });
    }

    Handler handler;
    decltype(asio::prefer(asio::get_associated_executor(std::declval<Handler&>()),
                          asio::execution::outstanding_work.tracked)) work;
};

template <class Handler>
void ApprovalGate::Initiation::operator()(Handler&& handler) const {
    auto waiter = std::make_unique<WaiterFor<std::decay_t<Handler>>>(std::forward<Handler>(handler));
    auto slot = asio::get_associated_cancellation_slot(waiter->handler);
    std::unique_lock guard(state->lock);
    if (state->resolved) {
        const Result result = *state->resolved;
        guard.unlock();
        waiter->complete({}, result);
        return;
    }
    if (state->waiter) {
        // A second waiter is a programming error; it gets no result.
        guard.unlock();
        waiter->complete(std::make_error_code(std::errc::operation_in_progress), Result::rejected);
        return;
    }
    if (slot.is_connected()) {
        slot.assign([weak = std::weak_ptr<State>(state)](asio::cancellation_type) { cancelWaiter(weak); });
    }
    state->waiter = std::move(waiter);
}

} // namespace velorinth
