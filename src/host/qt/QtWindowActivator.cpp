#include "host/qt/QtWindowActivator.hpp"

#include <QApplication>
#include <QWidget>

namespace velorinth {

void QtWindowActivator::activateAndOrderAllWindowsFront() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isMinimized()) window->showNormal();
        if (!window->isVisible()) continue;
        window->raise();
        window->activateWindow();
        QApplication::alert(window);
    }
}

} // namespace velorinth
