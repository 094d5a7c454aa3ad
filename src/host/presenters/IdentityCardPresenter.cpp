#include "host/presenters/IdentityCardPresenter.hpp"

#include "host/presenters/Symbols.hpp"

namespace velorinth {

std::uint16_t IdentityCardPresenter::displayedPort(const HostModel& model) {
    const ListenerStatus& status = model.listenerStatus.get();
    if (status.kind() == ListenerStatus::Case::advertising && status.port() != 0) return status.port();
    return model.preferredListenerPort.get();
}

IdentityCardPresentation IdentityCardPresenter::present(const HostModel& model) {
    IdentityCardPresentation p;
    p.loadingText = "Loading Keychain identity\u2026";
    const std::optional<DevicePublicIdentity>& identity = model.hostIdentity.get();
    if (!identity) return p;
    p.loading = false;
    const std::string port = decimalText(static_cast<std::uint64_t>(displayedPort(model)));
    p.fingerprint = identity->fingerprint.groupedHexString();
    p.identifierLine = "Device ID: " + identity->id.lowercaseString() + " \u00B7 Discovery ID: " +
                       identity->discoveryInstanceID.lowercaseString() + " \u00B7 TLS 1.3 Port: " + port;
    p.tunnelSymbol = {std::string(symbols::networkBadgeShieldHalfFilled), Tint::blue};
    p.tunnelTitle = "Detected Private Tunnel Endpoint(s):";
    for (const std::string& address : model.detectedPrivateTunnelAddresses.get()) {
        p.tunnelEndpoints.push_back({address, address + ":" + port});
    }
    p.explanation = "Derived from the persistent P-256 signing private key stored in Keychain. Never changes when "
                    "Wi-Fi IP, private-network hostname, or computer name changes.";
    return p;
}

} // namespace velorinth
