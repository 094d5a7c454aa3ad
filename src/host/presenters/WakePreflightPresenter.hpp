#pragma once

#include "host/model/HostModel.hpp"
#include "host/presenters/PresenterTypes.hpp"

#include <string>
#include <utility>
#include <vector>

namespace velorinth {

struct PreflightRow {
    bool satisfied = false;
    SymbolImage symbol;
    std::string text;
    bool operator==(const PreflightRow&) const = default;
};

struct WakePreflightPresentation {
    std::string title;
    SymbolImage titleSymbol;
    bool running = false;
    std::string explanation;
    bool hasSnapshot = false; // the two boxes below show only with a snapshot
    std::string resultsTitle;
    std::vector<PreflightRow> results; // four
    std::string stepsTitle;
    std::vector<std::pair<std::string, std::string>> steps; // ("1.", text)
    bool operator==(const WakePreflightPresentation&) const = default;
};

// The wake preflight sheet. A last-known or unknown wake setting counts as
// satisfied here, as intended: only a verified "off" is a failure.
class WakePreflightPresenter {
public:
    static constexpr std::string_view kRerunTitle = "Re-run Check";
    static constexpr std::string_view kDoneTitle = "Done";

    static WakePreflightPresentation present(const HostModel& model);
    static void rerun(HostModel& model);
};

} // namespace velorinth
