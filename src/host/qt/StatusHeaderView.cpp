#include "host/qt/StatusHeaderView.hpp"

#include "host/presenters/StatusHeaderPresenter.hpp"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace velorinth {

StatusHeaderView::StatusHeaderView(ViewContext context, QWidget* parent)
    : QWidget(parent), context_(std::move(context)) {
    setObjectName("statusHeader");
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(16);
    symbol_ = symbolLabel("statusSymbol", 42);
    row->addWidget(symbol_);
    auto* lines = new QVBoxLayout;
    lines->setSpacing(4);
    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(10);
    title_ = textLabel("statusTitle", 5, QFont::Bold);
    sharing_ = new BadgeLabel("sharingBadge");
    titleRow->addWidget(title_);
    titleRow->addWidget(sharing_);
    titleRow->addStretch();
    lines->addLayout(titleRow);
    hostName_ = textLabel("hostName");
    lines->addWidget(hostName_);
    auto* discoveryRow = new QHBoxLayout;
    discoveryRow->setSpacing(10);
    discoverySymbol_ = symbolLabel("discoverySymbol", 14);
    discovery_ = textLabel("discoveryText", -1);
    auto* dot = textLabel("discoverySeparator", -1);
    showText(dot, "\u00B7", Tint::secondary);
    sessions_ = textLabel("sessionCountText", -1, QFont::Medium);
    discoveryRow->addWidget(discoverySymbol_);
    discoveryRow->addWidget(discovery_);
    discoveryRow->addWidget(dot);
    discoveryRow->addWidget(sessions_);
    discoveryRow->addStretch();
    lines->addLayout(discoveryRow);
    row->addLayout(lines, 1);
    stopSharing_ = new QPushButton(qtText(std::string(StatusHeaderPresenter::kStopSharingTitle)));
    stopSharing_->setObjectName("stopSharing");
    stopSharing_->setAutoDefault(false);
    row->addWidget(stopSharing_);
    connect(stopSharing_, &QPushButton::clicked, this, [this] { StatusHeaderPresenter::stopSharing(*context_.model); });
}

void StatusHeaderView::render() {
    const StatusHeaderPresentation p = StatusHeaderPresenter::present(*context_.model);
    showSymbol(symbol_, p.status, 42);
    showText(title_, p.title);
    if (p.sharingBadge) {
        sharing_->show(*p.sharingBadge);
    } else {
        sharing_->hide();
    }
    showText(hostName_, p.hostName, Tint::secondary);
    showSymbol(discoverySymbol_, p.discoverySymbol, 14);
    showText(discovery_, p.discoveryText, p.discoveryTint);
    showText(sessions_, p.sessionText, p.sessionTint);
    stopSharing_->setVisible(p.showsStopSharing);
}

} // namespace velorinth
