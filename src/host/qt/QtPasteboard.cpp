#include "host/qt/QtPasteboard.hpp"

#include <QClipboard>
#include <QGuiApplication>

namespace velorinth {

void QtPasteboard::clearContents() { QGuiApplication::clipboard()->clear(); }

void QtPasteboard::setString(const std::string& text) {
    QGuiApplication::clipboard()->setText(QString::fromStdString(text));
}

} // namespace velorinth
