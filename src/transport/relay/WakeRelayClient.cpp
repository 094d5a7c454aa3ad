#include "transport/relay/WakeRelayClient.hpp"

#include "core/Cancellation.hpp"
#include "core/Constants.hpp"
#include "core/KeepAlive.hpp"
#include "core/RemoteEndpointValidator.hpp"
#include "platform/tls/TLSSecurityError.hpp"
#include "platform/HostnameResolver.hpp"
#include "transport/relay/WakeRelayClientError.hpp"
#include "transport/relay/WakeRelayCrypto.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/NetworkConnectionError.hpp"
#include "transport/security/NetworkFramedConnection.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/security/SecurePairingProtocol.hpp"
#include "transport/session/AsyncTimeout.hpp"

#include <asio/cancellation_state.hpp>
#include <asio/this_coro.hpp>

#include <algorithm>
#include <limits>
#include <utility>

namespace velorinth {

namespace {

using ClientError = WakeRelayClientError;

std::exception_ptr relayIdentityMismatch() { return std::make_exception_ptr(ClientError::relayIdentityMismatch()); }

// What a failure after the connection was made becomes; the cancellation
// state is read first, so a cancellation is never reported as unreachable.
std::exception_ptr translated(const std::exception_ptr& failure, bool cancelled) {
    if (isCancellationError(failure)) return failure;
    if (cancelled) return std::make_exception_ptr(CancellationError());
    try {
        std::rethrow_exception(failure);
    } catch (const WakeRelayClientError&) {
        return failure;
    } catch (const TLSSecurityError& error) {
        if (error.kind == TLSSecurityError::Case::pinnedFingerprintMismatch) return relayIdentityMismatch();
        return std::make_exception_ptr(ClientError::authenticationFailed(error.what()));
    } catch (const PairingProtocolError& error) {
        switch (error.kind) {
        case PairingProtocolError::Case::identityMismatch:
        case PairingProtocolError::Case::invalidCertificateBinding:
        case PairingProtocolError::Case::invalidSignature:
            return relayIdentityMismatch();
        default:
            return std::make_exception_ptr(ClientError::relayUnreachable(error.what()));
        }
    } catch (...) {
        return std::make_exception_ptr(ClientError::relayUnreachable(describeError(failure)));
    }
}

asio::awaitable<bool> cancelledNow() {
    const asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
    co_return isCancelled(state);
}

} // namespace

WakeRelayClient::WakeRelayClient(asio::any_io_executor executor, std::shared_ptr<DeviceIdentityService> identityService,
                                 std::shared_ptr<HostnameResolver> resolver, bool allowLoopbackForTesting,
                                 WallClock clock)
    : allowLoopbackForTesting(allowLoopbackForTesting), executor_(std::move(executor)),
      identityService_(std::move(identityService)), resolver_(std::move(resolver)), clock_(std::move(clock)) {}

asio::awaitable<PairedWakeRelayConfiguration> WakeRelayClient::pair(WakeRelayPairingInvitation invitation,
                                                                    Uuid macDeviceID, Duration timeout) {
    return keepAlive(shared_from_this(), pairBody(std::move(invitation), macDeviceID, timeout));
}

asio::awaitable<WakeDispatchOutcome> WakeRelayClient::sendWakeSignal(PairedWakeRelayConfiguration configuration,
                                                                     Duration timeout) {
    return keepAlive(shared_from_this(), wakeBody(std::move(configuration), timeout));
}

asio::awaitable<WakeRelayResponse> WakeRelayClient::send(RemoteEndpoint endpoint, DeviceFingerprint pinned,
                                                         Uuid targetMacDeviceID, WakeRelayAction action,
                                                         Duration timeout) {
    return keepAlive(shared_from_this(),
                     sendBody(std::move(endpoint), std::move(pinned), targetMacDeviceID, std::move(action), timeout));
}

asio::awaitable<PairedWakeRelayConfiguration> WakeRelayClient::pairBody(WakeRelayPairingInvitation invitation,
                                                                        Uuid macDeviceID, Duration timeout) {
    if (invitation.targetMacDeviceID != macDeviceID) throw ClientError::invitationTargetMismatch();
    WakeRelayAction action = WakeRelayAction::pairClient(invitation.ticketID, invitation.secretHex);
    const WakeRelayResponse response =
        co_await sendBody(invitation.endpoint, invitation.relayFingerprint, macDeviceID, std::move(action), timeout);
    if (response.status != WakeRelayResponseStatus::paired) throw WakeRelayClientError(response);
    // One instant for the pairing, its verification and the endpoint's.
    const Date now = clock_();
    PairedWakeRelayConfiguration configuration;
    configuration.relayIdentity = response.relayIdentity;
    configuration.endpoint = invitation.endpoint;
    configuration.endpoint.lastVerifiedAt = now;
    configuration.targetMacDeviceID = macDeviceID;
    configuration.pairedAt = now;
    configuration.lastVerifiedAt = now;
    co_return configuration;
}

asio::awaitable<WakeDispatchOutcome> WakeRelayClient::wakeBody(PairedWakeRelayConfiguration configuration,
                                                               Duration timeout) {
    WakeRelayAction action = WakeRelayAction::sendWakeSignal();
    const WakeRelayResponse response =
        co_await sendBody(configuration.endpoint, configuration.relayIdentity.fingerprint,
                          configuration.targetMacDeviceID, std::move(action), timeout);
    if (response.status != WakeRelayResponseStatus::wakePacketSent) throw WakeRelayClientError(response);
    WakeDispatchOutcome outcome;
    outcome.status = WakeSignalStatus::wakeRequestSent;
    outcome.routeUsed = WakeRouteKind::externalWakeRelay;
    // A relay that counts nothing still sent its wake.
    outcome.datagramsSent = static_cast<int>(
        std::clamp<std::int64_t>(response.datagramsSent, 1, std::numeric_limits<int>::max()));
    outcome.sleepProxyProbed = false;
    outcome.dispatchedAt = clock_();
    co_return outcome;
}

asio::awaitable<WakeRelayResponse> WakeRelayClient::sendBody(RemoteEndpoint endpoint, DeviceFingerprint pinned,
                                                             Uuid targetMacDeviceID, WakeRelayAction action,
                                                             Duration timeout) {
    if (co_await cancelledNow()) throw CancellationError();
    try {
        RemoteEndpointValidator::validate(endpoint.host, endpoint.port, allowLoopbackForTesting);
    } catch (const RemoteEndpointValidationError& error) {
        throw ClientError::relayUnreachable(error.what());
    }
    if (endpoint.hostKind == RemoteHostKind::dnsHostname) {
        // Only to learn that the name resolves in time: the connection resolves it again itself.
        std::exception_ptr failure;
        try {
            co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(timeout,
                                                                     resolver_->resolve(endpoint.host, endpoint.port));
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            if (isCancellationError(failure)) std::rethrow_exception(failure);
            if (co_await cancelledNow()) throw CancellationError();
            throw ClientError::relayUnreachable("Couldn't resolve relay hostname \u201c" + endpoint.host +
                                                "\u201d.");
        }
    }
    if (endpoint.port == 0) throw ClientError::relayUnreachable("Invalid relay port.");
    const TLSDeviceIdentity identity = identityService_->tlsIdentity();
    const std::shared_ptr<NetworkFramedConnection> connection =
        NetworkFramedConnection::connect(executor_, {endpoint.host, endpoint.port}, identity, pinned,
                                         kMaximumFrameSize, VelorinthService::relayApplicationProtocol);
    std::exception_ptr failure;
    std::optional<WakeRelayResponse> response;
    try {
        response = co_await exchange(connection, pinned, targetMacDeviceID, std::move(action), timeout);
    } catch (...) {
        failure = std::current_exception();
    }
    connection->cancel();
    if (failure) std::rethrow_exception(translated(failure, co_await cancelledNow()));
    co_return std::move(*response);
}

asio::awaitable<WakeRelayResponse> WakeRelayClient::exchange(std::shared_ptr<NetworkFramedConnection> connection,
                                                             DeviceFingerprint pinned, Uuid targetMacDeviceID,
                                                             WakeRelayAction action, Duration timeout) {
    // A relay with another key fails here, before anything is sent.
    co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(timeout, connection->start());
    if (co_await cancelledNow()) throw CancellationError();
    const std::optional<TLSChannelContext> context = connection->capturedTLSContext();
    if (!context) throw TLSSecurityError(TLSSecurityError::Case::missingTLSHandshakeMetadata);

    const Uuid requestID = Uuid::random();
    const Bytes nonce = WakeRelayCrypto::randomBytes(WakeRelayCrypto::kNonceSize);
    const std::int64_t timestamp = SecurePairingProtocol::epochSeconds(clock_());
    const WakeRelayRequest request =
        WakeRelayCrypto::signedRequest(requestID, kProtocolVersion, action, targetMacDeviceID, timestamp, nonce,
                                       context->exporterChannelBinding, *identityService_);
    Bytes payload = json::encodeToBytes(request);
    co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(timeout, connection->sendRawFrame(std::move(payload)));
    const Bytes answer = co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(timeout, connection->receiveFrame());
    std::optional<WakeRelayResponse> response = json::tryDecodeFromBytes<WakeRelayResponse>(answer);
    if (!response) throw NetworkConnectionError(NetworkConnectionError::Case::malformedFrame);
    WakeRelayCrypto::verifyResponse(*response, requestID, pinned, context);
    co_return std::move(*response);
}

} // namespace velorinth
