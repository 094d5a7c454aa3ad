#pragma once

// How the widgets render the presenters' colours, symbols, badges and type
// styles, once.

#include "host/presenters/PresenterTypes.hpp"

#include <QColor>
#include <QFont>
#include <QLabel>

#include <string>

class QWidget;
class QFrame;

namespace velorinth {

QColor tintColor(Tint tint, const QWidget* widget = nullptr);
QString qtText(const std::string& text);
std::string stdText(const QString& text);

// Shows `symbol` at `size` pixels; the label carries the name in its
// "symbol" property.
void showSymbol(QLabel* label, const SymbolImage& symbol, int size);
// The same in a colour of the palette's, such as the selected text's.
void showSymbol(QLabel* label, const std::string& name, const QColor& color, int size);
QLabel* symbolLabel(const char* objectName, int size, QWidget* parent = nullptr);

// Plain text in a colour, a size relative to the application font and a weight.
void showText(QLabel* label, const std::string& text, Tint tint = Tint::primary);
QLabel* textLabel(const char* objectName, double pointSizeDelta = 0, QFont::Weight weight = QFont::Normal,
                  QWidget* parent = nullptr);
void setMonospaced(QLabel* label);
void setSelectable(QLabel* label);
QFrame* divider(const char* objectName, QWidget* parent = nullptr);
// A busy indicator (an endless progress bar) before `text`.
QWidget* busyRow(const char* objectName, QLabel* text);

// A label on a rounded fill of its colour, with an optional symbol before it.
class BadgeLabel : public QLabel {
public:
    explicit BadgeLabel(const char* objectName, QWidget* parent = nullptr);
    void show(const Badge& badge);
    const std::string& symbol() const { return symbol_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor color_;
    double opacity_ = 0.15;
    std::string symbol_;
};

} // namespace velorinth
