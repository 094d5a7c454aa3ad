#include "support/FakeWakeEnvironment.hpp"

#include "transport/client/RemoteConnectionFailure.hpp"

namespace velorinth::testing {

WakeConnectEnvironment FakeWakeEnvironment::environment() {
    WakeConnectEnvironment environment;
    environment.resolveDiscoveredEndpoint = [this](TrustedDevice) -> asio::awaitable<std::optional<ServiceEndpoint>> {
        co_return discovered;
    };
    environment.connectAuthenticatedSession =
        [this](ServiceEndpoint endpoint, TrustedDevice, Duration limit,
               std::shared_ptr<FirstFrameGate> gate) -> asio::awaitable<EstablishedWakeSession> {
        connects.push_back({endpoint, limit});
        lastGate = gate;
        if (!answer) throw RemoteConnectionFailure::connectionRefused("Connection refused");
        answer(endpoint);
        co_return EstablishedWakeSession{std::make_shared<int>(++sessions_), macIdentity, grantedPermissions,
                                         supportsLiveVideo};
    };
    environment.startDesktopStream = [this](EstablishedWakeSession,
                                            std::shared_ptr<FirstFrameGate> gate) -> asio::awaitable<void> {
        ++streamStarts;
        if (streamStartFailure) std::rethrow_exception(streamStartFailure);
        if (onStreamStart) {
            onStreamStart(gate);
        } else {
            gate->markRendered();
        }
        co_return;
    };
    environment.confirmVerifiedWakeOnSession = [this](WakeSession session, Date date) -> asio::awaitable<void> {
        confirmations.emplace_back(number(session), date);
        co_return;
    };
    environment.disconnectSession = [this](WakeSession session, std::string reason) -> asio::awaitable<void> {
        disconnects.emplace_back(number(session), std::move(reason));
        co_return;
    };
    environment.isRemoteNetworkContext = [this](TrustedDevice) -> asio::awaitable<bool> { co_return remote; };
    return environment;
}

} // namespace velorinth::testing
