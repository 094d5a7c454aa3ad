// The relay server's listener and connections: one request frame and one
// answer per connection, each step under its own limit.

#include "transport/relay/WakeRelayServer.hpp"

#include "core/Cancellation.hpp"
#include "core/Constants.hpp"
#include "core/KeepAlive.hpp"
#include "core/WorkerCall.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/NetworkConnectionError.hpp"
#include "transport/security/NetworkFramedConnection.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/session/AsyncTimeout.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>
#include <utility>

namespace velorinth {

namespace {

// The end of a busy spell asks for a release.
HandshakeBudget::Options placesOf(const ListenerAdmission& admission,
                                  const std::shared_ptr<MemoryReleaseScheduler>& release) {
    HandshakeBudget::Options places = admission.places;
    places.capacity = std::max<std::size_t>(places.capacity, 1);
    places.onBusySpellEnded = release->requestFromAnyThread();
    return places;
}

} // namespace

WakeRelayServer::WakeRelayServer(asio::any_io_executor executor, std::shared_ptr<DeviceIdentityService> identityService,
                                 std::shared_ptr<WakeRelayConfigurationStore> configurationStore,
                                 std::shared_ptr<LocalWakeService> localWakeService, Duration handshakeTimeout,
                                 asio::thread_pool& storeWorker, Options options)
    : handshakeTimeout(handshakeTimeout), executor_(std::move(executor)), identityService_(std::move(identityService)),
      store_(std::move(configurationStore)), localWake_(std::move(localWakeService)), storeWorker_(storeWorker),
      options_(std::move(options)),
      memoryRelease_(std::make_shared<MemoryReleaseScheduler>(
          executor_, storeWorker.get_executor(), options_.memoryReleaseDelay, options_.releaseFreedMemory)),
      // One budget across restarts: a connection counts from accept to close.
      connectionBudget_(std::make_shared<HandshakeBudget>(placesOf(options_.admission, memoryRelease_))) {}

void WakeRelayServer::start(std::uint16_t port) {
    if (listener_) return;
    const TLSDeviceIdentity identity = identityService_->tlsIdentity();

    SessionListener::Options listenerOptions;
    listenerOptions.port = port;
    listenerOptions.bindAddress = options_.bindAddress;
    listenerOptions.applicationProtocol = std::string(VelorinthService::relayApplicationProtocol);
    listenerOptions.handshakeTimeout = handshakeTimeout;
    listenerOptions.admission = options_.admission;
    listenerOptions.handshakeBudget = connectionBudget_;
    listenerOptions.acceptRetryDelay = kAcceptRetryDelay;

    const std::uint64_t generation = ++listenerGeneration_;
    const std::weak_ptr<WakeRelayServer> weak = weak_from_this();
    // An authorized client's certificate ranks as a paired device's.
    listenerOptions.isPairedPeer = [weak](const TLSChannelContext& context) {
        const auto self = weak.lock();
        return self && self->authorizedKeys_.contains(context.peerSigningPublicKey);
    };
    const auto portChange = [weak, generation](std::optional<std::uint16_t> port) {
        const auto self = weak.lock();
        if (self && self->listenerGeneration_ == generation) self->currentPort_ = port;
    };
    SessionListener::Handlers handlers;
    handlers.onReady = [portChange](std::uint16_t port) { portChange(port); };
    handlers.onFailed = [portChange](std::error_code) { portChange(std::nullopt); };
    handlers.onCancelled = [portChange] { portChange(std::nullopt); };
    handlers.onConnection = [weak](SessionListener::Stream stream, HandshakeSlot slot) {
        const auto self = weak.lock();
        if (!self) return; // the stream closes as it goes
        asio::co_spawn(self->executor_, self->handleConnection(self, std::move(stream), std::move(slot)),
                       asio::detached);
    };

    std::unique_ptr<SessionListener> listener =
        options_.listenerFactory(executor_, identity, std::move(listenerOptions), std::move(handlers));
    if (const std::error_code error = listener->start()) throw NetworkConnectionError::network(error.message());
    currentPort_ = listener->port();
    listener_ = std::move(listener);
    asio::co_spawn(executor_, keepAlive(shared_from_this(), learnAuthorizedClients()), asio::detached);
}

asio::awaitable<void> WakeRelayServer::learnAuthorizedClients() {
    auto read = [store = store_] {
        std::set<Bytes> keys;
        for (const WakeRelayClientAuthorization& client : store->clients()) {
            if (client.authorization == DeviceAuthorization::authorized) {
                keys.insert(client.clientIdentity.signingPublicKey);
            }
        }
        return keys;
    };
    try {
        authorizedKeys_ = co_await callOnWorker(storeWorker_, std::move(read));
    } catch (...) {
        authorizedKeys_.clear(); // a store that cannot be read knows nobody
    }
}

asio::awaitable<std::uint16_t> WakeRelayServer::waitForListeningPort(Duration timeout) {
    return keepAlive(shared_from_this(), waitForPort(timeout));
}

asio::awaitable<std::uint16_t> WakeRelayServer::waitForPort(Duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    asio::steady_timer timer(executor_);
    for (;;) {
        // The deadline first: a timeout of zero fails even when the port is known.
        if (std::chrono::steady_clock::now() >= deadline) {
            throw PairingProtocolError(PairingProtocolError::Case::timedOut);
        }
        if (currentPort_ && *currentPort_ != 0) co_return *currentPort_;
        timer.expires_after(kPortPollInterval);
        co_await mapAsioCancellation<CancellationError>(timer.async_wait(asio::use_awaitable));
    }
}

void WakeRelayServer::stop() {
    ++listenerGeneration_;
    if (listener_) listener_->stop();
    listener_.reset();
    currentPort_.reset();
}

// The unnamed first parameter keeps the server alive while the connection runs.
asio::awaitable<void> WakeRelayServer::handleConnection(std::shared_ptr<WakeRelayServer>,
                                                        SessionListener::Stream stream, HandshakeSlot slot) {
    ++connectionsInProgress_;
    const auto connection = std::make_shared<NetworkFramedConnection>(std::move(stream), kMaximumFrameSize, true);
    bool requested = false;
    try {
        co_await serve(connection, slot, requested);
    } catch (...) {
        // Whatever ended the connection early ends it silently: nothing more is sent.
    }
    connection->cancel();
    slot.release();
    // The request may have paired its client: its next connections rank as paired.
    if (requested) co_await learnAuthorizedClients();
    --connectionsInProgress_;
}

asio::awaitable<void> WakeRelayServer::serve(const std::shared_ptr<NetworkFramedConnection>& connection,
                                             HandshakeSlot& slot, bool& requested) {
    // Until its request is read the connection waits for its client: a newer
    // one may take its place by the admission's rule.
    slot.waitForPeer([weak = std::weak_ptr<NetworkFramedConnection>(connection)] {
        if (const auto evicted = weak.lock()) evicted->cancel();
    });
    // A failure of either step closes the connection with nothing sent or audited.
    co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(handshakeTimeout, connection->start());
    const Bytes frame =
        co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(handshakeTimeout, connection->receiveFrame());
    // From here on the relay decides and answers: never evicted.
    slot.workOnHost();
    requested = true;

    const std::optional<TLSChannelContext> context = connection->capturedTLSContext();
    std::optional<WakeRelayRequest> request = json::tryDecodeFromBytes<WakeRelayRequest>(frame);
    std::optional<WakeRelayResponse> response;
    if (request) {
        response = co_await decideAndAnswer(std::move(*request), context);
    } else {
        response = co_await answerUndecodable(context);
    }
    if (!response) co_return;
    // Every answer, the one to an undecodable frame included, is sent under its own limit.
    Bytes payload = json::encodeToBytes(*response);
    co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(handshakeTimeout,
                                                             connection->sendRawFrame(std::move(payload)));
}

} // namespace velorinth
