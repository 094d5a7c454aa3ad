#pragma once

#include "core/ControlProtocol.hpp"
#include "core/Date.hpp"
#include "core/IdentityModels.hpp"
#include "platform/SessionListener.hpp"
#include "transport/security/HandshakeMessages.hpp"
#include "transport/security/NetworkFramedConnection.hpp"
#include "transport/security/PairingVerification.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/server/PairingApproval.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace velorinth {

class DeviceIdentityService;
class PairingAttemptLimiter;
class PairingReplayGuard;
class SecurePairingProtocol;
class TrustedDeviceStore;

// The host's side of one accepted connection until it becomes a session: the
// pairing request with the limiter, the single-prompt rule and the replay
// guard; the signed response; the confirmation with its key (and, on a
// pairing, its code); the approval or the trust check, sealed as the decision;
// the tablet's ready message and the trust record.
//
// Lives on the event loop, owned by the server's intake table and the task
// that runs it; the server and its Dependencies outlive every run.
class HostHandshake {
public:
    using Duration = std::chrono::steady_clock::duration;

    // What every handshake shares, owned by the server.
    struct Dependencies {
        std::shared_ptr<DeviceIdentityService> identityService;
        std::shared_ptr<TrustedDeviceStore> trustedDeviceStore;
        std::shared_ptr<PairingReplayGuard> replayGuard;
        std::shared_ptr<PairingAttemptLimiter> attemptLimiter;
        SecurePairingProtocol* pairingProtocol = nullptr;
        PairingApproval* approval = nullptr;
        // Trust writes wait for the disk here, never on the loop.
        asio::thread_pool* storeWorker = nullptr;
        WallClock clock;
        Duration handshakeTimeout{};           // each step
        Duration firstMessageTimeout{};        // from accept, TLS included
        Duration wholeHandshakeTimeout{};      // from accept, less the host's own waits
        Duration approvalTimeout{};            // a person's answer, at the Mac or on the tablet
        CapabilitySet hostCapabilities;
        DevicePermissions requiredPermissions;
        // Advanced by the server's stop: an older handshake never becomes a session.
        const std::uint64_t* intakeGeneration = nullptr;
        std::function<void()> onTrustChanged;
    };

    // A handshake that ended in an approved, ready session.
    struct Accepted {
        PairingVerification verification;
        std::shared_ptr<SessionCipher> cipher;
        ServerHello serverHello;
        CapabilitySet acceptedCapabilities; // what both offer
    };

    HostHandshake(const Dependencies& dependencies, std::uint64_t id, std::uint64_t generation,
                  std::shared_ptr<NetworkFramedConnection> connection, HandshakeSlot slot);

    HostHandshake(const HostHandshake&) = delete;
    HostHandshake& operator=(const HostHandshake&) = delete;

    // Brings the connection up and runs the handshake through the tablet's
    // ready message and the trust write. None when the Mac user rejected the
    // pairing (the tablet was told); every other failure throws.
    asio::awaitable<std::optional<Accepted>> run();

    std::uint64_t id() const { return id_; }
    std::uint64_t generation() const { return generation_; }
    const std::shared_ptr<NetworkFramedConnection>& connection() const { return connection_; }
    // Frees its place in the handshake budget and its hold on the pairing prompt.
    void releaseSlot() {
        slot_.release();
        reservation_.reset();
    }
    // Stop closed it: its end is no error worth reporting.
    void markClosedByStop() { closedByStop_ = true; }
    bool closedByStop() const { return closedByStop_; }

private:
    using TimePoint = std::chrono::steady_clock::time_point;

    // A wait for the tablet: under the step timeout and what is left of the
    // whole (and, for the first message, of its own deadline); meanwhile a
    // newer connection may evict this one. Unless `endsTurn` is false, the
    // next wait for the tablet is counted from its end.
    template <class T>
    asio::awaitable<T> timed(asio::awaitable<T> operation, bool firstMessage = false, bool endsTurn = true);
    // A wait on the host (the code derivation, the person at the Mac, the
    // store): never evicted, and not counted against the whole handshake.
    template <class T>
    asio::awaitable<T> onHost(asio::awaitable<T> operation);
    // A wait on the tablet's user: never evicted, not counted against the
    // whole handshake, and bounded like the Mac user's answer.
    template <class T>
    asio::awaitable<T> onPerson(asio::awaitable<T> operation);
    Date now() const { return deps_.clock(); }

    // The request checks; the signed response's state, or a throw after the
    // tablet was told what it can correct.
    asio::awaitable<PairingRequest> receiveRequest();
    // False when the pairing ended with a rejection, the tablet told.
    asio::awaitable<bool> decidePairing();
    asio::awaitable<void> authorizeReconnection();
    asio::awaitable<void> sendDecision(const PairingDecision& decision);
    asio::awaitable<void> sendDecisionQuietly(const PairingDecision& decision);
    // The error envelope of `code` with its own text; a failed send is ignored.
    asio::awaitable<void> sendErrorQuietly(HandshakeRejectionCode code);
    asio::awaitable<void> approve(DevicePermissions granted);
    asio::awaitable<CapabilitySet> receiveClientReady();
    asio::awaitable<void> writeTrustRecord();

    const Dependencies& deps_;
    const std::uint64_t id_;
    const std::uint64_t generation_;
    std::shared_ptr<NetworkFramedConnection> connection_;
    HandshakeSlot slot_;
    TimePoint firstMessageDeadline_;
    TimePoint deadline_;
    bool closedByStop_ = false;

    HandshakePurpose purpose_ = HandshakePurpose::pair;
    // A pairing's hold on the one prompt, from its check until its wait.
    std::optional<PairingApproval::Reservation> reservation_;
    std::optional<Accepted> accepted_; // filled as the handshake goes
};

} // namespace velorinth
