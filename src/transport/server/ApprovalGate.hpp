#pragma once

#include "transport/session/LoopSignal.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <optional>

namespace velorinth {

// Carries the outcome of one pending pairing approval to the tasks that wait
// for it. The first resolve wins and later ones change nothing. Its resolvers
// (a timer, a connection's close notice, the user's decision relayed by the
// server) all run on the loop: loop thread only.
class ApprovalGate {
public:
    enum class Result { approved, rejected, timedOut, connectionClosed };

    explicit ApprovalGate(asio::any_io_executor executor);
    ApprovalGate(const ApprovalGate&) = delete;
    ApprovalGate& operator=(const ApprovalGate&) = delete;

    void resolve(Result result);

    // The stored result at once when resolved, else parks until resolve. Only
    // the waiting task's own cancellation ends it early, with
    // CancellationError; the owner bounds the wait with a timeout.
    asio::awaitable<Result> wait();

    std::optional<Result> result() const { return resolved_; }

private:
    LoopSignal resolvedSignal_;
    std::optional<Result> resolved_;
};

} // namespace velorinth
