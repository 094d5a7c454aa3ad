#include "core/LoopSignal.hpp"

#include "core/Cancellation.hpp"

#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>

namespace velorinth {

namespace {

// Keeps a parked waiter's timer listed exactly as long as its frame lives, so
// a waiter destroyed mid-wait (a stopped loop) never leaves a dangling entry.
class Parking {
public:
    Parking(std::vector<asio::steady_timer*>& list, asio::steady_timer& timer) : list_(list), timer_(&timer) {
        list_.push_back(timer_);
    }
    ~Parking() { std::erase(list_, timer_); }
    Parking(const Parking&) = delete;
    Parking& operator=(const Parking&) = delete;

private:
    std::vector<asio::steady_timer*>& list_;
    asio::steady_timer* timer_;
};

} // namespace

asio::awaitable<bool> LoopSignal::wait(Duration bound) {
    // Checked right before parking, with no suspension between: Asio would
    // otherwise throw for a task cancelled before it awaits.
    const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
    if (isCancelled(caller)) co_return true;
    asio::steady_timer timer(executor_);
    if (bound == Duration::max()) {
        timer.expires_at(asio::steady_timer::time_point::max());
    } else {
        timer.expires_after(bound);
    }
    Parking parking(parked_, timer);
    asio::error_code woken; // operation_aborted both when notified and when cancelled
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, woken));
    co_return static_cast<bool>(woken);
}

void LoopSignal::notifyAll() {
    for (asio::steady_timer* timer : parked_) timer->cancel();
}

} // namespace velorinth
