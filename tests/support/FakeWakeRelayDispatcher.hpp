#pragma once

#include "transport/relay/WakeRelayDispatching.hpp"

#include <exception>
#include <functional>
#include <vector>

namespace velorinth::testing {

// A relay that answers from a script: the outcome (stamped with the time the
// test gives) or the failure it is told to throw. It records every request
// and runs a hook first (to start a stopped host, say). Loop only.
class FakeWakeRelayDispatcher final : public WakeRelayDispatching {
public:
    struct Request {
        PairedWakeRelayConfiguration configuration;
        Duration timeout;
    };

    asio::awaitable<WakeDispatchOutcome> sendWakeSignal(PairedWakeRelayConfiguration configuration,
                                                        Duration timeout) override {
        requests.push_back({configuration, timeout});
        if (hook) hook();
        if (failure) std::rethrow_exception(failure);
        co_return outcome;
    }

    WakeDispatchOutcome outcome{WakeSignalStatus::wakeRequestSent, WakeRouteKind::externalWakeRelay, 1, false, Date(0)};
    std::exception_ptr failure; // a WakeRelayClientError, or anything else
    std::function<void()> hook;
    std::vector<Request> requests;
};

} // namespace velorinth::testing
