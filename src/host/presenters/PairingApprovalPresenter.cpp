#include "host/presenters/PairingApprovalPresenter.hpp"

#include "host/presenters/Symbols.hpp"

namespace velorinth {

PairingApprovalPresentation PairingApprovalPresenter::present(const IncomingPairingPrompt& prompt,
                                                              const DisplayFormats& formats) {
    PairingApprovalPresentation p;
    p.pairingID = prompt.id;
    p.symbol = {std::string(symbols::ipadAndArrowForward), Tint::accent};
    p.title = "Pair with \u201C" + prompt.peerIdentity.displayName + "\u201D?";
    p.instruction = "Verify that this 6-digit security code matches the code displayed on the iPad before approving. "
                    "Never approve an unexpected request.";
    p.code = prompt.verificationCode;
    p.codeAccessibilityLabel = "Verification code " + prompt.verificationCode;
    p.fingerprintCaption = "iPad Public Key Fingerprint";
    p.fingerprint = prompt.peerIdentity.fingerprint.groupedHexString();
    p.expiry = "Expires at " + formats.timeOfDay(prompt.expiresAt);
    p.rejectTitle = "Reject";
    p.approveTitle = "Approve Pairing";
    return p;
}

} // namespace velorinth
