#pragma once

// A tablet built from the real initiator side of the pairing protocol, the
// real cipher and the real framed connection, driven step by step so a test
// can stop or misbehave at any step.

#include "core/ControlProtocol.hpp"
#include "platform/InMemorySecureStore.hpp"
#include "support/SessionEnd.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/HandshakeMessages.hpp"
#include "transport/security/NetworkFramedConnection.hpp"
#include "transport/security/SecurePairingProtocol.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/security/SessionControlMessage.hpp"
#include "transport/video/SessionBinaryChannel.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace velorinth::testing {

// After the handshake the peer is its session's end (SessionEnd).
class ScriptedTabletPeer : public SessionEnd {
public:
    // Big enough to send frames the host must refuse as oversized.
    static constexpr std::size_t kMaximumFrameSize = 1 << 20;

    ScriptedTabletPeer(asio::any_io_executor executor, asio::thread_pool& kdfWorker, std::string name = "Test iPad");

    DevicePublicIdentity identity() const;

    asio::awaitable<void> connect(std::uint16_t port);
    // `edit` may change the fresh request before it is sent (and kept).
    asio::awaitable<void> sendRequest(HandshakePurpose purpose, std::function<void(PairingRequest&)> edit = {});
    asio::awaitable<HandshakeEnvelope> receiveEnvelope();
    // Checks the response and sends the confirmation; sets `verification` and the cipher.
    asio::awaitable<void> answerResponse();
    asio::awaitable<PairingDecision> receiveDecision();
    asio::awaitable<void> sendClientReady(std::function<void(ClientSessionReady&)> edit = {});
    asio::awaitable<ServerSessionReady> receiveServerReady();

    // connect, request, answer: the host is then deciding.
    asio::awaitable<void> startHandshake(std::uint16_t port, HandshakePurpose purpose);
    asio::awaitable<PairingDecision> runUntilDecision(std::uint16_t port, HandshakePurpose purpose);
    // runUntilDecision, then the ready exchange; throws unless approved.
    asio::awaitable<ServerHello> openSession(std::uint16_t port, HandshakePurpose purpose);

    // Cancels the connection (a close the host sees at once).
    void close();

    static SessionControlMessage message(SessionControlCommand command, std::uint64_t sequence = 1);
    // A pointer move to the centre, numbered `inputSequence`.
    static SessionControlMessage input(std::uint64_t inputSequence);

    CapabilitySet capabilities{Capability::h264, Capability::pointer, Capability::keyboard};
    std::shared_ptr<DeviceIdentityService> identityService;
    std::optional<PairingRequest> lastRequest;
    std::optional<PairingVerification> verification;
    std::optional<ServerHello> serverHello;
    std::optional<std::uint64_t> decisionSequence;
    std::optional<std::uint64_t> serverReadySequence;

private:
    asio::any_io_executor executor_;
    SecurePairingProtocol pairing_;
    std::optional<PairingInitiatorState> initiator_;
};

} // namespace velorinth::testing
