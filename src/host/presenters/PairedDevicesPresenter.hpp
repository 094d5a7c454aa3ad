#pragma once

#include "host/model/HostModel.hpp"
#include "host/presenters/PresenterTypes.hpp"

#include <optional>
#include <string>
#include <vector>

namespace velorinth {

struct DeviceRowPresentation {
    TrustedDevice device;
    SymbolImage status;
    std::string name;
    std::optional<Badge> badge; // "Connected", else "Revoked", else none
    std::string fingerprint;
    std::string dates;
    bool authorized = false; // the two switches and "Revoke Device"; else only "Remove"
    bool viewScreen = false;
    bool remoteControl = false;
    bool hasDivider = false;
    bool operator==(const DeviceRowPresentation&) const = default;
};

struct PairedDevicesPresentation {
    // The placeholder, shown when there is no row.
    std::string emptyTitle;
    SymbolImage emptySymbol;
    std::string emptyDescription;
    std::vector<DeviceRowPresentation> rows;
    bool operator==(const PairedDevicesPresentation&) const = default;
};

// The "Trusted iPads" box: every trust record, in the model's order, with
// its rights and its revoke or remove action.
class PairedDevicesPresenter {
public:
    static constexpr std::string_view kViewScreenTitle = "View Screen";
    static constexpr std::string_view kRemoteControlTitle = "Remote Control";
    static constexpr std::string_view kRevokeTitle = "Revoke Device";
    static constexpr std::string_view kRemoveTitle = "Remove";

    static PairedDevicesPresentation present(const HostModel& model, const DisplayFormats& formats);

    static void setViewScreen(HostModel& model, bool allowed, const TrustedDevice& device);
    static void setRemoteControl(HostModel& model, bool allowed, const TrustedDevice& device);
    static void revoke(HostModel& model, const TrustedDevice& device);
    static void remove(HostModel& model, const TrustedDevice& device);
};

} // namespace velorinth
