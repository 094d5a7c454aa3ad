#pragma once

#include "host/model/HostModel.hpp"
#include "host/presenters/PresenterTypes.hpp"

#include <string>
#include <utility>
#include <vector>

namespace velorinth {

struct PairingApprovalPresentation {
    Uuid pairingID; // what the sheet's decision answers
    SymbolImage symbol;
    std::string title;
    std::string instruction;
    std::string code;
    std::string codeAccessibilityLabel;
    std::string fingerprintCaption;
    std::string fingerprint;
    std::string expiry;
    std::string rejectTitle;
    std::string approveTitle;
    bool operator==(const PairingApprovalPresentation&) const = default;
};

// The pairing approval sheet: the only way a pairing is approved.
class PairingApprovalPresenter {
public:
    static PairingApprovalPresentation present(const IncomingPairingPrompt& prompt, const DisplayFormats& formats);
};

} // namespace velorinth
