#pragma once

#include "platform/BonjourBrowsing.hpp"
#include "tablet/DecodedFrameSink.hpp"
#include "transport/client/ReconnectDialer.hpp"
#include "transport/client/WakeConnectEnvironment.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velorinth {

class AuthenticatedClientSession;

struct TabletWakeEnvironmentOptions {
    using Duration = std::chrono::steady_clock::duration;
    // How long browsing looks for the Mac's service.
    Duration browseTimeout = std::chrono::seconds(2);
    // The connector's step limit, at most (the attempt's own limit may be less).
    Duration stepTimeout = std::chrono::seconds(10);
    Duration heartbeatInterval = std::chrono::seconds(5);
    bool isRemoteNetworkContext = false;
    BonjourBrowsing::Factory browsingFactory = &BonjourBrowsing::create;
};

// The tablet program's side of a wake-and-connect run: it browses for the
// Mac, opens authenticated sessions whose video goes to a decode-and-save
// sink (which reports the first picture to the attempt's gate), starts the
// stream, confirms a verified wake and disconnects. Loop only.
class TabletWakeEnvironment : public std::enable_shared_from_this<TabletWakeEnvironment> {
public:
    using Duration = std::chrono::steady_clock::duration;
    using Options = TabletWakeEnvironmentOptions;

    static constexpr const char* kStreamStoppedText = "Desktop video stream stopped during startup.";

    // `dialer` holds the loop, the workers, the identity, the trust store and
    // the Bonjour resolution.
    TabletWakeEnvironment(ReconnectDialer dialer, Options options = {});

    // Browses until the Mac's own service appears (its discovery instance
    // identifier), browsing fails (no daemon) or the browse time passes.
    asio::awaitable<std::optional<ServiceEndpoint>> resolveDiscoveredEndpoint(TrustedDevice device);
    // A reconnection within `limit`; a session that comes after the limit is
    // disconnected. Authentication failures and cancellations pass as they
    // are; any other failure is classified as the remote connection does.
    asio::awaitable<EstablishedWakeSession> connectAuthenticatedSession(ServiceEndpoint endpoint, TrustedDevice device,
                                                                        Duration limit,
                                                                        std::shared_ptr<FirstFrameGate> gate);
    asio::awaitable<void> startDesktopStream(EstablishedWakeSession session, std::shared_ptr<FirstFrameGate> gate);

    // The six functions, each holding this environment.
    WakeConnectEnvironment environment();

    // The sink of a session this environment opened; null for any other.
    std::shared_ptr<DecodedFrameSink> sinkFor(const WakeSession& session) const;
    // Every sink made so far, handed over to be destroyed off the loop.
    std::vector<std::shared_ptr<DecodedFrameSink>> takeSinks();

private:
    const ReconnectDialer dialer_;
    const Options options_;
    std::map<const void*, std::shared_ptr<DecodedFrameSink>> sinks_;
};

} // namespace velorinth
