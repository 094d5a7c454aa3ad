#include "host/presenters/SettingsPresenter.hpp"

#include "core/Constants.hpp"
#include "core/Text.hpp"
#include "host/presenters/PresenterTypes.hpp"

namespace velorinth {

std::string SettingsPresenter::defaultTitle() {
    return "Default (" + decimalText(static_cast<std::uint64_t>(VelorinthService::defaultPort)) + ")";
}

std::string SettingsPresenter::explanation() {
    return "Velorinth listens on a stable Mutual TLS 1.3 port (default " +
           decimalText(static_cast<std::uint64_t>(VelorinthService::defaultPort)) +
           ") so paired iPads can connect across user-managed private networks such as Tailscale or WireGuard without "
           "cloud accounts. Pairing always requires explicit interactive approval on this Mac.";
}

std::string SettingsPresenter::portText(const HostModel& model) {
    return decimalText(static_cast<std::uint64_t>(model.preferredListenerPort.get()));
}

std::optional<std::uint16_t> SettingsPresenter::parsePort(std::string_view text) { return parseDecimalUInt16(text); }

std::string SettingsPresenter::applyPort(HostModel& model, const std::string& portInput) {
    const std::optional<std::uint16_t> port = parsePort(trimmedWhitespace(portInput));
    if (!port || *port <= 1023) return portText(model);
    model.updatePreferredListenerPort(*port);
    return portInput;
}

std::string SettingsPresenter::applyDefaultPort(HostModel& model) {
    model.updatePreferredListenerPort(VelorinthService::defaultPort);
    return decimalText(static_cast<std::uint64_t>(VelorinthService::defaultPort));
}

void SettingsPresenter::setRemoteAccess(HostModel& model, bool enabled) { model.setRemoteAccessEnabled(enabled); }

void SettingsPresenter::setUnattendedAccess(HostModel& model, bool enabled) {
    model.unattendedAccessEnabled.set(enabled);
}

} // namespace velorinth
