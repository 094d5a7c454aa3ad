#pragma once

#include "core/LoopSignal.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <optional>

namespace velorinth {

// How a pairing prompt was answered.
enum class ApprovalOutcome { approved, rejected, timedOut, connectionClosed };

// Carries the outcome of one pending pairing approval to the tasks that wait
// for it. The first resolve wins and later ones change nothing. Its resolvers
// (a timer, a connection's close notice, the user's decision relayed by the
// server) all run on the loop: loop thread only.
class ApprovalGate {
public:
    explicit ApprovalGate(asio::any_io_executor executor);
    ApprovalGate(const ApprovalGate&) = delete;
    ApprovalGate& operator=(const ApprovalGate&) = delete;

    void resolve(ApprovalOutcome outcome);

    // The stored result at once when resolved, else parks until resolve. Only
    // the waiting task's own cancellation ends it early, with
    // CancellationError; the owner bounds the wait with a timeout.
    asio::awaitable<ApprovalOutcome> wait();

    std::optional<ApprovalOutcome> result() const { return resolved_; }

private:
    LoopSignal resolvedSignal_;
    std::optional<ApprovalOutcome> resolved_;
};

} // namespace velorinth
