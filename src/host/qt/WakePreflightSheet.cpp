#include "host/qt/WakePreflightSheet.hpp"

#include "host/presenters/WakePreflightPresenter.hpp"
#include "host/presenters/WakeReadinessPresenter.hpp"
#include "host/qt/QtStyle.hpp"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>

namespace velorinth {

WakePreflightSheet::WakePreflightSheet(ViewContext context, std::function<void()> dismiss, QWidget* parent)
    : QDialog(parent), context_(std::move(context)), dismiss_(std::move(dismiss)) {
    setObjectName("wakePreflightSheet");
    setWindowModality(Qt::WindowModal);
    setFixedWidth(580);
    const WakePreflightPresentation p = WakePreflightPresenter::present(*context_.model);
    setWindowTitle(qtText(p.title));
    auto* column = new QVBoxLayout(this);
    column->setSpacing(18);
    column->setContentsMargins(28, 28, 28, 28);
    auto* header = new QHBoxLayout;
    auto* symbol = symbolLabel("preflightSymbol", 24);
    showSymbol(symbol, p.titleSymbol, 24);
    auto* title = textLabel("preflightTitle", 5, QFont::Bold);
    showText(title, p.title);
    running_ = new QProgressBar;
    running_->setObjectName("preflightRunning");
    running_->setRange(0, 0);
    running_->setMaximumWidth(60);
    header->addWidget(symbol);
    header->addWidget(title);
    header->addStretch();
    header->addWidget(running_);
    column->addLayout(header);
    auto* explanation = textLabel("preflightExplanation");
    explanation->setWordWrap(true);
    showText(explanation, p.explanation, Tint::secondary);
    column->addWidget(explanation);

    boxes_ = new QWidget;
    auto* boxesColumn = new QVBoxLayout(boxes_);
    boxesColumn->setContentsMargins(0, 0, 0, 0);
    auto* results = new QGroupBox(qtText(p.resultsTitle));
    results->setObjectName("preflightResults");
    results_ = new QVBoxLayout(results);
    results_->setSpacing(8);
    auto* steps = new QGroupBox(qtText(p.stepsTitle));
    steps->setObjectName("preflightSteps");
    steps_ = new QVBoxLayout(steps);
    steps_->setSpacing(6);
    boxesColumn->addWidget(results);
    boxesColumn->addWidget(steps);
    column->addWidget(boxes_);

    auto* buttons = new QHBoxLayout;
    auto* rerun = new QPushButton(qtText(std::string(WakePreflightPresenter::kRerunTitle)));
    rerun->setObjectName("preflightRerun");
    rerun->setAutoDefault(false);
    auto* energy = new QPushButton(qtText(std::string(WakeReadinessPresenter::kEnergySettingsTitle)));
    energy->setObjectName("preflightEnergySettings");
    energy->setAutoDefault(false);
    auto* doneButton = new QPushButton(qtText(std::string(WakePreflightPresenter::kDoneTitle)));
    doneButton->setObjectName("preflightDone");
    doneButton->setDefault(true);
    buttons->addWidget(rerun);
    buttons->addWidget(energy);
    buttons->addStretch();
    buttons->addWidget(doneButton);
    column->addLayout(buttons);
    connect(rerun, &QPushButton::clicked, this, [this] { WakePreflightPresenter::rerun(*context_.model); });
    connect(energy, &QPushButton::clicked, this,
            [this] { WakeReadinessPresenter::openEnergySettings(*context_.model); });
    connect(doneButton, &QPushButton::clicked, this, [this] { accept(); });
    render();
}

void WakePreflightSheet::render() {
    const WakePreflightPresentation p = WakePreflightPresenter::present(*context_.model);
    running_->setVisible(p.running);
    boxes_->setVisible(p.hasSnapshot);
    for (QWidget* row : rows_) delete row;
    rows_.clear();
    for (const PreflightRow& result : p.results) {
        auto* row = new QWidget;
        row->setObjectName("preflightResult");
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        line->setSpacing(10);
        auto* symbol = symbolLabel("preflightResultSymbol", 16);
        showSymbol(symbol, result.symbol, 16);
        auto* text = textLabel("preflightResultText");
        text->setWordWrap(true);
        showText(text, result.text);
        line->addWidget(symbol);
        line->addWidget(text, 1);
        results_->addWidget(row);
        row->show();
        rows_.push_back(row);
    }
    for (const auto& [number, step] : p.steps) {
        auto* row = new QWidget;
        row->setObjectName("preflightStep");
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        line->setSpacing(8);
        auto* numberLabel = textLabel("preflightStepNumber", -1, QFont::Bold);
        showText(numberLabel, number, Tint::secondary);
        auto* text = textLabel("preflightStepText", -1);
        text->setWordWrap(true);
        showText(text, step);
        line->addWidget(numberLabel, 0, Qt::AlignTop);
        line->addWidget(text, 1);
        steps_->addWidget(row);
        row->show();
        rows_.push_back(row);
    }
    adjustSize(); // the sheet grows with its rows, which come and go with the snapshot
}

void WakePreflightSheet::done(int result) {
    QDialog::done(result);
    if (dismiss_) dismiss_();
}

} // namespace velorinth
