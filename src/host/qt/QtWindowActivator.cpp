#include "host/qt/QtWindowActivator.hpp"

#include <QApplication>
#include <QWidget>

#include <algorithm>
#include <vector>

namespace velorinth {

namespace {

// The window `window` belongs to (a sheet's main window); none for a main window.
QWidget* parentWindow(const QWidget* window) {
    return window->parentWidget() != nullptr ? window->parentWidget()->window() : nullptr;
}

// How many windows stand above `window` as its parents: 0 for a main window, 1 for its sheet.
int transientDepth(const QWidget* window) {
    int depth = 0;
    for (const QWidget* parent = parentWindow(window); parent != nullptr; parent = parentWindow(parent)) ++depth;
    return depth;
}

// Qt lists its windows in no particular order. Each raise puts a window on
// top, so parents go first and the windows they parent after them.
void sortParentsFirst(std::vector<QWidget*>& windows) {
    std::stable_sort(windows.begin(), windows.end(),
                     [](const QWidget* a, const QWidget* b) { return transientDepth(a) < transientDepth(b); });
}

} // namespace

void QtWindowActivator::activateAndOrderAllWindowsFront() {
    std::vector<QWidget*> windows;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isMinimized()) window->showNormal();
        if (window->isVisible()) windows.push_back(window);
    }
    // The last raised and activated is a sheet, which then keeps the focus.
    sortParentsFirst(windows);
    for (QWidget* window : windows) {
        window->raise();
        window->activateWindow();
        QApplication::alert(window);
    }
}

void QtWindowActivator::raiseWindowsParentedBy(QWidget* window) {
    std::vector<QWidget*> sheets;
    for (QWidget* candidate : QApplication::topLevelWidgets()) {
        if (!candidate->isVisible()) continue;
        for (const QWidget* parent = parentWindow(candidate); parent != nullptr; parent = parentWindow(parent)) {
            if (parent == window) {
                sheets.push_back(candidate);
                break;
            }
        }
    }
    sortParentsFirst(sheets);
    for (QWidget* sheet : sheets) sheet->raise();
    QWidget* modal = QApplication::activeModalWidget();
    if (modal != nullptr && std::find(sheets.begin(), sheets.end(), modal) != sheets.end()) modal->activateWindow();
}

} // namespace velorinth
