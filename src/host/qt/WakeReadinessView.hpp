#pragma once

#include "host/qt/QtStyle.hpp"
#include "host/qt/ViewContext.hpp"

#include <QPushButton>
#include <QWidget>

#include <array>
#include <functional>

namespace velorinth {

// The "Wake Readiness" box. "Test Wake Configuration…" asks the dashboard
// to show the preflight sheet.
class WakeReadinessView : public QWidget {
public:
    WakeReadinessView(ViewContext context, std::function<void()> showPreflight, QWidget* parent = nullptr);
    void render();

private:
    ViewContext context_;
    std::function<void()> showPreflight_;
    QWidget* inspecting_;
    QLabel* inspectingText_;
    QWidget* content_;
    BadgeLabel* category_;
    QLabel* summary_;
    QLabel* guidance_;
    std::array<QLabel*, 7> factLabels_{};
    std::array<QLabel*, 7> factValues_{};
};

} // namespace velorinth
