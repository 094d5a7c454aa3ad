#pragma once

#include "host/model/HostModel.hpp"
#include "host/presenters/PresenterTypes.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace velorinth {

struct TunnelEndpointButton {
    std::string address;
    std::string title; // the address, ":" and the displayed port
    bool operator==(const TunnelEndpointButton&) const = default;
};

struct IdentityCardPresentation {
    bool loading = true; // no identity yet: only the progress line
    std::string loadingText;
    std::string fingerprint;
    std::string identifierLine;
    SymbolImage tunnelSymbol;
    std::string tunnelTitle;
    std::vector<TunnelEndpointButton> tunnelEndpoints; // none: no tunnel row
    std::string explanation;
    bool operator==(const IdentityCardPresentation&) const = default;
};

// The "Host Cryptographic Identity" box: the host's own identity and how to
// reach it.
class IdentityCardPresenter {
public:
    static constexpr std::string_view kCopyFingerprintTitle = "Copy Fingerprint";
    static constexpr std::string_view kCopyDeviceIDTitle = "Copy Device ID";
    static constexpr std::string_view kResetTitle = "Reset Identity\u2026";

    static IdentityCardPresentation present(const HostModel& model);
    // The advertised port when it is not 0, else the preferred one.
    static std::uint16_t displayedPort(const HostModel& model);
};

} // namespace velorinth
