#include "host/qt/PermissionsCardView.hpp"

#include "host/qt/QtStyle.hpp"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace velorinth {

PermissionsCardView::PermissionsCardView(ViewContext context, QWidget* parent)
    : QWidget(parent), context_(std::move(context)) {
    setObjectName("permissionsCard");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* screenRow = new QWidget;
    auto* accessibilityRow = new QWidget;
    screenRecording_ = makeRow("screenRecording", screenRow);
    accessibility_ = makeRow("accessibility", accessibilityRow);
    layout->addWidget(screenRow);
    layout->addWidget(divider("permissionsDivider"));
    layout->addWidget(accessibilityRow);
    connect(screenRecording_.button, &QPushButton::clicked, this,
            [this] { PermissionsCardPresenter::requestScreenRecording(*context_.model); });
    connect(accessibility_.button, &QPushButton::clicked, this,
            [this] { PermissionsCardPresenter::requestAccessibility(*context_.model); });
}

PermissionsCardView::Row PermissionsCardView::makeRow(const char* name, QWidget* widget) {
    const std::string prefix = name;
    widget->setObjectName(qtText(prefix + "Row"));
    auto* line = new QHBoxLayout(widget);
    line->setContentsMargins(0, 10, 0, 10);
    Row row{};
    row.symbol = symbolLabel((prefix + "Symbol").c_str(), 20);
    auto* column = new QVBoxLayout;
    row.title = textLabel((prefix + "Title").c_str(), 0, QFont::Medium);
    row.detail = textLabel((prefix + "Detail").c_str(), -1);
    row.detail->setWordWrap(true);
    column->addWidget(row.title);
    column->addWidget(row.detail);
    row.button = new QPushButton;
    row.button->setObjectName(qtText(prefix + "Button"));
    row.button->setAutoDefault(false);
    line->addWidget(row.symbol);
    line->addLayout(column, 1);
    line->addWidget(row.button);
    return row;
}

void PermissionsCardView::fill(Row& row, const PermissionRowPresentation& presentation) {
    showSymbol(row.symbol, presentation.symbol, 20);
    showText(row.title, presentation.title);
    showText(row.detail, presentation.detail, Tint::secondary);
    row.button->setText(qtText(presentation.buttonTitle));
}

void PermissionsCardView::render() {
    const PermissionsCardPresentation p = PermissionsCardPresenter::present(*context_.model);
    fill(screenRecording_, p.screenRecording);
    fill(accessibility_, p.accessibility);
}

} // namespace velorinth
