#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>

#include <cstddef>
#include <deque>
#include <memory>

namespace velorinth {

// A first-come-first-served lock for coroutines of one event loop. Release
// hands the lock straight to the oldest waiter, so it is never free in
// between and nobody can overtake. Loop thread only.
class SerializedSendLock {
public:
    explicit SerializedSendLock(asio::any_io_executor executor);
    SerializedSendLock(const SerializedSendLock&) = delete;
    SerializedSendLock& operator=(const SerializedSendLock&) = delete;

    // Returns once the caller owns the lock. Only the waiting task's own
    // cancellation ends the wait early: the waiter leaves the queue and
    // CancellationError is thrown (a lock handed over first is kept).
    asio::awaitable<void> acquire();
    // Gives the lock to the oldest waiter, or frees it.
    void release();

    bool isLocked() const noexcept { return locked_; }
    std::size_t waiterCount() const noexcept { return waiters_.size(); }

    // Holds the lock until destroyed.
    class Holder {
    public:
        explicit Holder(SerializedSendLock& lock) : lock_(&lock) {}
        Holder(const Holder&) = delete;
        Holder& operator=(const Holder&) = delete;
        ~Holder() { lock_->release(); }

    private:
        SerializedSendLock* lock_;
    };

private:
    struct Waiter {
        explicit Waiter(const asio::any_io_executor& executor);
        asio::steady_timer wake; // never expires; cancelling it is the hand-over
        bool granted = false;
    };

    void forget(const std::shared_ptr<Waiter>& waiter);

    asio::any_io_executor executor_;
    bool locked_ = false;
    std::deque<std::shared_ptr<Waiter>> waiters_;
};

} // namespace velorinth
