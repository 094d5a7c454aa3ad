#pragma once

#include "host/qt/ViewContext.hpp"

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>
#include <QWidget>

#include <functional>
#include <vector>

namespace velorinth {

// The wake preflight sheet: window-modal; "Done" is the default button.
class WakePreflightSheet : public QDialog {
public:
    WakePreflightSheet(ViewContext context, std::function<void()> dismiss, QWidget* parent);
    void render();

    void done(int result) override;

private:
    ViewContext context_;
    std::function<void()> dismiss_;
    QProgressBar* running_;
    QWidget* boxes_;
    QVBoxLayout* results_;
    QVBoxLayout* steps_;
    std::vector<QWidget*> rows_;
};

} // namespace velorinth
