#pragma once

#include "core/Date.hpp"
#include "core/IdentityModels.hpp"
#include "core/RemoteEndpoint.hpp"
#include "core/ServiceEndpoint.hpp"
#include "core/TrustedDevice.hpp"
#include "core/WakeModels.hpp"
#include "transport/client/FirstFrameGate.hpp"
#include "transport/client/WakeConnectState.hpp"

#include <asio/awaitable.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace velorinth {

// The embedding application's session, which the coordinator only hands
// back to the environment and to its caller.
using WakeSession = std::shared_ptr<void>;

// A session the environment opened, with what the coordinator checks of it.
struct EstablishedWakeSession {
    WakeSession session;
    DevicePublicIdentity peerIdentity;
    DevicePermissions grantedPermissions;
    bool supportsLiveVideo = false;
};

// What the embedding application does for a wake-and-connect run. Each
// function runs on the coordinator's loop; the coordinator keeps a copy.
struct WakeConnectEnvironment {
    using Duration = std::chrono::nanoseconds;

    // The Mac's Bonjour endpoint when it is discovered now. Never fails.
    std::function<asio::awaitable<std::optional<ServiceEndpoint>>(TrustedDevice)> resolveDiscoveredEndpoint;
    // Opens and authenticates a session within the limit; the gate goes with
    // the session, which resolves it with the first shown frame or a stream
    // failure. Throws on failure.
    std::function<asio::awaitable<EstablishedWakeSession>(ServiceEndpoint, TrustedDevice, Duration,
                                                          std::shared_ptr<FirstFrameGate>)>
        connectAuthenticatedSession;
    // Asks the Mac to start the desktop stream. Throws on failure.
    std::function<asio::awaitable<void>(EstablishedWakeSession, std::shared_ptr<FirstFrameGate>)> startDesktopStream;
    // Tells the Mac over the session that its wake was verified then. Never fails.
    std::function<asio::awaitable<void>(WakeSession, Date)> confirmVerifiedWakeOnSession;
    // Closes a session with a reason. Never fails.
    std::function<asio::awaitable<void>(WakeSession, std::string)> disconnectSession;
    // True when the Mac is reached over a private network rather than its
    // local one, which rules out a local wake. Never fails.
    std::function<asio::awaitable<bool>(TrustedDevice)> isRemoteNetworkContext;
};

// How a run ended; the session only with `connected`.
struct WakeConnectResult {
    WakeConnectState finalState;
    WakeSession session;
    bool didSendWakeRequest = false;
    std::optional<WakeRouteKind> wakeRouteUsed;
    std::optional<ConnectionRouteKind> connectionRouteUsed;
};

} // namespace velorinth
