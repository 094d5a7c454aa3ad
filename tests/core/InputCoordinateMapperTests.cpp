#include "core/InputCoordinateMapper.hpp"

#include "support/LoopRunner.hpp"

#include <gtest/gtest.h>

#include <limits>

using namespace velorinth;
using velorinth::testing::thrown;
using Mapper = InputCoordinateMapper;
using Case = CoordinateMappingError::Case;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
const Size2D kView{1200, 500};
const Size2D kDisplay{2000, 1000};

template <class F>
Case failure(F call) {
    return thrown<CoordinateMappingError>(call).kind;
}

} // namespace

TEST(InputCoordinateMapper, FitsTheDisplayIntoTheViewAndMapsItsPoints) {
    EXPECT_EQ(Mapper::contentRect(kView, kDisplay), (ContentRect2D{{100, 0}, {1000, 500}}));
    EXPECT_EQ(Mapper::contentRect({500, 1200}, kDisplay), (ContentRect2D{{0, 475}, {500, 250}}));
    struct Row {
        Point2D view;
        std::optional<Point2D> normalized;
        Point2D clamped;
    };
    const std::vector<Row> rows{
        {{100, 0}, Point2D{0, 0}, {0, 0}},
        {{600, 250}, Point2D{0.5, 0.5}, {0.5, 0.5}},
        {{1100, 500}, Point2D{1, 1}, {1, 1}}, // the far edges belong to the content
        {{50, 250}, std::nullopt, {0, 0.5}},
        {{1150, -20}, std::nullopt, {1, 0}},
    };
    for (const Row& row : rows) {
        if (row.normalized) {
            EXPECT_EQ(Mapper::normalizedPoint(row.view, kView, kDisplay), *row.normalized);
        } else {
            EXPECT_EQ(failure([&] { Mapper::normalizedPoint(row.view, kView, kDisplay); }), Case::outsideContent);
        }
        EXPECT_EQ(Mapper::clampedNormalizedPoint(row.view, kView, kDisplay), row.clamped);
    }
    EXPECT_STREQ(CoordinateMappingError(Case::outsideContent).what(), "outsideContent");
}

TEST(InputCoordinateMapper, EveryOperationRefusesASideNotAboveZero) {
    const std::vector<std::pair<Size2D, Size2D>> sizes{
        {{0, 500}, kDisplay}, {kView, {2000, 0}}, {{-1, 500}, kDisplay},
        {{kNaN, 500}, kDisplay}, {kView, {2000, kNaN}}, {{kInfinity, 500}, kDisplay}, {kView, {kInfinity, 1}},
    };
    for (const auto& [view, display] : sizes) {
        EXPECT_EQ(failure([&] { Mapper::contentRect(view, display); }), Case::invalidSize);
        EXPECT_EQ(failure([&] { Mapper::normalizedPoint({1, 1}, view, display); }), Case::invalidSize);
        EXPECT_EQ(failure([&] { Mapper::clampedNormalizedPoint({1, 1}, view, display); }), Case::invalidSize);
        EXPECT_EQ(failure([&] { Mapper::relativeMove({0.5, 0.5}, {1, 1}, view, display, 1); }), Case::invalidSize);
    }
}

TEST(InputCoordinateMapper, RelativeMovesScaleByTheClampedFactorAndStopAtTheEdges) {
    struct Row {
        Point2D delta;
        double sensitivity;
        Point2D expected;
    };
    const std::vector<Row> rows{
        {{100, 50}, 1, {0.6, 0.6}},
        {{100, 0}, 10, {0.9, 0.5}},    // factor 4.0
        {{100, 0}, 0.1, {0.525, 0.5}}, // factor 0.25
        {{100, 0}, 0.25, {0.525, 0.5}},
        {{1000, -1000}, 1, {1, 0}},
        {{1e308, -1e308}, 4, {1, 0}}, // overflow to infinity still lands on the edge
    };
    for (const Row& row : rows) {
        const Point2D moved = Mapper::relativeMove({0.5, 0.5}, row.delta, kView, kDisplay, row.sensitivity);
        EXPECT_DOUBLE_EQ(moved.x, row.expected.x) << row.delta.x << " at " << row.sensitivity;
        EXPECT_DOUBLE_EQ(moved.y, row.expected.y) << row.delta.y << " at " << row.sensitivity;
    }
}

// A non-finite number must never become the pointer: every later event would fail to encode.
TEST(InputCoordinateMapper, NonFiniteInputNeverBecomesAPoint) {
    for (const Point2D view : {Point2D{kNaN, 250}, Point2D{600, kNaN}, Point2D{kInfinity, 250}, Point2D{600, -kInfinity}}) {
        EXPECT_EQ(failure([&] { Mapper::normalizedPoint(view, kView, kDisplay); }), Case::outsideContent);
        EXPECT_EQ(failure([&] { Mapper::clampedNormalizedPoint(view, kView, kDisplay); }), Case::outsideContent);
    }
    const Point2D current{0.3, 0.7};
    for (const Point2D delta : {Point2D{kNaN, 0}, Point2D{0, kInfinity}, Point2D{-kInfinity, kNaN}}) {
        EXPECT_EQ(Mapper::relativeMove(current, delta, kView, kDisplay, 1), current);
    }
    EXPECT_EQ(Mapper::relativeMove(current, {10, 10}, kView, kDisplay, kNaN), current);
    EXPECT_EQ(Mapper::relativeMove(current, {10, 10}, kView, kDisplay, kInfinity), current);
}
