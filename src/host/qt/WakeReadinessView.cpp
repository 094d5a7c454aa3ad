#include "host/qt/WakeReadinessView.hpp"

#include "host/presenters/WakeReadinessPresenter.hpp"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

namespace velorinth {

WakeReadinessView::WakeReadinessView(ViewContext context, std::function<void()> showPreflight, QWidget* parent)
    : QWidget(parent), context_(std::move(context)), showPreflight_(std::move(showPreflight)) {
    setObjectName("wakeReadiness");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    inspectingText_ = textLabel("wakeInspectingText", -1);
    inspecting_ = busyRow("wakeInspecting", inspectingText_);
    layout->addWidget(inspecting_);

    content_ = new QWidget;
    auto* column = new QVBoxLayout(content_);
    column->setContentsMargins(0, 0, 0, 0);
    auto* header = new QHBoxLayout;
    category_ = new BadgeLabel("wakeCategory");
    QFont categoryFont = category_->font();
    categoryFont.setPointSizeF(categoryFont.pointSizeF() + 1);
    category_->setFont(categoryFont);
    auto* refresh = new QPushButton(qtText(std::string(WakeReadinessPresenter::kRefreshTitle)));
    refresh->setObjectName("wakeRefresh");
    refresh->setAutoDefault(false);
    header->addWidget(category_);
    header->addStretch();
    header->addWidget(refresh);
    column->addLayout(header);
    summary_ = textLabel("wakeSummary", -1, QFont::Medium);
    summary_->setWordWrap(true);
    guidance_ = textLabel("wakeGuidance", -1);
    guidance_->setWordWrap(true);
    column->addWidget(summary_);
    column->addWidget(guidance_);
    column->addWidget(divider("wakeDivider"));
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(24);
    grid->setVerticalSpacing(9);
    for (int i = 0; i < 7; ++i) {
        factLabels_[static_cast<std::size_t>(i)] = textLabel("wakeFactLabel");
        factValues_[static_cast<std::size_t>(i)] = textLabel("wakeFactValue");
        factValues_[static_cast<std::size_t>(i)]->setWordWrap(true);
        grid->addWidget(factLabels_[static_cast<std::size_t>(i)], i, 0, Qt::AlignTop);
        grid->addWidget(factValues_[static_cast<std::size_t>(i)], i, 1); // the value takes the width left
    }
    grid->setColumnStretch(1, 1);
    column->addLayout(grid);
    auto* buttons = new QHBoxLayout;
    auto* test = new QPushButton(qtText(std::string(WakeReadinessPresenter::kTestTitle)));
    test->setObjectName("wakeTest");
    test->setAutoDefault(false);
    QFont prominent = test->font();
    prominent.setWeight(QFont::DemiBold);
    test->setFont(prominent);
    auto* energy = new QPushButton(qtText(std::string(WakeReadinessPresenter::kEnergySettingsTitle)));
    energy->setObjectName("wakeEnergySettings");
    energy->setAutoDefault(false);
    buttons->addWidget(test);
    buttons->addWidget(energy);
    buttons->addStretch();
    column->addLayout(buttons);
    layout->addWidget(content_);

    connect(refresh, &QPushButton::clicked, this, [this] { WakeReadinessPresenter::refresh(*context_.model); });
    connect(test, &QPushButton::clicked, this, [this] {
        if (showPreflight_) showPreflight_();
    });
    connect(energy, &QPushButton::clicked, this,
            [this] { WakeReadinessPresenter::openEnergySettings(*context_.model); });
}

void WakeReadinessView::render() {
    const WakeReadinessPresentation p = WakeReadinessPresenter::present(*context_.model, context_.formats);
    inspecting_->setVisible(p.inspecting);
    content_->setVisible(!p.inspecting);
    showText(inspectingText_, p.inspectingText, Tint::secondary);
    if (p.inspecting) return;
    category_->show(p.category);
    showText(summary_, p.summary);
    showText(guidance_, p.guidance, Tint::secondary);
    for (std::size_t i = 0; i < factValues_.size() && i < p.facts.size(); ++i) {
        showText(factLabels_[i], p.facts[i].label);
        showText(factValues_[i], p.facts[i].value, p.facts[i].valueTint);
    }
}

} // namespace velorinth
