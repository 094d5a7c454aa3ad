#include "transport/server/HostSessionServer.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/steady_timer.hpp>

#include <utility>

namespace velorinth {

namespace {

using Result = ApprovalGate::Result;

ApprovalOutcome outcomeOf(Result result) {
    switch (result) {
    case Result::approved: return ApprovalOutcome::approved;
    case Result::rejected: return ApprovalOutcome::rejected;
    case Result::timedOut: return ApprovalOutcome::timedOut;
    case Result::connectionClosed: return ApprovalOutcome::connectionClosed;
    }
    return ApprovalOutcome::rejected;
}

// Resolves `gate` with the handler's answer; a handler that fails rejects.
asio::awaitable<void> askCustomHandler(std::function<asio::awaitable<bool>(IncomingPairingPrompt)> handler,
                                       IncomingPairingPrompt prompt, std::shared_ptr<ApprovalGate> gate) {
    bool approved = false;
    try {
        approved = co_await handler(std::move(prompt));
    } catch (...) {
        approved = false;
    }
    gate->resolve(approved ? Result::approved : Result::rejected);
}

// Resolves `gate` with timedOut when `duration` passes, unless cancelled first.
std::shared_ptr<asio::steady_timer> startApprovalTimer(const asio::any_io_executor& executor,
                                                       std::chrono::steady_clock::duration duration,
                                                       const std::shared_ptr<ApprovalGate>& gate) {
    auto timer = std::make_shared<asio::steady_timer>(executor, duration);
    timer->async_wait([gate](const asio::error_code& error) {
        if (!error) gate->resolve(Result::timedOut);
    });
    return timer;
}

} // namespace

asio::awaitable<ApprovalOutcome> HostSessionServer::awaitPairingApproval(const PairingVerification& verification,
                                                                         std::shared_ptr<Intake> intake) {
    IncomingPairingPrompt prompt;
    prompt.id = verification.pairingID;
    prompt.peerIdentity = verification.peerIdentity;
    prompt.verificationCode = verification.verificationCode;
    prompt.expiresAt = now().addingTimeInterval(std::chrono::duration<double>(approvalTimeout).count());
    if (callbacks_.customApprovalHandler) co_return co_await awaitCustomApproval(std::move(prompt));
    co_return co_await awaitPromptApproval(std::move(prompt), std::move(intake));
}

// The host's own handler decides: no prompt is shown, the pending state is
// left alone and the connection's close is not watched. A handler that never
// answers loses to the timeout and is cancelled, but not waited for.
asio::awaitable<ApprovalOutcome> HostSessionServer::awaitCustomApproval(IncomingPairingPrompt prompt) {
    auto gate = std::make_shared<ApprovalGate>();
    auto cancellation = std::make_shared<asio::cancellation_signal>();
    asio::co_spawn(executor_, askCustomHandler(callbacks_.customApprovalHandler, std::move(prompt), gate),
                   asio::bind_cancellation_slot(cancellation->slot(), [cancellation](std::exception_ptr) {}));
    auto timer = startApprovalTimer(executor_, approvalTimeout, gate);

    Result result = Result::rejected;
    try {
        result = co_await gate->wait();
    } catch (const std::exception&) {
        result = Result::rejected;
    }
    timer->cancel();
    cancellation->emit(asio::cancellation_type::terminal);
    co_return outcomeOf(result);
}

// The on-screen prompt. The first of the user's answer, stop, the tablet
// closing and the timeout decides; a later wait replaces this one's pending
// state without resolving it, so this one then ends only by its own timeout
// or its connection's close.
asio::awaitable<ApprovalOutcome> HostSessionServer::awaitPromptApproval(IncomingPairingPrompt prompt,
                                                                        std::shared_ptr<Intake> intake) {
    auto gate = std::make_shared<ApprovalGate>();
    const Uuid pairingID = prompt.id;
    pendingPairingID_ = pairingID;
    pendingApprovalGate_ = gate;
    pendingIntake_ = intake;
    if (callbacks_.onPromptChanged) callbacks_.onPromptChanged(prompt);

    // Installed under the connection's state lock, so a close is seen either
    // here or through the handler, never missed.
    NetworkFramedConnection& connection = *intake->connection;
    std::weak_ptr<ApprovalGate> weakGate = gate;
    const bool watching = connection.setCloseHandler([weakGate] {
        if (auto waiting = weakGate.lock()) waiting->resolve(Result::connectionClosed);
    });
    if (!watching) gate->resolve(Result::connectionClosed);
    auto timer = startApprovalTimer(executor_, approvalTimeout, gate);

    Result result = Result::connectionClosed;
    try {
        result = co_await gate->wait();
    } catch (const std::exception&) {
        result = Result::connectionClosed;
    }
    timer->cancel();
    connection.clearCloseHandler();
    if (pendingPairingID_ == pairingID) {
        pendingPairingID_.reset();
        pendingApprovalGate_.reset();
        pendingIntake_.reset();
        if (callbacks_.onPromptChanged) callbacks_.onPromptChanged(std::nullopt);
    }
    co_return outcomeOf(result);
}

} // namespace velorinth
