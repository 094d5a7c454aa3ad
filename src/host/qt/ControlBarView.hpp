#pragma once

#include "host/qt/ViewContext.hpp"

#include <QCheckBox>
#include <QPushButton>
#include <QWidget>

namespace velorinth {

// "Disconnect All Sessions" and the "Remote Access" switch.
class ControlBarView : public QWidget {
public:
    ControlBarView(ViewContext context, QWidget* parent = nullptr);
    void render();

private:
    ViewContext context_;
    QPushButton* disconnectAll_;
    QCheckBox* remoteAccess_;
};

} // namespace velorinth
