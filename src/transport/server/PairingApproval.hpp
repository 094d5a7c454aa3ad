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
//
// The prompt is reserved when a pairing request is checked, not when it is
// shown: between the two lie the response, the confirmation and the code
// derivation, and a second pairing checked meanwhile would otherwise take the
// prompt over and leave the first tablet waiting for an answer nobody can give.
class PairingApproval {
public:
    using Duration = std::chrono::steady_clock::duration;

    // Holds the prompt for one pairing until it is dropped (or moved into the
    // wait, which drops it when it ends). An empty one holds nothing.
    class Reservation {
    public:
        Reservation() = default;
        Reservation(Reservation&& other) noexcept;
        Reservation& operator=(Reservation&& other) noexcept;
        ~Reservation() { release(); }

        bool holds() const noexcept { return owner_ != nullptr; }
        void release() noexcept;

    private:
        friend class PairingApproval;
        explicit Reservation(PairingApproval* owner) : owner_(owner) {}

        PairingApproval* owner_ = nullptr;
    };

    // `callbacks` is the server's current set, read at each use.
    PairingApproval(asio::any_io_executor executor, Duration approvalTimeout, WallClock clock,
                    const std::shared_ptr<const HostSessionCallbacks>& callbacks);

    PairingApproval(const PairingApproval&) = delete;
    PairingApproval& operator=(const PairingApproval&) = delete;

    // The prompt for a pairing just checked: none while another pairing holds
    // it; an empty reservation when the host's own handler decides (it shows
    // no prompt, and pairings do not wait for each other).
    std::optional<Reservation> reservePrompt();
    bool isPromptReserved() const noexcept { return promptReserved_; }

    // The first of the user's answer, stop, the tablet closing `connection`
    // and the timeout decides. A prompt is shown under `reservation`, reserved
    // here when it holds nothing; when another pairing holds the prompt, fails
    // with SessionHandshakeError(pairingBusyOnHost).
    asio::awaitable<ApprovalOutcome> await(const PairingVerification& verification,
                                           std::shared_ptr<NetworkFramedConnection> connection,
                                           Reservation reservation);

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
                                                 std::shared_ptr<NetworkFramedConnection> connection,
                                                 Reservation reservation);
    void clearPending();
    void announce(const std::optional<IncomingPairingPrompt>& prompt);

    asio::any_io_executor executor_;
    Duration approvalTimeout_;
    WallClock clock_;
    const std::shared_ptr<const HostSessionCallbacks>& callbacks_;

    bool promptReserved_ = false;
    std::optional<Uuid> pendingPairingID_;
    std::shared_ptr<ApprovalGate> pendingGate_;
    std::weak_ptr<NetworkFramedConnection> pendingConnection_;
};

} // namespace velorinth
