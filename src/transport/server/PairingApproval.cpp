#include "transport/server/PairingApproval.hpp"

#include "transport/session/SessionValueTypes.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/steady_timer.hpp>

#include <utility>

namespace velorinth {

namespace {


// Resolves `gate` with the handler's answer; a handler that fails rejects.
asio::awaitable<void> askCustomHandler(std::function<asio::awaitable<bool>(IncomingPairingPrompt)> handler,
                                       IncomingPairingPrompt prompt, std::shared_ptr<ApprovalGate> gate) {
    bool approved = false;
    try {
        approved = co_await handler(std::move(prompt));
    } catch (...) {
        approved = false;
    }
    gate->resolve(approved ? ApprovalOutcome::approved : ApprovalOutcome::rejected);
}

// Resolves `gate` with timedOut when `duration` passes, unless cancelled first.
std::shared_ptr<asio::steady_timer> startApprovalTimer(const asio::any_io_executor& executor,
                                                       std::chrono::steady_clock::duration duration,
                                                       const std::shared_ptr<ApprovalGate>& gate) {
    auto timer = std::make_shared<asio::steady_timer>(executor, duration);
    timer->async_wait([gate](const asio::error_code& error) {
        if (!error) gate->resolve(ApprovalOutcome::timedOut);
    });
    return timer;
}

// The gate's answer, or `fallback` when the wait itself fails; the timer is
// done with either way.
asio::awaitable<ApprovalOutcome> answerOf(std::shared_ptr<ApprovalGate> gate, std::shared_ptr<asio::steady_timer> timer,
                                 ApprovalOutcome fallback) {
    ApprovalOutcome result = fallback;
    try {
        result = co_await gate->wait();
    } catch (const std::exception&) {
        result = fallback;
    }
    timer->cancel();
    co_return result;
}

} // namespace

PairingApproval::PairingApproval(asio::any_io_executor executor, Duration approvalTimeout, WallClock clock,
                                 const std::shared_ptr<const HostSessionCallbacks>& callbacks)
    : executor_(std::move(executor)), approvalTimeout_(approvalTimeout), clock_(std::move(clock)),
      callbacks_(callbacks) {}

PairingApproval::Reservation::Reservation(Reservation&& other) noexcept
    : owner_(std::exchange(other.owner_, nullptr)) {}

PairingApproval::Reservation& PairingApproval::Reservation::operator=(Reservation&& other) noexcept {
    if (this != &other) {
        release();
        owner_ = std::exchange(other.owner_, nullptr);
    }
    return *this;
}

void PairingApproval::Reservation::release() noexcept {
    if (owner_ != nullptr) std::exchange(owner_, nullptr)->promptReserved_ = false;
}

std::optional<PairingApproval::Reservation> PairingApproval::reservePrompt() {
    if (callbacks_->customApprovalHandler) return Reservation();
    if (promptReserved_) return std::nullopt;
    promptReserved_ = true;
    return Reservation(this);
}

asio::awaitable<ApprovalOutcome> PairingApproval::await(const PairingVerification& verification,
                                                        std::shared_ptr<NetworkFramedConnection> connection,
                                                        Reservation reservation) {
    IncomingPairingPrompt prompt;
    prompt.id = verification.pairingID;
    prompt.peerIdentity = verification.peerIdentity;
    prompt.verificationCode = verification.verificationCode;
    prompt.expiresAt = clock_().addingTimeInterval(std::chrono::duration<double>(approvalTimeout_).count());
    if (callbacks_->customApprovalHandler) co_return co_await awaitCustom(std::move(prompt));
    if (!reservation.holds()) {
        // The host's handler was removed since the check.
        std::optional<Reservation> late = reservePrompt();
        if (!late || !late->holds()) throw SessionHandshakeError(SessionHandshakeError::Case::pairingBusyOnHost);
        reservation = std::move(*late);
    }
    co_return co_await awaitPrompt(std::move(prompt), std::move(connection), std::move(reservation));
}

// The host's own handler decides: no prompt is shown, the pending state is
// left alone and the connection's close is not watched. A handler that never
// answers loses to the timeout and is cancelled, but not waited for.
asio::awaitable<ApprovalOutcome> PairingApproval::awaitCustom(IncomingPairingPrompt prompt) {
    auto gate = std::make_shared<ApprovalGate>(executor_);
    auto cancellation = std::make_shared<asio::cancellation_signal>();
    asio::co_spawn(executor_, askCustomHandler(callbacks_->customApprovalHandler, std::move(prompt), gate),
                   asio::bind_cancellation_slot(cancellation->slot(), [cancellation](std::exception_ptr) {}));
    auto timer = startApprovalTimer(executor_, approvalTimeout_, gate);
    const ApprovalOutcome result = co_await answerOf(gate, timer, ApprovalOutcome::rejected);
    cancellation->emit(asio::cancellation_type::terminal);
    co_return result;
}

asio::awaitable<ApprovalOutcome> PairingApproval::awaitPrompt(IncomingPairingPrompt prompt,
                                                              std::shared_ptr<NetworkFramedConnection> connection,
                                                              Reservation reservation) {
    (void)reservation; // held until this wait ends
    auto gate = std::make_shared<ApprovalGate>(executor_);
    const Uuid pairingID = prompt.id;
    pendingPairingID_ = pairingID;
    pendingGate_ = gate;
    pendingConnection_ = connection;
    announce(prompt);

    // Installed under the connection's state lock, so a close is seen either
    // here or through the handler, never missed.
    std::weak_ptr<ApprovalGate> weakGate = gate;
    const bool watching = connection->setCloseHandler([weakGate] {
        if (auto waiting = weakGate.lock()) waiting->resolve(ApprovalOutcome::connectionClosed);
    });
    if (!watching) gate->resolve(ApprovalOutcome::connectionClosed);
    auto timer = startApprovalTimer(executor_, approvalTimeout_, gate);
    const ApprovalOutcome result = co_await answerOf(gate, timer, ApprovalOutcome::connectionClosed);
    connection->clearCloseHandler();
    if (pendingPairingID_ == pairingID) {
        clearPending();
        announce(std::nullopt);
    }
    co_return result;
}

void PairingApproval::resolve(bool approved, const Uuid& pairingID) {
    if (pendingPairingID_ && *pendingPairingID_ != pairingID) return; // another tablet's prompt stays
    if (pendingPairingID_) {
        if (pendingGate_) pendingGate_->resolve(approved ? ApprovalOutcome::approved : ApprovalOutcome::rejected);
        clearPending();
    }
    announce(std::nullopt);
}

std::shared_ptr<NetworkFramedConnection> PairingApproval::rejectForStop() {
    std::shared_ptr<NetworkFramedConnection> answered = pendingGate_ ? pendingConnection_.lock() : nullptr;
    if (pendingGate_) pendingGate_->resolve(ApprovalOutcome::rejected);
    clearPending();
    announce(std::nullopt);
    return answered;
}

void PairingApproval::clearPending() {
    pendingPairingID_.reset();
    pendingGate_.reset();
    pendingConnection_.reset();
}

void PairingApproval::announce(const std::optional<IncomingPairingPrompt>& prompt) {
    if (callbacks_->onPromptChanged) callbacks_->onPromptChanged(prompt);
}

} // namespace velorinth
