#pragma once

#include "host/model/HostModel.hpp"
#include "host/presenters/PresenterTypes.hpp"

#include <optional>
#include <string>

namespace velorinth {

struct StatusHeaderPresentation {
    SymbolImage status;
    std::string title;
    std::optional<Badge> sharingBadge;
    std::string hostName;
    SymbolImage discoverySymbol;
    std::string discoveryText;
    Tint discoveryTint = Tint::secondary;
    std::string sessionText;
    Tint sessionTint = Tint::secondary;
    bool showsStopSharing = false;
    bool operator==(const StatusHeaderPresentation&) const = default;
};

struct ErrorBannerPresentation {
    SymbolImage symbol;
    std::string text;
    std::string dismissTitle;
    bool operator==(const ErrorBannerPresentation&) const = default;
};

// The top of the detail column: whether the host can be reached and whether
// it shares the screen; and the error banner under it.
class StatusHeaderPresenter {
public:
    static constexpr std::string_view kStopSharingTitle = "Stop Sharing";

    static StatusHeaderPresentation present(const HostModel& model);
    // None while the model holds no error.
    static std::optional<ErrorBannerPresentation> banner(const HostModel& model);

    // "Stop Sharing": ends the pipeline, then tells every streaming tablet.
    static void stopSharing(HostModel& model);
    // "Dismiss".
    static void dismissError(HostModel& model);
};

} // namespace velorinth
