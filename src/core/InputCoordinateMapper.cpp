#include "core/InputCoordinateMapper.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace velorinth {

namespace {

bool isUsableSide(double side) { return std::isfinite(side) && side > 0; }

bool isFinite(Point2D point) { return std::isfinite(point.x) && std::isfinite(point.y); }

Point2D clampedUnit(double x, double y) { return {std::clamp(x, 0.0, 1.0), std::clamp(y, 0.0, 1.0)}; }

} // namespace

CoordinateMappingError::CoordinateMappingError(Case kind)
    : Error(kind == Case::invalidSize ? "invalidSize" : "outsideContent"), kind(kind) {}

ContentRect2D InputCoordinateMapper::contentRect(Size2D viewSize, Size2D displaySize) {
    // An infinite side would make the origin NaN, which then sticks to the pointer.
    if (!isUsableSide(viewSize.width) || !isUsableSide(viewSize.height) || !isUsableSide(displaySize.width) ||
        !isUsableSide(displaySize.height)) {
        throw CoordinateMappingError(CoordinateMappingError::Case::invalidSize);
    }
    const double scale = std::min(viewSize.width / displaySize.width, viewSize.height / displaySize.height);
    const Size2D size{displaySize.width * scale, displaySize.height * scale};
    if (!isUsableSide(size.width) || !isUsableSide(size.height)) {
        throw CoordinateMappingError(CoordinateMappingError::Case::invalidSize);
    }
    return {{(viewSize.width - size.width) * 0.5, (viewSize.height - size.height) * 0.5}, size};
}

Point2D InputCoordinateMapper::normalizedPoint(Point2D viewPoint, Size2D viewSize, Size2D displaySize) {
    const ContentRect2D rect = contentRect(viewSize, displaySize);
    const double dx = viewPoint.x - rect.origin.x;
    const double dy = viewPoint.y - rect.origin.y;
    if (!isFinite(viewPoint) || dx < 0 || dy < 0 || dx > rect.size.width || dy > rect.size.height) {
        throw CoordinateMappingError(CoordinateMappingError::Case::outsideContent);
    }
    return clampedUnit(dx / rect.size.width, dy / rect.size.height);
}

Point2D InputCoordinateMapper::clampedNormalizedPoint(Point2D viewPoint, Size2D viewSize, Size2D displaySize) {
    const ContentRect2D rect = contentRect(viewSize, displaySize);
    if (!isFinite(viewPoint)) throw CoordinateMappingError(CoordinateMappingError::Case::outsideContent);
    const double dx = std::clamp(viewPoint.x - rect.origin.x, 0.0, rect.size.width);
    const double dy = std::clamp(viewPoint.y - rect.origin.y, 0.0, rect.size.height);
    return clampedUnit(dx / rect.size.width, dy / rect.size.height);
}

Point2D InputCoordinateMapper::relativeMove(Point2D current, Point2D delta, Size2D viewSize, Size2D displaySize,
                                            double sensitivity) {
    const ContentRect2D rect = contentRect(viewSize, displaySize);
    if (!isFinite(delta) || !std::isfinite(sensitivity)) return current;
    const double factor = std::clamp(sensitivity, 0.25, 4.0);
    const double x = current.x + delta.x * factor / rect.size.width;
    const double y = current.y + delta.y * factor / rect.size.height;
    // A huge delta over a tiny content could still overflow to infinity: clamping keeps it on the edge.
    return clampedUnit(x, y);
}

} // namespace velorinth
