#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velorinth {

// The one outcome of an attempt's first video frame: shown, the stream
// failed, or the run was cancelled. The first outcome wins. Resolved from
// any thread (the decode thread shows the frame); each waiter resumes on
// its own executor.
class FirstFrameGate {
public:
    struct Outcome {
        enum class Kind { rendered, streamFailed, cancelled };
        Kind kind = Kind::rendered;
        std::string message; // streamFailed only

        static Outcome rendered() { return {Kind::rendered, {}}; }
        static Outcome streamFailed(std::string message) { return {Kind::streamFailed, std::move(message)}; }
        static Outcome cancelled() { return {Kind::cancelled, {}}; }
        bool operator==(const Outcome&) const = default;
    };

    FirstFrameGate() = default;
    FirstFrameGate(const FirstFrameGate&) = delete;
    FirstFrameGate& operator=(const FirstFrameGate&) = delete;

    // Stores the outcome and wakes every waiter, unless one is stored already.
    void resolve(Outcome outcome);
    void markRendered() { resolve(Outcome::rendered()); }
    void cancel() { resolve(Outcome::cancelled()); }

    std::optional<Outcome> resolvedOutcome() const;

    // The outcome, at once when resolved. A waiter whose task is cancelled
    // leaves (CancellationError) and takes only itself off the list.
    asio::awaitable<Outcome> wait();

private:
    struct Waiter {
        std::uint64_t id;
        asio::any_io_executor executor;
        std::shared_ptr<asio::steady_timer> wakeup;
    };

    mutable std::mutex lock_;
    std::optional<Outcome> resolved_;
    std::vector<Waiter> waiters_;
    std::uint64_t nextWaiter_ = 0;
};

} // namespace velorinth
