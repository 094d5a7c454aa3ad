#include "host/qt/PairingApprovalView.hpp"

#include "host/qt/QtStyle.hpp"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

namespace velorinth {

PairingApprovalView::PairingApprovalView(const PairingApprovalPresentation& presentation, Decision decision,
                                         QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), presentation_(presentation),
      decide_(std::move(decision)) {
    setObjectName("pairingSheet");
    setWindowModality(Qt::WindowModal);
    setWindowTitle(qtText(presentation_.title));
    setFixedWidth(500);
    auto* column = new QVBoxLayout(this);
    column->setSpacing(20);
    column->setContentsMargins(32, 32, 32, 32);
    column->setAlignment(Qt::AlignHCenter);
    auto* symbol = symbolLabel("pairingSymbol", 48);
    showSymbol(symbol, presentation_.symbol, 48);
    column->addWidget(symbol, 0, Qt::AlignHCenter);
    auto* title = textLabel("pairingTitle", 5, QFont::Bold);
    showText(title, presentation_.title);
    title->setWordWrap(true);
    title->setAlignment(Qt::AlignHCenter);
    column->addWidget(title);
    auto* instruction = textLabel("pairingInstruction");
    showText(instruction, presentation_.instruction, Tint::secondary);
    instruction->setWordWrap(true);
    instruction->setAlignment(Qt::AlignHCenter);
    column->addWidget(instruction);

    auto* code = new QLabel(qtText(presentation_.code));
    code->setObjectName("pairingCode");
    QFont codeFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    codeFont.setPointSize(42);
    codeFont.setWeight(QFont::DemiBold);
    codeFont.setLetterSpacing(QFont::AbsoluteSpacing, 8);
    code->setFont(codeFont);
    code->setAccessibleName(qtText(presentation_.codeAccessibilityLabel));
    code->setContentsMargins(20, 8, 20, 8);
    const QColor fill = tintColor(Tint::secondary, this);
    code->setStyleSheet(QString("#pairingCode { background-color: rgba(%1, %2, %3, 0.25); border-radius: 12px; }")
                            .arg(fill.red())
                            .arg(fill.green())
                            .arg(fill.blue()));
    column->addWidget(code, 0, Qt::AlignHCenter);

    auto* caption = textLabel("pairingFingerprintCaption", -1, QFont::Medium);
    showText(caption, presentation_.fingerprintCaption, Tint::secondary);
    auto* fingerprint = textLabel("pairingFingerprint", -1);
    setMonospaced(fingerprint);
    setSelectable(fingerprint);
    showText(fingerprint, presentation_.fingerprint, Tint::secondary);
    fingerprint->setWordWrap(true);
    fingerprint->setAlignment(Qt::AlignHCenter);
    auto* fingerprintColumn = new QVBoxLayout;
    fingerprintColumn->setSpacing(4);
    fingerprintColumn->addWidget(caption, 0, Qt::AlignHCenter);
    fingerprintColumn->addWidget(fingerprint);
    column->addLayout(fingerprintColumn);
    auto* expiry = textLabel("pairingExpiry", -2);
    showText(expiry, presentation_.expiry, Tint::secondary);
    column->addWidget(expiry, 0, Qt::AlignHCenter);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(16);
    buttons->setContentsMargins(0, 4, 0, 0);
    auto* reject = new QPushButton(qtText(presentation_.rejectTitle));
    reject->setObjectName("pairingReject");
    auto* approve = new QPushButton(qtText(presentation_.approveTitle));
    approve->setObjectName("pairingApprove");
    for (QPushButton* button : {reject, approve}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    QFont prominent = approve->font();
    prominent.setWeight(QFont::DemiBold);
    approve->setFont(prominent);
    buttons->addStretch();
    buttons->addWidget(reject);
    buttons->addWidget(approve);
    buttons->addStretch();
    column->addLayout(buttons);
    connect(reject, &QPushButton::clicked, this, [this] { decide(false); });
    connect(approve, &QPushButton::clicked, this, [this] { decide(true); });
}

void PairingApprovalView::reject() { decide(false); }

void PairingApprovalView::closeForModel() {
    decided_ = true;
    QDialog::done(Rejected);
}

void PairingApprovalView::closeEvent(QCloseEvent* event) {
    if (decided_) {
        QDialog::closeEvent(event);
        return;
    }
    event->ignore();
}

void PairingApprovalView::decide(bool approve) {
    if (decided_) return;
    decided_ = true;
    // The decision names the prompt this sheet shows, whatever the model holds now.
    const Uuid id = presentation_.pairingID;
    Decision decide = decide_;
    QDialog::done(approve ? Accepted : Rejected);
    if (decide) decide(approve, id);
}

} // namespace velorinth
