#include "host/qt/QtStyle.hpp"

#include "host/qt/IconProvider.hpp"

#include <QApplication>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QPainter>
#include <QPalette>
#include <QProgressBar>

namespace velorinth {

QColor tintColor(Tint tint, const QWidget* widget) {
    const QPalette palette = widget ? widget->palette() : QApplication::palette();
    switch (tint) {
    case Tint::primary: return palette.color(QPalette::WindowText);
    case Tint::secondary: return palette.color(QPalette::PlaceholderText);
    case Tint::green: return QColor(40, 167, 69);
    case Tint::orange: return QColor(232, 131, 0);
    case Tint::red: return QColor(220, 53, 45);
    case Tint::blue: return QColor(0, 112, 235);
    case Tint::purple: return QColor(160, 70, 210);
    case Tint::accent: return palette.color(QPalette::Highlight);
    }
    return palette.color(QPalette::WindowText);
}

QString qtText(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

std::string stdText(const QString& text) { return text.toStdString(); }

void showSymbol(QLabel* label, const SymbolImage& symbol, int size) {
    showSymbol(label, symbol.name, tintColor(symbol.tint, label), size);
}

void showSymbol(QLabel* label, const std::string& name, const QColor& color, int size) {
    if (label->property("symbol").toString() == qtText(name) &&
        label->property("symbolColor").value<QColor>() == color) {
        return;
    }
    label->setProperty("symbol", qtText(name));
    label->setProperty("symbolColor", color);
    label->setPixmap(IconProvider::pixmap(name, color, size, label->devicePixelRatioF()));
}

QLabel* symbolLabel(const char* objectName, int size, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(objectName);
    label->setFixedSize(size, size);
    return label;
}

void showText(QLabel* label, const std::string& text, Tint tint) {
    const QString shown = qtText(text);
    if (label->text() != shown) label->setText(shown);
    if (label->property("tint").isValid() && label->property("tint").toInt() == int(tint)) return;
    label->setProperty("tint", int(tint));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, tintColor(tint, label));
    label->setPalette(palette);
}

QLabel* textLabel(const char* objectName, double pointSizeDelta, QFont::Weight weight, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(objectName);
    label->setTextFormat(Qt::PlainText);
    // Its tint is set as WindowText; unset, the role would follow the parent's
    // background, and on a list's Base it is Text, which no tint reaches.
    label->setForegroundRole(QPalette::WindowText);
    QFont font = label->font();
    if (pointSizeDelta != 0) font.setPointSizeF(std::max(6.0, font.pointSizeF() + pointSizeDelta));
    font.setWeight(weight);
    label->setFont(font);
    return label;
}

void setMonospaced(QLabel* label) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(label->font().pointSizeF());
    label->setFont(font);
}

void setSelectable(QLabel* label) { label->setTextInteractionFlags(Qt::TextSelectableByMouse); }

QFrame* divider(const char* objectName, QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setObjectName(objectName);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QWidget* busyRow(const char* objectName, QLabel* text) {
    auto* row = new QWidget;
    row->setObjectName(objectName);
    auto* line = new QHBoxLayout(row);
    auto* busy = new QProgressBar;
    busy->setRange(0, 0);
    busy->setMaximumWidth(100);
    line->addWidget(busy);
    line->addWidget(text, 1);
    return row;
}

BadgeLabel::BadgeLabel(const char* objectName, QWidget* parent) : QLabel(parent) {
    setObjectName(objectName);
    setTextFormat(Qt::PlainText);
    QFont small = font();
    small.setPointSizeF(std::max(6.0, small.pointSizeF() - 2));
    small.setWeight(QFont::DemiBold);
    setFont(small);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void BadgeLabel::show(const Badge& badge) {
    color_ = tintColor(badge.tint, this);
    opacity_ = badge.fillOpacity;
    symbol_ = badge.symbol;
    setProperty("symbol", qtText(badge.symbol));
    const int iconRoom = badge.symbol.empty() ? 0 : fontMetrics().height() + 2;
    setContentsMargins(6 + iconRoom, 2, 6, 2);
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, color_);
    setPalette(palette);
    setText(qtText(badge.text));
    QLabel::show();
}

void BadgeLabel::paintEvent(QPaintEvent* event) {
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor fill = color_;
        fill.setAlphaF(static_cast<float>(opacity_));
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        painter.drawRoundedRect(box, box.height() / 2, box.height() / 2);
        if (!symbol_.empty()) {
            const int size = fontMetrics().height();
            painter.drawPixmap(5, (height() - size) / 2,
                               IconProvider::pixmap(symbol_, color_, size, devicePixelRatioF()));
        }
    }
    QLabel::paintEvent(event);
}

} // namespace velorinth
