#pragma once

#include "host/qt/ViewContext.hpp"

#include <QCheckBox>
#include <QLineEdit>
#include <QWidget>

namespace velorinth {

// The Settings window: non-modal, 500 wide, with no default button (Return
// in the port field does nothing); showing it reloads the port field. It
// does not keep the program running once the dashboard closes.
class HostSettingsView : public QWidget {
public:
    explicit HostSettingsView(ViewContext context, QWidget* parent = nullptr);
    void render();

protected:
    void showEvent(QShowEvent* event) override;

private:
    ViewContext context_;
    QCheckBox* remoteAccess_;
    QCheckBox* unattended_;
    QLineEdit* port_;
};

} // namespace velorinth
