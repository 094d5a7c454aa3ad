#pragma once

#include "core/ControlProtocol.hpp"
#include "core/ServiceEndpoint.hpp"
#include "core/TrustedDevice.hpp"
#include "platform/BonjourBrowsing.hpp"
#include "transport/client/AuthenticatedClientSession.hpp"
#include "transport/client/ObservedNetworkErrorBox.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>

#include <chrono>
#include <memory>

namespace velorinth {

class DeviceIdentityService;
class TrustedDeviceStore;

// One reconnection to a paired Mac at one endpoint: a Bonjour service is
// resolved first (its first address is dialled), then a connector of its
// own runs the handshake pinned to the Mac's record. What the connection
// observed goes into the attempt's box, for classifying a failure.
struct ReconnectDialer {
    using Duration = std::chrono::steady_clock::duration;

    static constexpr std::chrono::seconds kDecisionTimeout{90};

    asio::any_io_executor executor;
    asio::thread_pool& kdfWorker;
    asio::thread_pool& storeWorker;
    std::shared_ptr<DeviceIdentityService> identityService;
    std::shared_ptr<TrustedDeviceStore> trustedDeviceStore;
    // Resolves Bonjour services; without one a service fails as a failed resolution.
    std::shared_ptr<BonjourBrowsing> bonjourBrowsing;
    AuthenticatedClientSession::Clocks sessionClocks;

    // The started session, or the connector's error. A Bonjour resolution
    // that fails is observed as a DNS error and thrown as
    // NetworkConnectionError::network; one not done within the step limit
    // fails as PairingProtocolError timedOut, with nothing observed.
    asio::awaitable<std::shared_ptr<AuthenticatedClientSession>>
    connect(ServiceEndpoint endpoint, TrustedDevice record, CapabilitySet capabilities, Duration stepTimeout,
            Duration heartbeatInterval, AuthenticatedClientSession::Handlers handlers,
            std::shared_ptr<ObservedNetworkErrorBox> box) const;
};

} // namespace velorinth
