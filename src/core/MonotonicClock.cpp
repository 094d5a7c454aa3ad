#include "core/MonotonicClock.hpp"

#include "core/Cancellation.hpp"

#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace velorinth {

namespace {

class SteadyMonotonicClock final : public MonotonicClock {
public:
    Duration now() const override {
        return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now().time_since_epoch());
    }

    asio::awaitable<void> sleep(Duration duration) override {
        const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
        const asio::any_io_executor executor = co_await asio::this_coro::executor;
        asio::steady_timer timer(executor);
        // Past the timer's range: a wait that ends only by cancellation.
        if (duration >= std::chrono::duration_cast<Duration>(asio::steady_timer::duration::max()) / 2) {
            timer.expires_at(asio::steady_timer::time_point::max());
        } else {
            timer.expires_after(std::max(duration, Duration::zero()));
        }
        asio::error_code error;
        co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, error));
        if (isCancellation(error, caller)) throw CancellationError();
    }
};

} // namespace

std::shared_ptr<MonotonicClock> MonotonicClock::steady() {
    static const std::shared_ptr<MonotonicClock> clock = std::make_shared<SteadyMonotonicClock>();
    return clock;
}

} // namespace velorinth
