#include "transport/discovery/BonjourHostListener.hpp"

#include "core/Constants.hpp"

#include <string>

namespace velorinth {

BonjourHostListener::BonjourHostListener(const asio::any_io_executor& executor, const TLSDeviceIdentity& identity,
                                         std::uint16_t port, bool publishesService, ConnectionHandler onConnection,
                                         StatusHandler onStatus, PublicationErrorHandler onPublicationError,
                                         PublishedHandler onPublished, Options options,
                                         const ListenerFactory& factory)
    : onStatus_(onStatus) {
    SessionListener::Options listenerOptions;
    listenerOptions.port = port;
    listenerOptions.applicationProtocol = std::string(VelorinthService::applicationProtocol);
    if (publishesService) listenerOptions.advertisement = advertisement(identity.publicIdentity);
    listenerOptions.handshakeTimeout = options.handshakeTimeout;
    if (options.handshakeBudget) listenerOptions.handshakeBudget = std::move(options.handshakeBudget);
    listenerOptions.acceptRetryDelay = options.acceptRetryDelay;
    listenerOptions.admission = options.admission;
    listenerOptions.isPairedPeer = std::move(options.isPairedPeer);
    listenerOptions.socket = options.socket;

    // The handlers capture the callbacks, never this object, so a status that
    // arrives after destruction (the one `stopped`) still has somewhere to go.
    SessionListener::Handlers handlers;
    handlers.onReady = [onStatus](std::uint16_t port) {
        if (onStatus) onStatus(ListenerStatus::advertising(port));
    };
    handlers.onFailed = [onStatus](std::error_code error) {
        if (onStatus) onStatus(listenerStatus(error));
    };
    handlers.onCancelled = [onStatus] {
        if (onStatus) onStatus(ListenerStatus::stopped());
    };
    handlers.onConnection = [onConnection = std::move(onConnection)](SessionListener::Stream stream,
                                                                     HandshakeSlot slot) {
        auto connection = std::make_shared<NetworkFramedConnection>(std::move(stream), VelorinthService::maximumFrameSize, true);
        if (onConnection) {
            onConnection(std::move(connection), std::move(slot));
        } else {
            connection->cancel();
        }
    };
    handlers.onPublicationError = std::move(onPublicationError);
    handlers.onPublished = std::move(onPublished);

    listener_ = factory(executor, identity, std::move(listenerOptions), std::move(handlers));
}

void BonjourHostListener::start() {
    if (started_) return;
    started_ = true;
    if (onStatus_) onStatus_(ListenerStatus::starting());
    listener_->start();
}

void BonjourHostListener::stop() { listener_->stop(); }

std::optional<std::uint16_t> BonjourHostListener::port() const { return listener_->port(); }

ServiceAdvertisement BonjourHostListener::advertisement(const DevicePublicIdentity& identity) {
    return ServiceAdvertisement{
        identity.displayName,
        std::string(VelorinthService::serviceType),
        {
            {"v", std::to_string(ProtocolVersion::current)},
            {"id", identity.discoveryInstanceID.uuidString()},
            {"role", "host"},
        },
    };
}

ListenerStatus listenerStatus(const std::error_code& error) {
    if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted) {
        return ListenerStatus::permissionDenied();
    }
    return ListenerStatus::failed(error.message());
}

} // namespace velorinth
