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

void HostConsole::changed(HostModelField field) {
    HostModel& model = *model_;
    switch (field) {
    case HostModelField::listenerStatus: {
        const ListenerStatus& status = model.listenerStatus.get();
        if (status.kind() != ListenerStatus::Case::advertising) return;
        const std::optional<DevicePublicIdentity>& identity = model.hostIdentity.get();
        options_.print(listeningLine(status.port(),
                                     options_.lanAddresses ? options_.lanAddresses() : std::vector<std::string>{},
                                     model.detectedPrivateTunnelAddresses.get(),
                                     identity ? identity->fingerprint.groupedHexString() : "unknown"));
        return;
    }
    case HostModelField::networkError: {
        const std::optional<std::string>& error = model.networkError.get();
        if (error && error != lastError_) options_.print(*error);
        lastError_ = error;
        return;
    }
    case HostModelField::pendingPairing: {
        if (!options_.answerPrompt) return;
        const std::optional<IncomingPairingPrompt>& prompt = model.pendingPairing.get();
        if (!prompt) {
            if (printedPrompt_) options_.print("The pairing request is no longer pending.");
            printedPrompt_.reset();
            return;
        }
        if (printedPrompt_ == prompt->id) return;
        printedPrompt_ = prompt->id;
        const PairingApprovalPresentation sheet = PairingApprovalPresenter::present(*prompt, options_.formats);
        options_.print(sheet.title);
        options_.print(sheet.instruction);
        options_.print("Verification code: " + sheet.code);
        options_.print(sheet.fingerprintCaption + ": " + sheet.fingerprint);
        options_.print(sheet.expiry);
        options_.print("Type y to approve or n to reject, then Return.");
        return;
    }
    default: return;
    }
}

void HostConsole::inputLine(std::string_view line) {
    if (!readsInput() || !printedPrompt_) return;
    const std::string_view answer = trimmedAsciiWhitespace(line);
    if (answer != "y" && answer != "n") return;
    // Only the prompt printed, and only while the model still holds it.
    const std::optional<IncomingPairingPrompt>& pending = model_->pendingPairing.get();
    if (!pending || pending->id != *printedPrompt_) return;
    const Uuid id = *printedPrompt_;
    printedPrompt_.reset();
    options_.answerPrompt(answer == "y", id);
}

} // namespace velorinth
