#include "transport/session/LoopSignal.hpp"

#include <asio/redirect_error.hpp>
#include <asio/system_error.hpp>
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
    asio::steady_timer timer(executor_);
    if (bound == Duration::max()) {
        timer.expires_at(asio::steady_timer::time_point::max());
    } else {
        timer.expires_after(bound);
    }
    Parking parking(parked_, timer);
    asio::error_code woken; // operation_aborted both when notified and when cancelled
    try {
        co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, woken));
    } catch (const asio::system_error&) {
        co_return true; // the task was cancelled before it could park
    }
    co_return static_cast<bool>(woken);
}

void LoopSignal::notifyAll() {
    for (asio::steady_timer* timer : parked_) timer->cancel();
}

} // namespace velorinth
