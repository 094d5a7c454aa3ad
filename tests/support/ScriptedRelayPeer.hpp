#pragma once

// Both ends of the wake relay protocol written by hand for tests: a tablet
// that can change any field of its request, sign with any key and send raw
// bytes; a relay that answers with whatever the test makes. Both use the
// real framed connection and WakeRelayCrypto, on 127.0.0.1.

#include "core/Date.hpp"
#include "platform/tls/TLSChannelContext.hpp"
#include "support/LoopbackListener.hpp"
#include "transport/relay/WakeRelayMessages.hpp"
#include "transport/security/DeviceIdentityService.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/ssl/context.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velorinth::testing {

inline constexpr const char* kRelayProtocol = "velorinth-relay/1";

// A device identity kept in memory, created at once.
std::shared_ptr<DeviceIdentityService> memoryIdentity(const std::string& name);

// What one exchange with a relay gave: the relay as TLS showed it (none when
// TLS failed) and its answer (none when it closed without one).
struct RelayExchange {
    std::optional<TLSChannelContext> context;
    std::optional<Bytes> sent;
    std::optional<Bytes> answer;

    std::optional<WakeRelayRequest> request() const;
    std::optional<WakeRelayResponse> response() const;
};

class ScriptedRelayPeer {
public:
    using FrameMaker = std::function<Bytes(const TLSChannelContext&)>;
    using Edit = std::function<void(WakeRelayRequest&)>;

    explicit ScriptedRelayPeer(asio::any_io_executor executor, const std::string& name = "Relay iPad");
    // As the device of `identity` (one a real client uses too).
    ScriptedRelayPeer(asio::any_io_executor executor, std::shared_ptr<DeviceIdentityService> identity)
        : executor_(std::move(executor)), identity_(std::move(identity)) {}

    DeviceIdentityService& identity() { return *identity_; }
    DevicePublicIdentity publicIdentity() { return identity_->publicIdentity(identity_->loadOrCreateRecord()); }

    // Signed by `signer` (this device by default) over `binding`, after
    // `beforeSigning` changed it; the client identity is the signer's.
    WakeRelayRequest request(const Uuid& target, WakeRelayAction action, Date now, ByteView binding,
                             const Edit& beforeSigning = {}, DeviceIdentityService* signer = nullptr);

    // One connection: `makeFrame`'s bytes as one frame, then one answer read.
    asio::awaitable<RelayExchange> exchange(std::uint16_t port, FrameMaker makeFrame,
                                            std::string protocol = kRelayProtocol);
    // A request signed over this connection, changed by `afterSigning`.
    asio::awaitable<RelayExchange> send(std::uint16_t port, Uuid target, WakeRelayAction action, Date now,
                                        Edit afterSigning = {});

private:
    asio::any_io_executor executor_;
    std::shared_ptr<DeviceIdentityService> identity_;
};

// A TLS connection below the framing, for bytes no framed connection would
// send: made with our policy and this identity's certificate, or without any.
class RawRelayConnection {
public:
    RawRelayConnection(asio::any_io_executor executor, const TLSDeviceIdentity* identity,
                       const char* protocol = kRelayProtocol);
    ~RawRelayConnection();

    // The TLS handshake's outcome (an error when the relay refused or closed).
    asio::awaitable<asio::error_code> connect(std::uint16_t port);
    asio::awaitable<void> write(Bytes bytes);
    // Ends the TCP stream without a TLS close: the peer sees it cut short.
    void cutShort();
    // Everything read until the relay closes.
    asio::awaitable<Bytes> readUntilClosed();

private:
    struct State;
    std::shared_ptr<State> state_;
};

// A relay that answers each connection with what `answer` makes of the
// request (none: it says nothing until the client leaves). Records requests.
class ScriptedRelay {
public:
    using Answer = std::function<std::optional<Bytes>(const WakeRelayRequest&, const TLSChannelContext&)>;

    ScriptedRelay(asio::any_io_executor executor, std::shared_ptr<DeviceIdentityService> identity);

    std::uint16_t port() const { return acceptor_.port(); }
    DevicePublicIdentity publicIdentity() { return identity_->publicIdentity(identity_->loadOrCreateRecord()); }
    DeviceIdentityService& identity() { return *identity_; }

    // Serves until the loop ends.
    void serve(Answer answer);
    // The answer a relay would sign, with these values, by `signer` (this relay by default).
    WakeRelayResponse answer(const WakeRelayRequest& request, ByteView binding, WakeRelayResponseStatus status,
                             std::int64_t datagramsSent, const std::string& message,
                             DeviceIdentityService* signer = nullptr);

    std::vector<WakeRelayRequest> requests;

private:
    asio::awaitable<void> serveLoop(Answer answer);

    asio::any_io_executor executor_;
    std::shared_ptr<DeviceIdentityService> identity_;
    LoopbackAcceptor acceptor_;
};

} // namespace velorinth::testing
