#pragma once

#include "platform/ListenerPublicationError.hpp"
#include "platform/SessionListener.hpp"
#include "platform/tls/TLSDeviceIdentity.hpp"
#include "transport/discovery/ListenerStatus.hpp"
#include "transport/security/NetworkFramedConnection.hpp"

#include <asio/any_io_executor.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>

namespace velorinth {

struct BonjourHostListenerOptions {
    // The TLS handshake of each accepted connection must finish within it.
    std::chrono::steady_clock::duration handshakeTimeout = std::chrono::seconds(15);
    // Shared with whoever keeps a handed-over connection's slot.
    std::shared_ptr<HandshakeBudget> handshakeBudget = std::make_shared<HandshakeBudget>();
    std::chrono::steady_clock::duration acceptRetryDelay = std::chrono::milliseconds(100);
    // See SessionListener::Options; a bounded count alone unless the owner sets more.
    ListenerAdmission admission;
    std::function<bool(const TLSChannelContext&)> isPairedPeer;
    SessionSocketOptions socket;
};

// The host's front door: accepts mutual TLS 1.3 connections on the session
// port ("velorinth/1"), and when asked publishes the host as a
// "_velorinth._tcp" service with TXT "v", "id" and "role". Every connection
// reaches `onConnection` with its TLS handshake done and unstarted otherwise
// (start() then captures the channel context); the listener's state reaches
// `onStatus`. Built per start and not restarted: a stopped or failed listener
// is replaced by a new one.
//
// Lives on the event loop; every callback runs there.
class BonjourHostListener {
public:
    using Duration = std::chrono::steady_clock::duration;
    using ConnectionHandler = std::function<void(std::shared_ptr<NetworkFramedConnection>, HandshakeSlot)>;
    using StatusHandler = std::function<void(ListenerStatus)>;
    using PublicationErrorHandler = std::function<void(const ListenerPublicationError&)>;
    using PublishedHandler = std::function<void()>;
    using ListenerFactory = std::function<std::unique_ptr<SessionListener>(
        const asio::any_io_executor&, const TLSDeviceIdentity&, SessionListener::Options, SessionListener::Handlers)>;

    using Options = BonjourHostListenerOptions;

    // `port` 0 lets the system choose. The service's publication reaches
    // `onPublicationError` and `onPublished`, once per change between the two.
    // Throws TLSSecurityError(identityCreationFailed) when the identity cannot
    // make a TLS context.
    BonjourHostListener(const asio::any_io_executor& executor, const TLSDeviceIdentity& identity, std::uint16_t port,
                        bool publishesService, ConnectionHandler onConnection, StatusHandler onStatus,
                        PublicationErrorHandler onPublicationError = {}, PublishedHandler onPublished = {},
                        Options options = {}, const ListenerFactory& factory = SessionListener::create);

    BonjourHostListener(const BonjourHostListener&) = delete;
    BonjourHostListener& operator=(const BonjourHostListener&) = delete;

    // Reports `starting` at once, then binds; `advertising(port)` or a failure
    // follows. Only the first call does anything.
    void start();
    // `stopped` follows, once, also when this listener is destroyed first.
    void stop();
    std::optional<std::uint16_t> port() const;

    // The service published for `identity`: its display name, and the TXT
    // record "v" = protocol version, "id" = discovery instance identifier
    // (upper case), "role" = "host", in that order.
    static ServiceAdvertisement advertisement(const DevicePublicIdentity& identity);

private:
    StatusHandler onStatus_;
    std::unique_ptr<SessionListener> listener_;
    bool started_ = false;
};

// A listening error as a status: a refused permission (EACCES, EPERM) is
// permissionDenied, anything else failed with the system's own text.
ListenerStatus listenerStatus(const std::error_code& error);

} // namespace velorinth
