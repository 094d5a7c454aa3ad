#pragma once

#include "core/Date.hpp"
#include "core/Uuid.hpp"
#include "transport/security/NetworkFramedConnection.hpp"
#include "transport/security/PairingVerification.hpp"
#include "transport/server/ApprovalGate.hpp"
#include "transport/server/HostSessionCallbacks.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <chrono>
#include <memory>
#include <optional>

namespace velorinth {

// The Mac user's answer to a pairing: the single pending on-screen prompt
// with its gate and timer, or the host's own approval handler when one is set.
// Lives on the event loop inside the server, which outlives every wait.
class PairingApproval {
public:
    using Duration = std::chrono::steady_clock::duration;

    // `callbacks` is the server's current set, read at each use.
    PairingApproval(asio::any_io_executor executor, Duration approvalTimeout, WallClock clock,
                    const std::shared_ptr<const HostSessionCallbacks>& callbacks);

    PairingApproval(const PairingApproval&) = delete;
    PairingApproval& operator=(const PairingApproval&) = delete;

    // The first of the user's answer, stop, the tablet closing `connection`
    // and the timeout decides. A later wait replaces this one's pending state
    // without resolving it, so this one then ends only by its own timeout or
    // its connection's close.
    asio::awaitable<ApprovalOutcome> await(const PairingVerification& verification,
                                           std::shared_ptr<NetworkFramedConnection> connection);

    // Answers the prompt of `pairingID` only: a click meant for one prompt can
    // never approve another tablet. With no prompt pending it only withdraws
    // the shown prompt.
    void resolve(bool approved, const Uuid& pairingID);

    // Rejects the pending prompt and withdraws it; returns the connection of
    // the pairing so answered, which goes on to tell its tablet.
    std::shared_ptr<NetworkFramedConnection> rejectForStop();

    std::optional<Uuid> pendingPairingID() const { return pendingPairingID_; }

private:
    asio::awaitable<ApprovalOutcome> awaitCustom(IncomingPairingPrompt prompt);
    asio::awaitable<ApprovalOutcome> awaitPrompt(IncomingPairingPrompt prompt,
                                                 std::shared_ptr<NetworkFramedConnection> connection);
    void clearPending();
    void announce(const std::optional<IncomingPairingPrompt>& prompt);

    asio::any_io_executor executor_;
    Duration approvalTimeout_;
    WallClock clock_;
    const std::shared_ptr<const HostSessionCallbacks>& callbacks_;

    std::optional<Uuid> pendingPairingID_;
    std::shared_ptr<ApprovalGate> pendingGate_;
    std::weak_ptr<NetworkFramedConnection> pendingConnection_;
};

} // namespace velorinth
