#include "host/qt/ErrorBannerView.hpp"

#include "host/presenters/StatusHeaderPresenter.hpp"
#include "host/qt/QtStyle.hpp"

#include <QHBoxLayout>

namespace velorinth {

ErrorBannerView::ErrorBannerView(ViewContext context, QWidget* parent) : QFrame(parent), context_(std::move(context)) {
    setObjectName("errorBanner");
    const QColor orange = tintColor(Tint::orange, this);
    setStyleSheet(QString("#errorBanner { background-color: rgba(%1, %2, %3, 0.12); border-radius: 10px; }")
                      .arg(orange.red())
                      .arg(orange.green())
                      .arg(orange.blue()));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 12, 12, 12);
    row->setSpacing(12);
    symbol_ = symbolLabel("errorSymbol", 18);
    text_ = textLabel("errorText");
    text_->setWordWrap(true);
    dismiss_ = new QPushButton("Dismiss");
    dismiss_->setObjectName("dismissError");
    dismiss_->setFlat(true);
    dismiss_->setAutoDefault(false);
    row->addWidget(symbol_);
    row->addWidget(text_, 1);
    row->addWidget(dismiss_);
    connect(dismiss_, &QPushButton::clicked, this, [this] { StatusHeaderPresenter::dismissError(*context_.model); });
}

void ErrorBannerView::render() {
    const std::optional<ErrorBannerPresentation> banner = StatusHeaderPresenter::banner(*context_.model);
    setVisible(banner.has_value());
    if (!banner) return;
    showSymbol(symbol_, banner->symbol, 18);
    showText(text_, banner->text);
    dismiss_->setText(qtText(banner->dismissTitle));
}

} // namespace velorinth
