#include "support/ScriptedRelayPeer.hpp"

#include "platform/InMemorySecureStore.hpp"
#include "support/TLSTestIdentities.hpp"
#include "transport/relay/WakeRelayCrypto.hpp"
#include "transport/security/NetworkFramedConnection.hpp"
#include "transport/security/SecurePairingProtocol.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

namespace velorinth::testing {

std::shared_ptr<DeviceIdentityService> memoryIdentity(const std::string& name) {
    auto identity =
        std::make_shared<DeviceIdentityService>(std::make_shared<InMemorySecureStore>(), [name] { return name; });
    identity->loadOrCreateRecord();
    return identity;
}

std::optional<WakeRelayRequest> RelayExchange::request() const {
    if (!sent) return std::nullopt;
    return json::tryDecodeFromBytes<WakeRelayRequest>(*sent);
}

std::optional<WakeRelayResponse> RelayExchange::response() const {
    if (!answer) return std::nullopt;
    return json::tryDecodeFromBytes<WakeRelayResponse>(*answer);
}

// ---- the tablet ------------------------------------------------------------------

ScriptedRelayPeer::ScriptedRelayPeer(asio::any_io_executor executor, const std::string& name)
    : executor_(std::move(executor)), identity_(memoryIdentity(name)) {}

WakeRelayRequest ScriptedRelayPeer::request(const Uuid& target, WakeRelayAction action, Date now, ByteView binding,
                                            const Edit& beforeSigning, DeviceIdentityService* signer) {
    DeviceIdentityService& by = signer != nullptr ? *signer : *identity_;
    WakeRelayRequest draft;
    draft.requestID = Uuid::random();
    draft.protocolVersion = 1;
    draft.action = std::move(action);
    draft.clientIdentity = by.publicIdentity(by.loadOrCreateRecord());
    draft.targetMacDeviceID = target;
    draft.timestampEpochSeconds = SecurePairingProtocol::epochSeconds(now);
    draft.nonce = WakeRelayCrypto::randomBytes(WakeRelayCrypto::kNonceSize);
    if (beforeSigning) beforeSigning(draft);
    draft.signature = by.sign(WakeRelayCrypto::requestDigest(draft.requestID, draft.protocolVersion, draft.action,
                                                             draft.clientIdentity, draft.targetMacDeviceID,
                                                             draft.timestampEpochSeconds, draft.nonce, binding));
    return draft;
}

asio::awaitable<RelayExchange> ScriptedRelayPeer::exchange(std::uint16_t port, FrameMaker makeFrame,
                                                           std::string protocol) {
    auto connection = NetworkFramedConnection::connect(executor_, {"127.0.0.1", port}, identity_->tlsIdentity(),
                                                       std::nullopt, 65'536, protocol);
    RelayExchange result;
    try {
        co_await connection->start();
        result.context = connection->capturedTLSContext();
        result.sent = makeFrame(*result.context);
        Bytes frame = *result.sent;
        co_await connection->sendRawFrame(std::move(frame));
        result.answer = co_await connection->receiveFrame();
    } catch (...) {
        // Refused or closed: what came before is the result.
    }
    connection->cancel();
    co_return result;
}

asio::awaitable<RelayExchange> ScriptedRelayPeer::send(std::uint16_t port, Uuid target, WakeRelayAction action,
                                                       Date now, Edit afterSigning) {
    FrameMaker make = [this, target, action, now, afterSigning](const TLSChannelContext& context) {
        WakeRelayRequest signedRequest = request(target, action, now, context.exporterChannelBinding);
        if (afterSigning) afterSigning(signedRequest);
        return json::encodeToBytes(signedRequest);
    };
    co_return co_await exchange(port, std::move(make));
}

// ---- raw TLS ---------------------------------------------------------------------

struct RawRelayConnection::State {
    State(asio::any_io_executor executor, std::unique_ptr<asio::ssl::context> tls)
        : context(std::move(tls)), stream(executor, *context) {}
    std::unique_ptr<asio::ssl::context> context;
    asio::ssl::stream<asio::ip::tcp::socket> stream;
};

RawRelayConnection::RawRelayConnection(asio::any_io_executor executor, const TLSDeviceIdentity* identity,
                                       const char* protocol)
    : state_(std::make_shared<State>(
          std::move(executor), makeRawContext(TLSRole::client, {identity, TLS1_3_VERSION, protocol}))) {}

RawRelayConnection::~RawRelayConnection() {
    std::error_code ignored;
    state_->stream.lowest_layer().close(ignored);
}

asio::awaitable<asio::error_code> RawRelayConnection::connect(std::uint16_t port) {
    const auto state = state_;
    asio::error_code error;
    co_await state->stream.next_layer().async_connect({asio::ip::make_address("127.0.0.1"), port},
                                                      asio::redirect_error(asio::use_awaitable, error));
    if (error) co_return error;
    co_await state->stream.async_handshake(asio::ssl::stream_base::client,
                                           asio::redirect_error(asio::use_awaitable, error));
    co_return error;
}

asio::awaitable<void> RawRelayConnection::write(Bytes bytes) {
    const auto state = state_;
    co_await asio::async_write(state->stream, asio::buffer(bytes), asio::use_awaitable);
}

void RawRelayConnection::cutShort() {
    std::error_code ignored;
    state_->stream.lowest_layer().shutdown(asio::socket_base::shutdown_send, ignored);
}

asio::awaitable<Bytes> RawRelayConnection::readUntilClosed() {
    const auto state = state_;
    Bytes received;
    std::array<std::uint8_t, 4096> buffer{};
    for (;;) {
        asio::error_code error;
        const std::size_t count = co_await state->stream.async_read_some(
            asio::buffer(buffer), asio::redirect_error(asio::use_awaitable, error));
        received.insert(received.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count));
        if (error) co_return received;
    }
}

// ---- the relay -------------------------------------------------------------------

ScriptedRelay::ScriptedRelay(asio::any_io_executor executor, std::shared_ptr<DeviceIdentityService> identity)
    : executor_(executor), identity_(std::move(identity)),
      acceptor_(executor, identity_->tlsIdentity(), kRelayProtocol, 16'384) {}

void ScriptedRelay::serve(Answer answer) { asio::co_spawn(executor_, serveLoop(std::move(answer)), asio::detached); }

WakeRelayResponse ScriptedRelay::answer(const WakeRelayRequest& request, ByteView binding,
                                        WakeRelayResponseStatus status, std::int64_t datagramsSent,
                                        const std::string& message, DeviceIdentityService* signer) {
    return WakeRelayCrypto::signResponse(request.requestID, status, datagramsSent, message,
                                         SecurePairingProtocol::epochSeconds(Date::now()), binding,
                                         signer != nullptr ? *signer : *identity_);
}

asio::awaitable<void> ScriptedRelay::serveLoop(Answer answer) {
    for (;;) {
        std::shared_ptr<NetworkFramedConnection> connection;
        try {
            connection = co_await acceptor_.accept();
        } catch (...) {
            continue; // a client the framed connection refused
        }
        try {
            const Bytes frame = co_await connection->receiveFrame();
            const std::optional<WakeRelayRequest> request = json::tryDecodeFromBytes<WakeRelayRequest>(frame);
            if (request) {
                requests.push_back(*request);
                std::optional<Bytes> reply = answer(*request, *connection->capturedTLSContext());
                if (reply) {
                    co_await connection->sendRawFrame(std::move(*reply));
                } else {
                    co_await connection->receiveFrame(); // silent until the client leaves
                }
            }
        } catch (...) {
        }
        connection->cancel();
    }
}

} // namespace velorinth::testing
