#pragma once

#include "core/Constants.hpp"
#include "core/ControlProtocol.hpp"
#include "core/TrustedDevice.hpp"
#include "transport/client/AuthenticatedClientSession.hpp"
#include "transport/security/HandshakeMessages.hpp"
#include "transport/security/NetworkFramedConnection.hpp"
#include "transport/security/ObservedNetworkError.hpp"
#include "transport/security/PairingVerification.hpp"
#include "transport/security/SecurePairingProtocol.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velorinth {

class DeviceIdentityService;
class TrustedDeviceStore;

// The tablet's way into a session with a host: mutual TLS 1.3, the
// initiator's half of the pairing or reconnection handshake, the trust record
// of the host, then a started AuthenticatedClientSession.
//
// Keeps nothing between calls. connect() runs in the calling coroutine on the
// loop; every failure after the connection exists tells onNetworkErrorObserved
// what the connection last saw, cancels the connection, and surfaces as one
// error. The host is never sent an error: it sees the connection close.
class ClientSessionConnector {
public:
    using Duration = std::chrono::steady_clock::duration;
    // The local user compares the 6-digit code; false refuses the pairing.
    // It is bounded by the decision timeout and by the connection (a host
    // that closes it ends the question), so it must end promptly once its
    // task is cancelled.
    using VerificationCodeHandler = std::function<asio::awaitable<bool>(const PairingVerification&)>;
    using NetworkErrorHandler = std::function<void(const std::optional<ObservedNetworkError>&)>;

    struct Timing {
        // The TLS start and every send and receive; the decision on reconnect.
        Duration stepTimeout;
        // The host user's decision (and the local code check) when pairing.
        Duration decisionTimeout = std::chrono::seconds(90);
        Duration heartbeatInterval;
        // The bound of a session's final disconnect message.
        Duration finalMessageLimit = AuthenticatedClientSession::kDefaultFinalMessageLimit;
    };

    struct Request {
        HostPort endpoint; // passed on unchanged; a DNS name is resolved by the connection
        std::shared_ptr<DeviceIdentityService> identityService;
        std::shared_ptr<TrustedDeviceStore> trustedDeviceStore;
        HandshakePurpose purpose = HandshakePurpose::reconnect;
        // The tablet's record of this host; pinned in TLS and the handshake on reconnect.
        std::optional<TrustedDevice> trustedHost;
        std::uint16_t protocolVersion = ProtocolVersion::current;
        // Absent or empty: `protocolVersion` alone.
        std::optional<std::vector<std::uint16_t>> supportedProtocolVersions;
        CapabilitySet capabilities;
        // Asked on a pairing only: a reconnection has no code.
        VerificationCodeHandler confirmVerificationCode;
        AuthenticatedClientSession::Handlers sessionHandlers;
        NetworkErrorHandler onNetworkErrorObserved;
    };

    // The KDF worker derives the verification code; the store worker runs the
    // sessions' trust-store writes. Both must outlive every call and session.
    ClientSessionConnector(asio::any_io_executor executor, asio::thread_pool& kdfWorker, asio::thread_pool& storeWorker,
                           Timing timing, AuthenticatedClientSession::Clocks clocks = {});

    // The started session. Fails with the identity service's or the
    // connection factory's error before a connection exists; afterwards with
    // SessionHandshakeError (refusals, the local code refusal),
    // PairingProtocolError (timedOut, cancelled, the handshake's checks, a pin
    // or certificate mismatch), HandshakeEnvelopeError, NetworkConnectionError,
    // TLSSecurityError, SessionCipherError, JSONDecodingError,
    // TrustedDeviceStoreError or CancellationError. The request must carry an
    // identity service and a trust store.
    asio::awaitable<std::shared_ptr<AuthenticatedClientSession>> connect(Request request);

    // A host's refusal as the error the user reads: `code` from an error
    // envelope or a refused decision, `text` its message or reason.
    static std::exception_ptr refusalError(std::optional<HandshakeRejectionCode> code, std::optional<std::string> text);
    // The error a failure after the connection exists leaves connect() with.
    static std::exception_ptr mappedFailure(std::exception_ptr failure);

private:
    asio::awaitable<std::shared_ptr<AuthenticatedClientSession>>
    run(Request& request, const std::optional<DeviceFingerprint>& pin,
        const std::shared_ptr<NetworkFramedConnection>& connection);

    asio::any_io_executor executor_;
    SecurePairingProtocol pairing_;
    asio::thread_pool& storeWorker_;
    Timing timing_;
    AuthenticatedClientSession::Clocks clocks_;
};

} // namespace velorinth
