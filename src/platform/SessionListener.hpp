#pragma once

#include "platform/HandshakeBudget.hpp"
#include "platform/ListenerAdmission.hpp"
#include "platform/ListenerPublicationError.hpp"
#include "platform/SessionSocket.hpp"
#include "platform/tls/TLSChannelContext.hpp"
#include "platform/tls/TLSDeviceIdentity.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/stream.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace velorinth {

// A DNS-SD service to publish for the listener.
struct ServiceAdvertisement {
    std::string instanceName;
    std::string serviceType;
    std::vector<std::pair<std::string, std::string>> txtRecord; // keys and values, in order

    bool operator==(const ServiceAdvertisement&) const = default;
};

// The host's listening socket: accepts TCP connections, completes the mutual
// TLS server handshake itself within a deadline and hands over only streams
// that passed it, with the one application protocol. Peers that fail, stall
// or exceed the handshake budget or their source's limits are closed and
// reported nowhere; each connection's first byte and certificate rank it in
// the budget. Optionally publishes a DNS-SD service; trouble there is never a
// listener failure.
//
// Lives on the event loop: create, start and stop it there; every handler runs
// there too.
class SessionListener {
public:
    using Stream = asio::ssl::stream<asio::ip::tcp::socket>;
    using Duration = std::chrono::steady_clock::duration;

    struct Options {
        std::uint16_t port = 0; // 0: the system chooses
        // Only this address when set; otherwise every address, IPv6 and IPv4.
        std::optional<asio::ip::address> bindAddress;
        std::string applicationProtocol;
        std::optional<ServiceAdvertisement> advertisement;
        Duration handshakeTimeout = std::chrono::seconds(15);
        // Places, per-source rate and eviction; over any limit, a connection
        // is closed before TLS.
        ListenerAdmission admission;
        // The places, shared with whoever keeps a handed-over connection's
        // slot; none: the listener's own, as `admission.places` describes.
        std::shared_ptr<HandshakeBudget> handshakeBudget;
        // True for the certificate of a paired device, whose handshake is
        // never evicted; without it every certificate counts as unknown.
        std::function<bool(const TLSChannelContext&)> isPairedPeer;
        // The pause after an accept that failed for want of resources.
        Duration acceptRetryDelay = std::chrono::milliseconds(100);
        // Applied to every accepted socket before its TLS handshake.
        SessionSocketOptions socket;
    };

    struct Handlers {
        std::function<void(std::uint16_t port)> onReady;
        // Bind, listen or accept failed for good; the listener is dead.
        std::function<void(std::error_code)> onFailed;
        // Once per stop(), even when the listener is destroyed before it runs.
        std::function<void()> onCancelled;
        std::function<void(Stream, HandshakeSlot)> onConnection;
        // The DNS-SD service cannot be published, or is published: each once
        // per change between the two, never per retry.
        std::function<void(const ListenerPublicationError&)> onPublicationError;
        std::function<void()> onPublished;
    };

    // Throws TLSSecurityError(identityCreationFailed) when the identity cannot
    // make a TLS context.
    static std::unique_ptr<SessionListener> create(const asio::any_io_executor& executor,
                                                   const TLSDeviceIdentity& identity, Options options,
                                                   Handlers handlers);

    virtual ~SessionListener() = default;

    // Binds and listens; the outcome (onReady or onFailed) follows on the
    // loop, never as an exception. The bind or listen error is also returned,
    // for a caller that must fail at once (onFailed still follows); success
    // and a second start, which does nothing, return none.
    virtual std::error_code start() = 0;
    // Closes the socket, every handshake in progress and the publication.
    virtual void stop() = 0;
    // The bound port while listening.
    virtual std::optional<std::uint16_t> port() const = 0;
};

} // namespace velorinth
