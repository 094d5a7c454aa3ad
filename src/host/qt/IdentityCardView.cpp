#include "host/qt/IdentityCardView.hpp"

#include "host/qt/QtStyle.hpp"

#include <QVBoxLayout>

namespace velorinth {

namespace {

QPushButton* button(std::string_view title, const char* objectName) {
    auto* button = new QPushButton(qtText(std::string(title)));
    button->setObjectName(objectName);
    button->setAutoDefault(false);
    return button;
}

} // namespace

IdentityCardView::IdentityCardView(ViewContext context, std::function<void()> requestReset, QWidget* parent)
    : QWidget(parent), context_(std::move(context)), requestReset_(std::move(requestReset)) {
    setObjectName("identityCard");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    loadingText_ = textLabel("identityLoadingText");
    loading_ = busyRow("identityLoading", loadingText_);
    layout->addWidget(loading_);

    content_ = new QWidget;
    auto* column = new QVBoxLayout(content_);
    column->setContentsMargins(0, 0, 0, 0);
    fingerprint_ = textLabel("identityFingerprint");
    setMonospaced(fingerprint_);
    setSelectable(fingerprint_);
    identifier_ = textLabel("identityIdentifier", -2);
    setMonospaced(identifier_);
    setSelectable(identifier_);
    identifier_->setWordWrap(true);
    column->addWidget(fingerprint_);
    column->addWidget(identifier_);
    tunnelRow_ = new QWidget;
    tunnelRow_->setObjectName("tunnelRow");
    tunnelButtons_ = new QHBoxLayout(tunnelRow_);
    tunnelButtons_->setContentsMargins(0, 0, 0, 0);
    tunnelButtons_->setSpacing(8);
    tunnelSymbol_ = symbolLabel("tunnelSymbol", 16);
    tunnelTitle_ = textLabel("tunnelTitle", -1, QFont::Medium);
    tunnelButtons_->addWidget(tunnelSymbol_);
    tunnelButtons_->addWidget(tunnelTitle_);
    tunnelButtons_->addStretch();
    column->addWidget(tunnelRow_);
    explanation_ = textLabel("identityExplanation", -1);
    explanation_->setWordWrap(true);
    column->addWidget(explanation_);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(12);
    auto* copyFingerprint = button(IdentityCardPresenter::kCopyFingerprintTitle, "copyFingerprint");
    auto* copyIdentifier = button(IdentityCardPresenter::kCopyDeviceIDTitle, "copyDeviceID");
    auto* reset = button(IdentityCardPresenter::kResetTitle, "resetIdentity");
    buttons->addWidget(copyFingerprint);
    buttons->addWidget(copyIdentifier);
    buttons->addWidget(reset);
    buttons->addStretch();
    column->addLayout(buttons);
    layout->addWidget(content_);
    connect(copyFingerprint, &QPushButton::clicked, this, [this] { context_.model->copyFingerprintToPasteboard(); });
    connect(copyIdentifier, &QPushButton::clicked, this, [this] { context_.model->copyIdentifierToPasteboard(); });
    connect(reset, &QPushButton::clicked, this, [this] {
        if (requestReset_) requestReset_();
    });
}

void IdentityCardView::render() {
    const IdentityCardPresentation p = IdentityCardPresenter::present(*context_.model);
    loading_->setVisible(p.loading);
    content_->setVisible(!p.loading);
    showText(loadingText_, p.loadingText, Tint::secondary);
    if (p.loading) return;
    showText(fingerprint_, p.fingerprint);
    showText(identifier_, p.identifierLine, Tint::secondary);
    tunnelRow_->setVisible(!p.tunnelEndpoints.empty());
    showSymbol(tunnelSymbol_, p.tunnelSymbol, 16);
    showText(tunnelTitle_, p.tunnelTitle);
    if (p.tunnelEndpoints != shownEndpoints_) {
        shownEndpoints_ = p.tunnelEndpoints;
        for (QPushButton* old : endpointButtons_) delete old;
        endpointButtons_.clear();
        for (const TunnelEndpointButton& endpoint : shownEndpoints_) {
            auto* endpointButton = new QPushButton(qtText(endpoint.title));
            endpointButton->setObjectName("tunnelEndpoint");
            endpointButton->setAutoDefault(false);
            connect(endpointButton, &QPushButton::clicked, this,
                    [this, address = endpoint.address] { context_.model->copyAddressToPasteboard(address); });
            tunnelButtons_->insertWidget(tunnelButtons_->count() - 1, endpointButton);
            endpointButton->show();
            endpointButtons_.push_back(endpointButton);
        }
    }
    showText(explanation_, p.explanation, Tint::secondary);
}

} // namespace velorinth
