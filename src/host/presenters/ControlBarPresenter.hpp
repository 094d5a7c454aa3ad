#pragma once

#include "host/model/HostModel.hpp"

#include <string_view>

namespace velorinth {

struct ControlBarPresentation {
    bool disconnectAllEnabled = false;
    bool remoteAccess = true;
    bool operator==(const ControlBarPresentation&) const = default;
};

// The bar under the sections: end every session, switch remote access.
class ControlBarPresenter {
public:
    static constexpr std::string_view kDisconnectAllTitle = "Disconnect All Sessions";
    static constexpr std::string_view kRemoteAccessTitle = "Remote Access";

    static ControlBarPresentation present(const HostModel& model);
    static void disconnectAll(HostModel& model);
    static void setRemoteAccess(HostModel& model, bool enabled);
};

} // namespace velorinth
