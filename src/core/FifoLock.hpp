#pragma once

#include "core/LoopSignal.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <cstddef>
#include <cstdint>
#include <deque>

namespace velorinth {

// A first-come-first-served lock for coroutines of one event loop. Release
// hands the lock straight to the oldest waiter, so it is never free in
// between and nobody can overtake. Loop thread only.
class FifoLock {
public:
    explicit FifoLock(asio::any_io_executor executor) : signal_(std::move(executor)) {}
    FifoLock(const FifoLock&) = delete;
    FifoLock& operator=(const FifoLock&) = delete;

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
        explicit Holder(FifoLock& lock) : lock_(&lock) {}
        Holder(const Holder&) = delete;
        Holder& operator=(const Holder&) = delete;
        ~Holder() { lock_->release(); }

    private:
        FifoLock* lock_;
    };

private:
    LoopSignal signal_; // a hand-over
    bool locked_ = false;
    std::deque<std::uint64_t> waiters_; // oldest first
    std::uint64_t lastWaiter_ = 0;
    std::uint64_t grantedTo_ = 0; // the waiter the lock was handed to, until it resumes
};

} // namespace velorinth
