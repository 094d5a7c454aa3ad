#include "host/qt/IconProvider.hpp"

#include "host/presenters/Symbols.hpp"

#include <QPainter>
#include <QPainterPath>

#include <array>
#include <cmath>

namespace velorinth {

namespace {

// A glyph is a base shape with a mark inside or beside it.
enum class Base {
    circle,
    triangle,
    shield,
    seal,
    octagon,
    tablet,
    tabletLandscape,
    laptopAndTablet,
    display,
    wifi,
    radiowaves,
    hourglass,
    power,
    people,
    network,
    bolt,
    screenWithPerson
};
enum class Mark {
    none,
    check,
    exclamation,
    cross,
    question,
    pause,
    slash,
    arrowIn,
    arrowDown,
    clock,
    key,
    lock,
    power,
    boltHorizontal
};

struct Glyph {
    std::string_view name;
    Base base;
    Mark mark;
    bool filled;
};

namespace s = symbols;
constexpr std::array<Glyph, 27> kGlyphs{{
    {s::ipadAndArrowForward, Base::tablet, Mark::arrowIn, false},
    {s::powerCircleFill, Base::circle, Mark::power, true},
    {s::checkmarkCircleFill, Base::circle, Mark::check, true},
    {s::exclamationmarkTriangleFill, Base::triangle, Mark::exclamation, true},
    {s::macbookAndIpad, Base::laptopAndTablet, Mark::none, false},
    {s::boltHorizontalCircle, Base::circle, Mark::boltHorizontal, false},
    {s::person2BadgeKey, Base::people, Mark::key, false},
    {s::power, Base::power, Mark::none, false},
    {s::lockShield, Base::shield, Mark::lock, false},
    {s::pauseCircleFill, Base::circle, Mark::pause, true},
    {s::displayAndArrowDown, Base::display, Mark::arrowDown, false},
    {s::rectangleInsetFilledAndPersonFilled, Base::screenWithPerson, Mark::none, true},
    {s::dotRadiowavesLeftAndRight, Base::radiowaves, Mark::none, false},
    {s::wifiExclamationmark, Base::wifi, Mark::exclamation, false},
    {s::wifiSlash, Base::wifi, Mark::slash, false},
    {s::hourglass, Base::hourglass, Mark::none, false},
    {s::exclamationmarkShieldFill, Base::shield, Mark::exclamation, true},
    {s::ipadLandscape, Base::tabletLandscape, Mark::none, false},
    {s::checkmarkSealFill, Base::seal, Mark::check, true},
    {s::boltBadgeClockFill, Base::bolt, Mark::clock, true},
    {s::xmarkOctagonFill, Base::octagon, Mark::cross, true},
    {s::questionmarkCircleFill, Base::circle, Mark::question, true},
    {s::ipad, Base::tablet, Mark::none, false},
    {s::checkmarkShieldFill, Base::shield, Mark::check, true},
    {s::xmarkShield, Base::shield, Mark::cross, false},
    {s::networkBadgeShieldHalfFilled, Base::network, Mark::none, false},
    {s::exclamationmarkCircle, Base::circle, Mark::exclamation, false},
}};

const Glyph* find(std::string_view name) {
    for (const Glyph& glyph : kGlyphs) {
        if (glyph.name == name) return &glyph;
    }
    return nullptr;
}

QPainterPath polygon(std::initializer_list<QPointF> points) {
    QPainterPath path;
    path.addPolygon(QPolygonF(QList<QPointF>(points)));
    path.closeSubpath();
    return path;
}

// The outline of a base in a 24x24 box.
QPainterPath outline(Base base) {
    QPainterPath path;
    switch (base) {
    case Base::circle: path.addEllipse(QRectF(2, 2, 20, 20)); break;
    case Base::triangle: path = polygon({{12, 2}, {23, 21}, {1, 21}}); break;
    case Base::shield:
        path.moveTo(12, 2);
        path.lineTo(21, 5);
        path.cubicTo(21, 14, 17, 19, 12, 22);
        path.cubicTo(7, 19, 3, 14, 3, 5);
        path.closeSubpath();
        break;
    case Base::seal: {
        QPolygonF star;
        for (int i = 0; i < 16; ++i) {
            const double r = (i % 2 == 0) ? 11.0 : 9.0, a = i * 3.14159265 / 8;
            star << QPointF(12 + r * std::cos(a), 12 + r * std::sin(a));
        }
        path.addPolygon(star);
        path.closeSubpath();
        break;
    }
    case Base::octagon: path = polygon({{8, 2}, {16, 2}, {22, 8}, {22, 16}, {16, 22}, {8, 22}, {2, 16}, {2, 8}}); break;
    case Base::tablet: path.addRoundedRect(QRectF(5, 2, 14, 20), 2.5, 2.5); break;
    case Base::tabletLandscape: path.addRoundedRect(QRectF(2, 5, 20, 14), 2.5, 2.5); break;
    case Base::laptopAndTablet:
        path.addRoundedRect(QRectF(2, 5, 13, 9), 1.5, 1.5);
        path.addRect(QRectF(0.5, 15, 16, 1.5));
        path.addRoundedRect(QRectF(17, 8, 6, 10), 1.2, 1.2);
        break;
    case Base::display:
    case Base::screenWithPerson:
        path.addRoundedRect(QRectF(2, 3, 20, 14), 1.5, 1.5);
        path.addRect(QRectF(9, 19, 6, 2));
        break;
    case Base::wifi:
        for (const double r : {4.0, 8.0, 12.0})
            path.arcMoveTo(QRectF(12 - r, 20 - r, 2 * r, 2 * r), 45),
                path.arcTo(QRectF(12 - r, 20 - r, 2 * r, 2 * r), 45, 90);
        path.addEllipse(QRectF(10.8, 18.8, 2.4, 2.4));
        break;
    case Base::radiowaves:
        path.addEllipse(QRectF(9.5, 9.5, 5, 5));
        for (const double r : {7.0, 10.5}) {
            path.arcMoveTo(QRectF(12 - r, 12 - r, 2 * r, 2 * r), 135),
                path.arcTo(QRectF(12 - r, 12 - r, 2 * r, 2 * r), 135, 90);
            path.arcMoveTo(QRectF(12 - r, 12 - r, 2 * r, 2 * r), -45),
                path.arcTo(QRectF(12 - r, 12 - r, 2 * r, 2 * r), -45, 90);
        }
        break;
    case Base::hourglass: path = polygon({{5, 2}, {19, 2}, {12, 12}, {19, 22}, {5, 22}, {12, 12}}); break;
    case Base::power:
        path.arcMoveTo(QRectF(3, 4, 18, 18), 60);
        path.arcTo(QRectF(3, 4, 18, 18), 60, 300);
        path.moveTo(12, 2);
        path.lineTo(12, 12);
        break;
    case Base::people:
        path.addEllipse(QRectF(4, 4, 6, 6));
        path.addEllipse(QRectF(12, 4, 6, 6));
        path.addRoundedRect(QRectF(2, 12, 18, 7), 3.5, 3.5);
        break;
    case Base::network:
        path.addEllipse(QRectF(2, 2, 18, 18));
        path.moveTo(2, 11);
        path.lineTo(20, 11);
        path.addEllipse(QRectF(7, 2, 8, 18));
        path.addPath(polygon({{17, 13}, {23, 15}, {23, 19}, {20, 23}, {17, 19}}));
        break;
    case Base::bolt: path = polygon({{14, 1}, {5, 13}, {11, 13}, {9, 23}, {19, 10}, {13, 10}}); break;
    }
    return path;
}

void drawMark(QPainter& p, Mark mark, const QColor& color) {
    QPen pen(color, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    switch (mark) {
    case Mark::none: break;
    case Mark::check: p.drawPolyline(QPolygonF({{7.5, 12.5}, {10.5, 15.5}, {16.5, 8.5}})); break;
    case Mark::exclamation:
        p.drawLine(QPointF(12, 7.5), QPointF(12, 13.5));
        p.drawPoint(QPointF(12, 17));
        break;
    case Mark::cross:
        p.drawLine(QPointF(8.5, 8.5), QPointF(15.5, 15.5));
        p.drawLine(QPointF(15.5, 8.5), QPointF(8.5, 15.5));
        break;
    case Mark::question:
        p.drawArc(QRectF(9, 6, 6, 6), 180 * 16, -270 * 16);
        p.drawLine(QPointF(12, 12), QPointF(12, 14));
        p.drawPoint(QPointF(12, 17.5));
        break;
    case Mark::pause:
        p.drawLine(QPointF(10, 8), QPointF(10, 16));
        p.drawLine(QPointF(14, 8), QPointF(14, 16));
        break;
    case Mark::slash: p.drawLine(QPointF(3, 3), QPointF(21, 21)); break;
    case Mark::arrowIn:
        p.drawLine(QPointF(1, 12), QPointF(10, 12));
        p.drawPolyline(QPolygonF({{7, 9}, {10, 12}, {7, 15}}));
        break;
    case Mark::arrowDown:
        p.drawLine(QPointF(12, 6), QPointF(12, 13));
        p.drawPolyline(QPolygonF({{9, 10.5}, {12, 13.5}, {15, 10.5}}));
        break;
    case Mark::clock:
        p.drawEllipse(QRectF(14, 14, 9, 9));
        p.drawPolyline(QPolygonF({{18.5, 16}, {18.5, 18.5}, {20.5, 19.5}}));
        break;
    case Mark::key:
        p.drawEllipse(QRectF(15, 14, 5, 5));
        p.drawLine(QPointF(19, 18), QPointF(23, 22));
        break;
    case Mark::lock:
        p.drawRect(QRectF(9, 11, 6, 5));
        p.drawArc(QRectF(10, 8, 4, 6), 0, 180 * 16);
        break;
    case Mark::power:
        p.drawArc(QRectF(7, 8, 10, 10), 120 * 16, 300 * 16);
        p.drawLine(QPointF(12, 6.5), QPointF(12, 12));
        break;
    case Mark::boltHorizontal: // the bolt turned on its side, inside the circle
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawPolygon(QPolygonF({{18.0, 13.1}, {11.5, 8.2}, {11.5, 11.5}, {6.0, 10.4}, {13.1, 15.9}, {13.1, 12.6}}));
        break;
    }
}

} // namespace

bool IconProvider::hasDrawing(std::string_view name) { return find(name) != nullptr; }

QPixmap IconProvider::pixmap(std::string_view name, const QColor& color, int size, qreal devicePixelRatio) {
    QPixmap pixmap(QSize(size, size) * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 24.0, size / 24.0);
    const Glyph* glyph = find(name);
    if (glyph == nullptr) {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(QRectF(8, 8, 8, 8));
        return pixmap;
    }
    const QPainterPath path = outline(glyph->base);
    const bool markInside = glyph->filled && glyph->mark != Mark::clock && glyph->mark != Mark::key;
    if (glyph->filled) {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawPath(path);
    } else {
        p.setPen(QPen(color, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(path);
    }
    if (glyph->base == Base::screenWithPerson) {
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawEllipse(QRectF(10, 6, 4, 4));
        p.drawRoundedRect(QRectF(8, 11, 8, 4), 2, 2);
    }
    drawMark(p, glyph->mark, markInside ? QColor(Qt::white) : color);
    return pixmap;
}

} // namespace velorinth
