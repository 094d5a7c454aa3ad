#include "transport/client/ReconnectDialer.hpp"

#include "core/Cancellation.hpp"
#include "transport/client/ClientSessionConnector.hpp"
#include "transport/security/NetworkConnectionError.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/session/AsyncTimeout.hpp"

#include <netdb.h>

namespace velorinth {

namespace {

constexpr const char* kBonjourUnavailableText = "Bonjour service resolution is unavailable.";

// A service that resolved to nothing, as a connection reports a name that
// did not resolve.
[[noreturn]] void failResolution(ObservedNetworkErrorBox& box, const std::string& text) {
    box.observe(ObservedNetworkError{ObservedNetworkError::Kind::dns, EAI_NONAME, text});
    throw NetworkConnectionError::network(text);
}

} // namespace

asio::awaitable<std::shared_ptr<AuthenticatedClientSession>>
ReconnectDialer::connect(ServiceEndpoint endpoint, TrustedDevice record, CapabilitySet capabilities,
                         Duration stepTimeout, Duration heartbeatInterval, AuthenticatedClientSession::Handlers handlers,
                         std::shared_ptr<ObservedNetworkErrorBox> box) const {
    HostPort target;
    if (const auto* plain = std::get_if<HostPort>(&endpoint.value)) {
        target = *plain;
    } else {
        if (!bonjourBrowsing) failResolution(*box, kBonjourUnavailableText);
        std::vector<HostPort> addresses;
        std::exception_ptr failure;
        try {
            addresses = co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(
                stepTimeout, bonjourBrowsing->resolve(std::get<ServiceEndpoint::BonjourService>(endpoint.value)));
        } catch (const PairingProtocolError&) {
            throw; // timed out or cancelled
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure && isCancellationError(failure)) std::rethrow_exception(failure);
        if (failure) failResolution(*box, describeError(failure));
        if (addresses.empty()) failResolution(*box, kBonjourUnavailableText);
        target = addresses.front();
    }
    // The time limits belong to the connector: one per attempt.
    ClientSessionConnector connector(executor, kdfWorker, storeWorker, {stepTimeout, kDecisionTimeout, heartbeatInterval},
                                     sessionClocks);
    ClientSessionConnector::Request request;
    request.endpoint = std::move(target);
    request.identityService = identityService;
    request.trustedDeviceStore = trustedDeviceStore;
    request.purpose = HandshakePurpose::reconnect;
    request.trustedHost = std::move(record);
    request.protocolVersion = 1;
    request.capabilities = std::move(capabilities);
    request.sessionHandlers = std::move(handlers);
    request.onNetworkErrorObserved = [box](const std::optional<ObservedNetworkError>& error) { box->observe(error); };
    co_return co_await connector.connect(std::move(request));
}

} // namespace velorinth
