#pragma once

#include "transport/client/WakeConnectEnvironment.hpp"

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velorinth::testing {

// The embedding application's six functions, scripted: sessions are numbers
// (shared ints) and everything asked is recorded. Connecting fails as
// refused unless `answer` says otherwise; a started stream shows its first
// frame at once unless `onStreamStart` says otherwise. Outlives its
// coordinator; loop only.
struct FakeWakeEnvironment {
    using Duration = WakeConnectEnvironment::Duration;

    struct Connect {
        ServiceEndpoint endpoint;
        Duration limit;
    };

    // Throws to fail the attempt; returns to let it open a session.
    std::function<void(const ServiceEndpoint&)> answer;
    std::function<void(const std::shared_ptr<FirstFrameGate>&)> onStreamStart;
    std::exception_ptr streamStartFailure;

    std::optional<ServiceEndpoint> discovered;
    bool remote = false;
    DevicePublicIdentity macIdentity;
    DevicePermissions grantedPermissions = DevicePermissions::all;
    bool supportsLiveVideo = true;

    std::vector<Connect> connects;
    int streamStarts = 0;
    std::vector<std::pair<int, std::string>> disconnects; // session, reason
    std::vector<std::pair<int, Date>> confirmations;       // session, date
    std::shared_ptr<FirstFrameGate> lastGate;

    WakeConnectEnvironment environment();
    static int number(const WakeSession& session) { return *std::static_pointer_cast<int>(session); }

private:
    int sessions_ = 0;
};

} // namespace velorinth::testing
