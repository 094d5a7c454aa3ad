#pragma once

#include "host/presenters/PermissionsCardPresenter.hpp"
#include "host/qt/ViewContext.hpp"

#include <QLabel>
#include <QPushButton>
#include <QWidget>

namespace velorinth {

// The "Required Permissions" box.
class PermissionsCardView : public QWidget {
public:
    PermissionsCardView(ViewContext context, QWidget* parent = nullptr);
    void render();

private:
    struct Row {
        QLabel* symbol;
        QLabel* title;
        QLabel* detail;
        QPushButton* button;
    };
    Row makeRow(const char* name, QWidget* row);
    static void fill(Row& row, const PermissionRowPresentation& presentation);

    ViewContext context_;
    Row screenRecording_;
    Row accessibility_;
};

} // namespace velorinth
