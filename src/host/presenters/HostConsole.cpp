#include "host/presenters/HostConsole.hpp"

#include "core/Text.hpp"
#include "host/presenters/PairingApprovalPresenter.hpp"

namespace velorinth {

namespace {

std::string joined(const std::vector<std::string>& items) {
    if (items.empty()) return "none";
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

} // namespace

HostConsole::HostConsole(std::shared_ptr<HostModel> model, Options options)
    : model_(std::move(model)), options_(std::move(options)) {
    token_ = model_->observe([this](HostModelField field) { changed(field); });
}

HostConsole::~HostConsole() { model_->stopObserving(token_); }

std::string HostConsole::listeningLine(std::uint16_t port, const std::vector<std::string>& lanAddresses,
                                       const std::vector<std::string>& tunnelAddresses,
                                       const std::string& fingerprint) {
    return "Listening on TLS 1.3 port " + decimalText(static_cast<std::uint64_t>(port)) +
           "; LAN addresses: " + joined(lanAddresses) + "; tunnel addresses: " + joined(tunnelAddresses) +
           "; host fingerprint: " + fingerprint;
}

std::string HostConsole::answerLine(bool approved, const std::string& peerName, const std::string& code) {
    return std::string(approved ? "Approved" : "Rejected") + " the pairing request from \u201C" + peerName +
           "\u201D (verification code " + code + ").";
}

void HostConsole::say(const std::string& line) { options_.print(terminalSafe(line)); }

void HostConsole::changed(HostModelField field) {
    HostModel& model = *model_;
    switch (field) {
    case HostModelField::listenerStatus: {
        const ListenerStatus& status = model.listenerStatus.get();
        if (status.kind() != ListenerStatus::Case::advertising) return;
        const std::optional<DevicePublicIdentity>& identity = model.hostIdentity.get();
        say(listeningLine(status.port(), options_.lanAddresses ? options_.lanAddresses() : std::vector<std::string>{},
                          model.detectedPrivateTunnelAddresses.get(),
                          identity ? identity->fingerprint.groupedHexString() : "unknown"));
        return;
    }
    case HostModelField::networkError: {
        const std::optional<std::string>& error = model.networkError.get();
        if (error && error != lastError_) say(*error);
        lastError_ = error;
        return;
    }
    case HostModelField::pendingPairing: {
        if (!options_.answerPrompt) return;
        const std::optional<IncomingPairingPrompt>& prompt = model.pendingPairing.get();
        if (!prompt) {
            if (printedPrompt_) say(std::string(kNoLongerPendingLine));
            printedPrompt_.reset();
            answered_ = false;
            return;
        }
        if (printedPrompt_ && printedPrompt_->id == prompt->id) return;
        printedPrompt_ = prompt;
        answered_ = false;
        const PairingApprovalPresentation sheet = PairingApprovalPresenter::present(*prompt, options_.formats);
        say(sheet.title);
        say(sheet.instruction);
        say("Verification code: " + sheet.code);
        say(sheet.fingerprintCaption + ": " + sheet.fingerprint);
        say(sheet.expiry);
        say("Type y to approve or n to reject, then Return.");
        return;
    }
    default: return;
    }
}

void HostConsole::inputLine(std::string_view line) {
    if (!readsInput()) return;
    const std::string_view answer = trimmedAsciiWhitespace(line);
    if (answer != "y" && answer != "n") return;
    // Only the prompt printed, once, and only while the model still holds it.
    const std::optional<IncomingPairingPrompt>& pending = model_->pendingPairing.get();
    if (!printedPrompt_ || answered_ || !pending || pending->id != printedPrompt_->id) {
        say(std::string(kNothingToAnswerLine));
        return;
    }
    answered_ = true;
    const bool approve = answer == "y";
    const IncomingPairingPrompt prompt = *printedPrompt_;
    // Told before it is done: the answer clears the model's prompt at once,
    // and the line saying so follows this one.
    say(answerLine(approve, prompt.peerIdentity.displayName, prompt.verificationCode));
    options_.answerPrompt(approve, prompt.id);
}

} // namespace velorinth
