#pragma once

// The geometry between the tablet's view and the host display: where the
// display is drawn when fitted into the view without distortion, view points
// as normalised display points (0...1 from the content's origin, the form in
// which pointer positions travel), and trackpad-like relative moves.

#include "core/Error.hpp"

namespace velorinth {

struct Point2D {
    double x = 0;
    double y = 0;
    bool operator==(const Point2D&) const = default;
};

struct Size2D {
    double width = 0;
    double height = 0;
    bool operator==(const Size2D&) const = default;
};

struct ContentRect2D {
    Point2D origin;
    Size2D size;
    bool operator==(const ContentRect2D&) const = default;
};

// No text of its own: what() is the case name.
class CoordinateMappingError : public Error {
public:
    enum class Case { invalidSize, outsideContent };
    explicit CoordinateMappingError(Case kind);
    Case kind;
    bool operator==(const CoordinateMappingError& other) const { return kind == other.kind; }
};

// Pure and stateless; any thread may use it.
class InputCoordinateMapper {
public:
    InputCoordinateMapper() = delete;

    // Aspect fit, centred. invalidSize when a side is not a finite number above 0.
    static ContentRect2D contentRect(Size2D viewSize, Size2D displaySize);
    // outsideContent for a point off the drawn display (its edges belong to
    // it) and for a point that is not finite.
    static Point2D normalizedPoint(Point2D viewPoint, Size2D viewSize, Size2D displaySize);
    // A point in the bars maps to the nearest content edge; a point that is
    // not finite has no nearest edge and is outsideContent.
    static Point2D clampedNormalizedPoint(Point2D viewPoint, Size2D viewSize, Size2D displaySize);
    // The sensitivity is clamped into 0.25...4.0. A delta or sensitivity that
    // is not finite leaves the pointer at `current`.
    static Point2D relativeMove(Point2D current, Point2D delta, Size2D viewSize, Size2D displaySize,
                                double sensitivity);
};

} // namespace velorinth
