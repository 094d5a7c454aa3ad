#pragma once

// The one QApplication of a Qt test process, drawing off screen (each test
// runs in a process of its own): no window reaches a display.

#include <QApplication>

#include <cstdlib>

namespace velorinth::testing {

inline QApplication& qtApplication() {
    static int argc = 1;
    static char name[] = "host_qt_tests";
    static char* argv[] = {name, nullptr};
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QApplication* application = new QApplication(argc, argv);
    return *application;
}

} // namespace velorinth::testing
