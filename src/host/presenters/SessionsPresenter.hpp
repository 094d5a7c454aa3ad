#pragma once

#include "host/model/HostModel.hpp"
#include "host/presenters/PresenterTypes.hpp"

#include <string>
#include <vector>

namespace velorinth {

struct SessionRowPresentation {
    ActiveSessionDescriptor session;
    SymbolImage symbol;
    std::string title;
    std::vector<Badge> badges; // in order
    std::string fingerprint;
    std::string details;
    bool hasDivider = false;
    bool operator==(const SessionRowPresentation&) const = default;
};

struct SessionsPresentation {
    SymbolImage emptySymbol;
    std::string emptyText; // shown when there is no row
    std::vector<SessionRowPresentation> rows;
    bool operator==(const SessionsPresentation&) const = default;
};

// The "Active Authenticated Sessions" box: one row per session the server
// last published, in its order.
class SessionsPresenter {
public:
    static constexpr std::string_view kDisconnectTitle = "Disconnect";

    static SessionsPresentation present(const HostModel& model, const DisplayFormats& formats);
    // "Disconnect" on a row.
    static void disconnect(HostModel& model, const ActiveSessionDescriptor& session);
};

} // namespace velorinth
