#pragma once

#include <QColor>
#include <QPixmap>

#include <string_view>

namespace velorinth {

// Draws the presenters' symbol names as small tinted glyphs, bundled in the
// code: no icon theme, no image files. A name without a drawing gets a
// neutral dot.
class IconProvider {
public:
    static bool hasDrawing(std::string_view name);
    static QPixmap pixmap(std::string_view name, const QColor& color, int size, qreal devicePixelRatio = 1.0);
};

} // namespace velorinth
