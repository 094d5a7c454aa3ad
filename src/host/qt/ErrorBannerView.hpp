#pragma once

#include "host/qt/ViewContext.hpp"

#include <QFrame>
#include <QLabel>
#include <QPushButton>

namespace velorinth {

// The orange banner with the model's error text and "Dismiss".
class ErrorBannerView : public QFrame {
public:
    ErrorBannerView(ViewContext context, QWidget* parent = nullptr);
    void render();

private:
    ViewContext context_;
    QLabel* symbol_;
    QLabel* text_;
    QPushButton* dismiss_;
};

} // namespace velorinth
