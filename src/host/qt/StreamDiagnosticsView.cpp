#include "host/qt/StreamDiagnosticsView.hpp"

#include "host/presenters/DashboardPresenter.hpp"
#include "host/presenters/StreamDiagnosticsPresenter.hpp"
#include "host/qt/QtStyle.hpp"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace velorinth {

StreamDiagnosticsView::StreamDiagnosticsView(ViewContext context, QWidget* parent)
    : QWidget(parent), context_(std::move(context)) {
    setObjectName("streamDiagnostics");
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 6, 0, 6);
    row->setSpacing(20);
    for (std::size_t i = 0; i < values_.size(); ++i) {
        auto* column = new QVBoxLayout;
        column->setSpacing(2);
        labels_[i] = textLabel("metricLabel", -2);
        values_[i] = textLabel(kValueNames[i], 0, QFont::Medium);
        column->addWidget(labels_[i]);
        column->addWidget(values_[i]);
        row->addLayout(column);
    }
    row->addStretch();
}

void StreamDiagnosticsView::render() {
    const HostModel& model = *context_.model;
    const std::vector<DiagnosticsMetric> metrics =
        StreamDiagnosticsPresenter::present(model.streamDiagnostics.get(), DashboardPresenter::bitrateMegabits(model));
    for (std::size_t i = 0; i < values_.size() && i < metrics.size(); ++i) {
        showText(labels_[i], metrics[i].label, Tint::secondary);
        showText(values_[i], metrics[i].value);
    }
}

} // namespace velorinth
