#pragma once

#include "core/Bytes.hpp"
#include "core/Date.hpp"
#include "core/Uuid.hpp"
#include "platform/HandshakeBudget.hpp"
#include "platform/ListenerAdmission.hpp"
#include "platform/MemoryReleaseScheduler.hpp"
#include "platform/SessionListener.hpp"
#include "platform/tls/TLSChannelContext.hpp"
#include "transport/relay/WakeRelayConfigurationStore.hpp"
#include "transport/relay/WakeRelayMessages.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/ip/address.hpp>
#include <asio/thread_pool.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace velorinth {

class DeviceIdentityService;
class LocalWakeService;
class NetworkFramedConnection;

struct WakeRelayServerOptions {
    using ListenerFactory = std::function<std::unique_ptr<SessionListener>(
        const asio::any_io_executor&, const TLSDeviceIdentity&, SessionListener::Options, SessionListener::Handlers)>;

    // "Now" for the audit, the checks, the ledger and the answers' times.
    WallClock clock = [] { return Date::now(); };
    // Admission at a door reached from anywhere, the host's rules with a
    // relay's values. 64 places for connections from TLS to close; 2,048
    // apart for connections still before TLS, an idle one costing a socket,
    // one that has sent a byte its TLS engine too, about 145 KB (some 290 MB
    // when all 2,048 have spoken). 32 at once make a busy spell, whose end
    // returns the allocator's freed memory.
    // One source (an IPv4 address or an IPv6 /64) holds at most 4 of all
    // those places (a household's tablets behind one address) and opens at
    // most 10 connections a second after a burst of 20; over either, a
    // connection is closed before TLS. A full budget evicts: never an
    // authorized client's connection nor one the relay is deciding or
    // answering, least proven first, and an equal only once its wait is long
    // or its source holds more places than the newcomer's will.
    // - Tablets come over the Internet, a cellular round trip as long as
    //   250 ms. An equal that has shown something waits 500 ms: TLS after its
    //   first byte takes one such round trip, and its request follows TLS at once.
    // - One that has sent nothing, 300 ms: its ClientHello comes with the
    //   accept, or a round trip later at most. So the places before TLS take
    //   in some 6,800 silent connections a second before a newcomer finds
    //   none that has had its grace.
    ListenerAdmission admission{
        .places = {.capacity = 64,
                   .openingCapacity = 2048,
                   .perSourceCapacity = 4,
                   .minimumAge = std::chrono::milliseconds(500),
                   .silentGrace = std::chrono::milliseconds(300),
                   .busySpell = 32},
        .connectionRate = 10,
        .connectionBurst = 20,
        .evictsWaitingHandshakes = true,
    };
    // Only this address when set; otherwise every address.
    std::optional<asio::ip::address> bindAddress;
    ListenerFactory listenerFactory = SessionListener::create;
    // Freed memory goes back to the system this long after a busy spell of
    // connections is over, on the store worker.
    std::chrono::steady_clock::duration memoryReleaseDelay = MemoryReleaseScheduler::kDefaultDelay;
    MemoryReleaseScheduler::Release releaseFreedMemory = returnFreedMemoryToSystem;
};

// The network face of the wake relay: mutual TLS 1.3 with ALPN
// "velorinth-relay/1", one signed request and one signed answer per
// connection. A pairing request redeems a ticket; a wake request from an
// authorized tablet hands the Mac's saved interfaces to the local wake
// service. Every request frame read in full gets one audit entry before its
// answer. The server keeps no request state itself: everything lives in the
// store, whose operations run on the store worker (each saves with a flush).
//
// An actor on the event loop, owned through std::shared_ptr: the listener's
// handlers hold it weakly, a connection's coroutine strongly while it runs.
// Each connection has three separate limits of `handshakeTimeout`: TLS, the
// request, the answer. A connection keeps its admission place from accept to
// close; while the relay waits for its request a newer one may evict it.
class WakeRelayServer : public std::enable_shared_from_this<WakeRelayServer> {
public:
    using Duration = std::chrono::steady_clock::duration;
    using Options = WakeRelayServerOptions;

    static constexpr std::size_t kMaximumFrameSize = 16'384;
    static constexpr std::chrono::milliseconds kPortPollInterval{20};
    static constexpr std::chrono::milliseconds kAcceptRetryDelay{100};
    static constexpr std::string_view kUnverifiedFingerprint = "UNVERIFIED";
    static constexpr std::string_view kThrowawayDisplayName = "WakeRelay";
    static constexpr std::string_view kInternalFailureMessage = "Internal signing failure.";

    // How one request was decided: its audit line and its answer.
    struct Outcome {
        WakeRelayResponseStatus auditStatus;
        std::string detail;
        WakeRelayResponseStatus status;
        std::string_view message;
        std::int64_t datagramsSent = 0;
    };

    // `storeWorker` must outlive the server.
    WakeRelayServer(asio::any_io_executor executor, std::shared_ptr<DeviceIdentityService> identityService,
                    std::shared_ptr<WakeRelayConfigurationStore> configurationStore,
                    std::shared_ptr<LocalWakeService> localWakeService, Duration handshakeTimeout,
                    asio::thread_pool& storeWorker, Options options = {});
    WakeRelayServer(const WakeRelayServer&) = delete;
    WakeRelayServer& operator=(const WakeRelayServer&) = delete;

    // Listens on `port` (0: the system chooses); currentPort is the bound port
    // at once. Does nothing while a listener exists, even a failed one (until
    // stop). Throws the identity service's errors, the listener's creation
    // error, or NetworkConnectionError network with the system's text when
    // the port cannot be bound; then nothing is kept.
    void start(std::uint16_t port);
    // The port once the listener is ready and not failed; polls every 20 ms.
    // PairingProtocolError timedOut at the deadline (a timeout of zero always).
    asio::awaitable<std::uint16_t> waitForListeningPort(Duration timeout);
    // Stops and drops the listener (its handshakes in progress close with it);
    // connections past TLS finish on their own.
    void stop();

    // Decides one decoded request: audits it, then answers it signed over the
    // context's binding. Never throws: a signing failure gives
    // internalFailureResponse.
    asio::awaitable<WakeRelayResponse> handleRequest(WakeRelayRequest request,
                                                     std::optional<TLSChannelContext> tlsContext);
    // An unsigned authenticationFailed answer from a throwaway identity, for
    // when the relay cannot sign; a pinning client refuses it.
    WakeRelayResponse internalFailureResponse(const Uuid& requestID) const;

    // The ledger's key of a verified request: client id, request id and
    // nonce, lower-case, joined by ":".
    static std::string requestKey(const WakeRelayRequest& request);

    std::optional<std::uint16_t> currentPort() const noexcept { return currentPort_; }
    // Connections past TLS whose handling has not ended: not yet closed, or
    // closed with the authorized clients still being read after their request.
    std::size_t connectionsInProgress() const noexcept { return connectionsInProgress_; }
    // Places of the admission budget taken, connections still before TLS included.
    std::size_t placesTaken() const { return connectionBudget_->inUse(); }

    const Duration handshakeTimeout;

private:

    asio::awaitable<std::uint16_t> waitForPort(Duration timeout);
    asio::awaitable<WakeRelayResponse> decideAndAnswer(WakeRelayRequest request,
                                                       std::optional<TLSChannelContext> context);
    asio::awaitable<void> handleConnection(std::shared_ptr<WakeRelayServer> self, SessionListener::Stream stream,
                                           HandshakeSlot slot);
    // Sets `requested` once a whole request frame has been read.
    asio::awaitable<void> serve(const std::shared_ptr<NetworkFramedConnection>& connection, HandshakeSlot& slot,
                                bool& requested);
    // Reads the authorized clients' keys from the store, on the store worker.
    asio::awaitable<void> learnAuthorizedClients();
    asio::awaitable<std::optional<WakeRelayResponse>> answerUndecodable(std::optional<TLSChannelContext> context);
    asio::awaitable<Outcome> decide(const WakeRelayRequest& request, const std::optional<TLSChannelContext>& context,
                                    Date now);
    asio::awaitable<Outcome> dispatchWake(const WakeRelayRequest& request, Date now);
    asio::awaitable<void> audit(WakeRelayAuditEntry entry);
    // Throws what the identity service throws.
    WakeRelayResponse signedAnswer(const Uuid& requestID, const Outcome& outcome,
                             const std::optional<TLSChannelContext>& context) const;

    const asio::any_io_executor executor_;
    const std::shared_ptr<DeviceIdentityService> identityService_;
    const std::shared_ptr<WakeRelayConfigurationStore> store_;
    const std::shared_ptr<LocalWakeService> localWake_;
    asio::thread_pool& storeWorker_;
    const Options options_;
    const std::shared_ptr<MemoryReleaseScheduler> memoryRelease_;
    const std::shared_ptr<HandshakeBudget> connectionBudget_;
    // The signing keys of the authorized clients, as the store last said
    // (read after each request, which may have paired one): the listener
    // ranks a certificate with one as a paired device's. Known on the loop,
    // so that ranking never waits for the store's disk.
    std::set<Bytes> authorizedKeys_;

    std::unique_ptr<SessionListener> listener_;
    std::optional<std::uint16_t> currentPort_;
    // Bumped by every start and stop: a late state report of a listener that
    // is no longer current changes nothing.
    std::uint64_t listenerGeneration_ = 0;
    std::size_t connectionsInProgress_ = 0;
};

} // namespace velorinth
