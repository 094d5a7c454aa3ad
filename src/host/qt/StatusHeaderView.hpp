#pragma once

#include "host/qt/QtStyle.hpp"
#include "host/qt/ViewContext.hpp"

#include <QPushButton>
#include <QWidget>

namespace velorinth {

// The detail column's status header.
class StatusHeaderView : public QWidget {
public:
    StatusHeaderView(ViewContext context, QWidget* parent = nullptr);
    void render();

private:
    ViewContext context_;
    QLabel* symbol_;
    QLabel* title_;
    BadgeLabel* sharing_;
    QLabel* hostName_;
    QLabel* discoverySymbol_;
    QLabel* discovery_;
    QLabel* sessions_;
    QPushButton* stopSharing_;
};

} // namespace velorinth
