#pragma once

#include "core/Date.hpp"
#include "core/RemoteEndpoint.hpp"
#include "core/Uuid.hpp"
#include "transport/relay/WakeRelayDispatching.hpp"
#include "transport/relay/WakeRelayMessages.hpp"
#include "transport/relay/WakeRelayPairingInvitation.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <memory>

namespace velorinth {

class DeviceIdentityService;
class HostnameResolver;
class NetworkFramedConnection;

// The tablet's side of the wake relay protocol: pairs with a relay from its
// invitation, and asks a paired relay to wake the Mac. Each call is one
// exchange on a fresh connection pinned to the relay's fingerprint: one
// signed request bound to that TLS session, one answer whose signature,
// relay and binding are checked, then the connection closes. Nothing
// survives a call.
//
// A coroutine service on the event loop, owned through std::shared_ptr.
class WakeRelayClient final : public WakeRelayDispatching, public std::enable_shared_from_this<WakeRelayClient> {
public:
    static constexpr std::uint16_t kProtocolVersion = 1;
    static constexpr std::size_t kMaximumFrameSize = 16'384;

    WakeRelayClient(asio::any_io_executor executor, std::shared_ptr<DeviceIdentityService> identityService,
                    std::shared_ptr<HostnameResolver> resolver, bool allowLoopbackForTesting,
                    WallClock clock = [] { return Date::now(); });

    // Redeems the invitation's ticket for `macDeviceID` and returns what the
    // tablet keeps of the relay. An invitation for another Mac fails with
    // invitationTargetMismatch before any connection.
    asio::awaitable<PairedWakeRelayConfiguration> pair(WakeRelayPairingInvitation invitation, Uuid macDeviceID,
                                                       Duration timeout);
    // At least one datagram is reported, whatever the relay says.
    asio::awaitable<WakeDispatchOutcome> sendWakeSignal(PairedWakeRelayConfiguration configuration,
                                                        Duration timeout) override;
    // The relay's verified answer, whatever its status. `timeout` bounds each
    // network step on its own. Fails with WakeRelayClientError (the
    // translation of every failure after the connection is made), the
    // identity service's errors, or as a cancellation.
    asio::awaitable<WakeRelayResponse> send(RemoteEndpoint endpoint, DeviceFingerprint pinned, Uuid targetMacDeviceID,
                                            WakeRelayAction action, Duration timeout);

    const bool allowLoopbackForTesting;

private:
    asio::awaitable<PairedWakeRelayConfiguration> pairBody(WakeRelayPairingInvitation invitation, Uuid macDeviceID,
                                                           Duration timeout);
    asio::awaitable<WakeDispatchOutcome> wakeBody(PairedWakeRelayConfiguration configuration, Duration timeout);
    asio::awaitable<WakeRelayResponse> sendBody(RemoteEndpoint endpoint, DeviceFingerprint pinned,
                                                Uuid targetMacDeviceID, WakeRelayAction action, Duration timeout);
    // Steps from the TLS start to the verified answer, on a connection the caller closes.
    asio::awaitable<WakeRelayResponse> exchange(std::shared_ptr<NetworkFramedConnection> connection,
                                                DeviceFingerprint pinned, Uuid targetMacDeviceID,
                                                WakeRelayAction action, Duration timeout);

    const asio::any_io_executor executor_;
    const std::shared_ptr<DeviceIdentityService> identityService_;
    const std::shared_ptr<HostnameResolver> resolver_;
    const WallClock clock_;
};

} // namespace velorinth
