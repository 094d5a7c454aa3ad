#pragma once

// Finding the dashboard's widgets by name, and keeping pictures of them.

#include "support/TestFolders.hpp"

#include <QLabel>
#include <QWidget>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace velorinth::testing {

template <class W = QWidget>
W* named(const QObject* root, const char* name) {
    W* found = root->findChild<W*>(QString::fromUtf8(name));
    if (found == nullptr) throw std::runtime_error(std::string("no widget named ") + name);
    return found;
}

template <class W = QLabel>
std::vector<W*> allNamed(const QObject* root, const char* name) {
    const QList<W*> found = root->findChildren<W*>(QString::fromUtf8(name));
    return std::vector<W*>(found.begin(), found.end());
}

inline std::string textOf(const QObject* root, const char* name) {
    return named<QLabel>(root, name)->text().toStdString();
}

// The build's screenshots/ folder: looked at, never compared, never committed.
inline std::filesystem::path screenshotFolder() {
    std::filesystem::path folder = buildFolder() / "screenshots";
    std::filesystem::create_directories(folder);
    return folder;
}

inline void keepPicture(QWidget* widget, const std::string& name) {
    widget->grab().save(QString::fromStdString((screenshotFolder() / (name + ".png")).string()));
}

} // namespace velorinth::testing
