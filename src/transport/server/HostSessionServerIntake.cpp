#include "transport/server/HostSessionServer.hpp"

#include "core/Error.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/PairingProtocolError.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include <utility>
#include <vector>

namespace velorinth {

// The identity comes from a synchronous service, so nothing suspends between
// the check for a listener and the install: a stop cannot overtake a start.
void HostSessionServer::startListening(std::uint16_t port, bool publishesService) {
    if (listener_ || isStartingListener_) return;
    isStartingListener_ = true;
    try {
        const TLSDeviceIdentity identity = identityService_->tlsIdentity();
        const std::uint64_t generation = listenerGeneration_ + 1;
        std::weak_ptr<HostSessionServer> weak = weak_from_this();
        auto onConnection = [weak](std::shared_ptr<NetworkFramedConnection> connection, HandshakeSlot slot) {
            if (auto self = weak.lock()) {
                self->acceptConnection(std::move(connection), std::move(slot));
            } else {
                connection->cancel();
            }
        };
        auto onStatus = [weak, generation](ListenerStatus status) {
            if (auto self = weak.lock()) self->handleListenerStatus(generation, status);
        };
        auto onPublicationError = [weak, generation](const ListenerPublicationError& error) {
            auto self = weak.lock();
            if (self && generation == self->listenerGeneration_ && !self->listenerStopRequested_) {
                self->reportError(std::make_exception_ptr(error));
            }
        };
        BonjourHostListener::Options listenerOptions;
        listenerOptions.handshakeTimeout = handshakeTimeout;
        listenerOptions.handshakeBudget = handshakeBudget_;
        listenerOptions.acceptRetryDelay = options_.acceptRetryDelay;
        auto listener = std::make_unique<BonjourHostListener>(
            executor_, identity, port, publishesService, std::move(onConnection), std::move(onStatus),
            std::move(onPublicationError), listenerOptions, options_.listenerFactory);
        // From here on the previous listener's statuses are dropped.
        listenerGeneration_ = generation;
        listenerStopRequested_ = false;
        listener_ = std::move(listener);
        listener_->start();
    } catch (...) {
        isStartingListener_ = false;
        throw;
    }
    isStartingListener_ = false;
}

// A superseded listener's late status (an old `stopped` after the new
// `advertising`) would clear the port and stop the beacon: only the newest
// listener speaks, and once stopped only its `stopped` still passes.
void HostSessionServer::handleListenerStatus(std::uint64_t generation, const ListenerStatus& status) {
    if (generation != listenerGeneration_) return;
    if (listenerStopRequested_ && status.kind() != ListenerStatus::Case::stopped) return;
    if (status.kind() == ListenerStatus::Case::advertising) currentPort_ = status.port();
    if (status.kind() == ListenerStatus::Case::stopped) currentPort_.reset();
    if (callbacks_.onListenerStatus) callbacks_.onListenerStatus(status);
}

asio::awaitable<std::uint16_t> HostSessionServer::waitForListeningPort(Duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    asio::steady_timer poll(executor_);
    for (;;) {
        if (std::chrono::steady_clock::now() >= deadline) throw PairingProtocolError(PairingProtocolError::Case::timedOut);
        if (currentPort_ && *currentPort_ != 0) co_return *currentPort_;
        poll.expires_after(options_.portPollInterval);
        asio::error_code error;
        co_await poll.async_wait(asio::redirect_error(asio::use_awaitable, error));
        if (error) throw CancellationError();
    }
}

asio::awaitable<void> HostSessionServer::stop() {
    isStartingListener_ = false;

    // Handshakes in flight must not become sessions behind the user's back;
    // only the pairing whose prompt this answers goes on to tell its tablet.
    ++intakeGeneration_;
    const std::shared_ptr<Intake> answered = pendingApprovalGate_ ? pendingIntake_.lock() : nullptr;
    if (pendingApprovalGate_) pendingApprovalGate_->resolve(ApprovalGate::Result::rejected);
    pendingApprovalGate_.reset();
    pendingPairingID_.reset();
    pendingIntake_.reset();
    if (callbacks_.onPromptChanged) callbacks_.onPromptChanged(std::nullopt);

    std::vector<std::shared_ptr<Intake>> closing;
    for (const auto& [id, intake] : intakes_) {
        if (intake->generation < intakeGeneration_ && intake != answered) closing.push_back(intake);
    }
    for (const auto& intake : closing) {
        intake->closedByStop = true;
        intake->connection->cancel();
    }

    if (listener_) {
        listenerStopRequested_ = true;
        listener_->stop();
        listener_.reset();
    }
    currentPort_.reset();
    co_await disconnectAll(std::string(kStopReason));
}

// Only while a listener is installed or starting; a connection handed over
// after stop is closed at once.
void HostSessionServer::acceptConnection(std::shared_ptr<NetworkFramedConnection> connection, HandshakeSlot slot) {
    if (!listener_ && !isStartingListener_) {
        connection->cancel();
        return;
    }
    auto intake = std::make_shared<Intake>();
    intake->id = nextIntakeID_++;
    intake->generation = intakeGeneration_;
    intake->connection = std::move(connection);
    intake->slot = std::move(slot);
    intakes_.emplace(intake->id, intake);
    asio::co_spawn(executor_, runIntake(shared_from_this(), intake), asio::detached);
}

// Brings the connection up under the handshake deadline, then runs the
// handshake, which lasts as long as the session it may become.
asio::awaitable<void> HostSessionServer::runIntake(std::shared_ptr<HostSessionServer> self,
                                                   std::shared_ptr<Intake> intake) {
    (void)self; // keeps the server alive while the connection runs
    std::exception_ptr failure;
    try {
        co_await timed(intake->connection->start());
        co_await performHandshake(intake);
    } catch (...) {
        failure = std::current_exception();
    }
    retireIntake(*intake);
    if (failure) {
        intake->connection->cancel();
        if (!intake->closedByStop) reportError(failure);
    }
}

void HostSessionServer::retireIntake(Intake& intake) {
    intakes_.erase(intake.id);
    intake.slot.release();
}

} // namespace velorinth
