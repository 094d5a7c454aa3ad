#include "host/presenters/PairedDevicesPresenter.hpp"

#include "host/presenters/ModelTasks.hpp"
#include "host/presenters/Symbols.hpp"

#include <algorithm>

namespace velorinth {

PairedDevicesPresentation PairedDevicesPresenter::present(const HostModel& model, const DisplayFormats& formats) {
    PairedDevicesPresentation presentation;
    presentation.emptyTitle = "No Trusted iPads";
    presentation.emptySymbol = {std::string(symbols::ipad), Tint::secondary};
    presentation.emptyDescription = "Discovered Macs never grant access automatically. Pairing requires 6-digit code "
                                    "comparison and explicit approval on this Mac.";
    const std::vector<TrustedDevice>& devices = model.trustedDevices.get();
    const std::vector<ActiveSessionDescriptor>& sessions = model.activeSessionList.get();
    for (const TrustedDevice& device : devices) {
        DeviceRowPresentation row;
        row.device = device;
        row.authorized = device.authorization == DeviceAuthorization::authorized;
        row.status = row.authorized ? SymbolImage{std::string(symbols::checkmarkShieldFill), Tint::green}
                                    : SymbolImage{std::string(symbols::xmarkShield), Tint::red};
        row.name = device.identity.displayName;
        const bool connected = std::any_of(sessions.begin(), sessions.end(), [&](const ActiveSessionDescriptor& s) {
            return s.peerIdentity.id == device.id;
        });
        if (connected) {
            row.badge = Badge{"Connected", Tint::green, {}, 0.15};
        } else if (!row.authorized) {
            row.badge = Badge{"Revoked", Tint::red, {}, 0.15};
        }
        row.fingerprint = device.identity.fingerprint.groupedHexString();
        row.dates = "Paired " + formats.abbreviatedDateTime(device.pairedAt);
        if (device.lastSuccessfulConnection) {
            row.dates += " \u00B7 Last connected " + formats.abbreviatedDateTime(*device.lastSuccessfulConnection);
        }
        row.viewScreen = device.permissions.allowsScreenView();
        row.remoteControl = device.permissions.allowsRemoteControl();
        row.hasDivider = device.id != devices.back().id;
        presentation.rows.push_back(std::move(row));
    }
    return presentation;
}

void PairedDevicesPresenter::setViewScreen(HostModel& model, bool allowed, const TrustedDevice& device) {
    startModelTask(model, model.setDeviceScreenViewing(allowed, device));
}

void PairedDevicesPresenter::setRemoteControl(HostModel& model, bool allowed, const TrustedDevice& device) {
    startModelTask(model, model.setDeviceRemoteControl(allowed, device));
}

void PairedDevicesPresenter::revoke(HostModel& model, const TrustedDevice& device) {
    startModelTask(model, model.revokeDevice(device));
}

void PairedDevicesPresenter::remove(HostModel& model, const TrustedDevice& device) {
    startModelTask(model, model.removeDevice(device));
}

} // namespace velorinth
