#include "host/qt/QtDisplayFormats.hpp"

#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>

namespace velorinth {

namespace {

QDateTime local(Date date) {
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(date.timeIntervalSince1970() * 1000.0));
}

} // namespace

DisplayFormats systemLocaleFormats() {
    DisplayFormats formats;
    formats.timeOfDay = [](Date date) {
        const QLocale locale = QLocale::system();
        // Hours, minutes and seconds: the long format without its zone ("t").
        QString pattern = locale.timeFormat(QLocale::LongFormat);
        pattern.remove(QRegularExpression("\\s*t+\\s*"));
        return locale.toString(local(date).time(), pattern.trimmed()).toStdString();
    };
    formats.abbreviatedDateTime = [](Date date) {
        return QLocale::system().toString(local(date), QLocale::ShortFormat).toStdString();
    };
    formats.groupedInteger = [](std::uint64_t value) {
        return QLocale::system().toString(static_cast<qulonglong>(value)).toStdString();
    };
    return formats;
}

} // namespace velorinth
