#pragma once

// The one QApplication of a Qt test process, drawing off screen (each test
// runs in a process of its own): no window reaches a display. A test of how
// windows stack on a real X server makes it on that display instead.

#include <QApplication>

#include <cstdlib>
#include <string>

namespace velorinth::testing {

inline QApplication& qtApplication() {
    if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance())) return *existing;
    static int argc = 1;
    static char name[] = "host_qt_tests";
    static char* argv[] = {name, nullptr};
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QApplication* application = new QApplication(argc, argv);
    return *application;
}

// The process's QApplication on the X display `display`; none when the
// process already has one that draws elsewhere.
inline QApplication* qtApplicationOn(const std::string& display) {
    if (QCoreApplication::instance() != nullptr) {
        return QGuiApplication::platformName() == "xcb" ? qobject_cast<QApplication*>(QCoreApplication::instance())
                                                        : nullptr;
    }
    static std::string displayName = display;
    static int argc = 5;
    static char name[] = "host_qt_tests";
    static char platformOption[] = "-platform";
    static char platform[] = "xcb";
    static char displayOption[] = "-display";
    static char* argv[] = {name, platformOption, platform, displayOption, displayName.data(), nullptr};
    return new QApplication(argc, argv);
}

} // namespace velorinth::testing
