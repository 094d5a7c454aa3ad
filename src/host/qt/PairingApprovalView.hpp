#pragma once

#include "host/presenters/PairingApprovalPresenter.hpp"

#include <QDialog>
#include <QLabel>

#include <functional>

namespace velorinth {

// The pairing approval sheet: window-modal, no close button, Escape rejects,
// and no button is a default one, so Return never approves.
class PairingApprovalView : public QDialog {
public:
    using Decision = std::function<void(bool approve, Uuid pairingID)>;

    PairingApprovalView(const PairingApprovalPresentation& presentation, Decision decision, QWidget* parent);
    const Uuid& pairingID() const { return presentation_.pairingID; }

    // The model no longer holds the prompt: closes without a decision.
    void closeForModel();
    // Escape, the cancel action.
    void reject() override;

protected:
    // The sheet closes only through the model or its two buttons.
    void closeEvent(QCloseEvent* event) override;

private:
    void decide(bool approve);

    PairingApprovalPresentation presentation_;
    Decision decide_;
    bool decided_ = false;
};

} // namespace velorinth
