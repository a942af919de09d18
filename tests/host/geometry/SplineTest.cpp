#include "lib/geometry/Spline.h"

#include <cmath>
#include <tuple>
#include <vector>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

namespace Kelvaros
{
namespace
{

constexpr double kArcTolerance = 1e-6; // mm

// Collinear control points spaced very unevenly: a centripetal spline stays on the line and never turns back, so
// arc length equals distance along the line (a uniform Catmull-Rom overshoots between 0.1 and 10 and fails this).
TEST(SplineTest, UnevenlySpacedLineIsTravelledWithoutOvershoot)
{
    const Eigen::Vector3d origin(5.0, -3.0, 2.0);
    const Eigen::Vector3d direction = Eigen::Vector3d(1.0, 2.0, -2.0).normalized();
    std::vector<Eigen::Vector3d> points;
    for (double s : { 0.0, 0.1, 10.0, 10.5, 30.0 })
        points.push_back(origin + s * direction);
    const Spline spline(points);

    EXPECT_NEAR(spline.getCurveLength(), 30.0, kArcTolerance);
    EXPECT_NEAR(spline.getCurveLength(1.0, 0.25), 29.9, kArcTolerance); // u = 0.25: the second control point
    double previousU = -1.0;
    for (double s = 0.0; s <= 30.0; s += 0.37)
    {
        const double u = spline.arcLengthToSplineCoord(s);
        EXPECT_GT(u, previousU) << s;
        previousU = u;
        EXPECT_NEAR(spline.splineCoordToArcLength(u), s, kArcTolerance) << s;
        EXPECT_LT((spline.evaluate(u) - (origin + s * direction)).norm(), kArcTolerance) << s;
        EXPECT_LT((spline.evaluateTangent(u) - direction).norm(), 1e-9) << s;

        Eigen::Vector3d nearest;
        bool atEnd = false;
        const Eigen::Vector3d q = origin + s * direction + 7.0 * direction.unitOrthogonal();
        EXPECT_NEAR(spline.calculateNearestPointArcLength(q, 0, &nearest, &atEnd), s, kArcTolerance) << s;
        EXPECT_LT((nearest - (origin + s * direction)).norm(), kArcTolerance) << s;
        EXPECT_TRUE(s == 0.0 || !atEnd) << s;
    }
    bool atEnd = false;
    EXPECT_NEAR(spline.calculateNearestPointArcLength(origin + 40.0 * direction, 0, nullptr, &atEnd), 30.0, 1e-12);
    EXPECT_TRUE(atEnd);
    EXPECT_DOUBLE_EQ(spline.arcLengthToSplineCoord(-5.0), 0.0);
    EXPECT_DOUBLE_EQ(spline.arcLengthToSplineCoord(99.0), 1.0);
}

// Control points on a circle of radius 40 mm (a semicircle, and a closed full circle): the spline stays on the
// circle within the interpolation error (0.01 mm), and the nearest point of a point off the circle lies on the same
// radius.
TEST(SplineTest, FollowsACircle)
{
    const double radius = 40.0;
    const auto onCircle = [&](double angle)
    { return Eigen::Vector3d(radius * std::cos(angle), radius * std::sin(angle), 3.0); };
    const auto angleOf = [](const Eigen::Vector3d& p) { return std::atan2(p.y(), p.x()); };
    for (const auto& [sweep, closed, count] :
         { std::tuple{ EIGEN_PI, false, 17 }, std::tuple{ 2.0 * EIGEN_PI, true, 24 } })
    {
        SCOPED_TRACE(closed);
        const double step = sweep / (closed ? count : count - 1);
        std::vector<Eigen::Vector3d> points;
        for (int i = 0; i < count; ++i)
            points.push_back(onCircle(step * i));
        const Spline spline(points, closed);
        EXPECT_NEAR(spline.getCurveLength(), radius * sweep, 1e-3 * radius * sweep);
        EXPECT_LT((spline.evaluate(1.0) - onCircle(sweep)).norm(), 1e-9);
        // An open spline's end segments bend towards mirrored phantom points off the circle: only the inner
        // segments are held to it.
        const double margin = closed ? 0.05 : step;
        for (double angle = margin; angle < sweep - margin; angle += 0.21)
        {
            const double u = spline.arcLengthToSplineCoord(radius * angle);
            EXPECT_NEAR(spline.splineCoordToArcLength(u), radius * angle, kArcTolerance);
            const Eigen::Vector3d p = spline.evaluate(u);
            EXPECT_NEAR((p - Eigen::Vector3d(0.0, 0.0, 3.0)).norm(), radius, 0.01);
            for (double scale : { 0.6, 1.3 })
            {
                Eigen::Vector3d nearest;
                const double s = spline.calculateNearestPointArcLength(onCircle(angle) * scale, 0, &nearest);
                EXPECT_NEAR(std::remainder(angleOf(nearest) - angle, 2.0 * EIGEN_PI), 0.0, 1e-3) << angle;
                EXPECT_LT((spline.evaluate(spline.arcLengthToSplineCoord(s)) - nearest).norm(), kArcTolerance);
            }
        }
    }
}

// Too few distinct points: no division by zero, no NaN, and the obvious curve.
TEST(SplineTest, DegenerateInputGivesTheObviousCurve)
{
    const Eigen::Vector3d a(1.0, 2.0, 3.0), b(4.0, 6.0, 3.0), zero = Eigen::Vector3d::Zero();
    const std::vector<Eigen::Vector3d> cases[] = { {}, { a }, { a, a, a }, { a, b }, { a, a, b, b, b } };
    for (const std::vector<Eigen::Vector3d>& points : cases)
    {
        SCOPED_TRACE(points.size());
        const Spline spline(points);
        const bool line = points.size() > 1 && points.back() == b; // else a single point, or nothing
        const double length = line ? 5.0 : 0.0;
        EXPECT_NEAR(spline.getCurveLength(), length, 1e-12);
        EXPECT_LT((spline.evaluate(0.5) - (line ? 0.5 * (a + b) : points.empty() ? zero : a)).norm(), 1e-12);
        EXPECT_LT((spline.evaluateTangent(0.5) - (line ? (b - a) / 5.0 : zero)).norm(), 1e-12);
        EXPECT_LT((spline.evaluate(-1.0) - spline.evaluate(0.0)).norm() +
                    (spline.evaluate(2.0) - spline.evaluate(1.0)).norm(),
                  1e-12);
        EXPECT_NEAR(spline.arcLengthToSplineCoord(0.5 * length), line ? 0.5 : 0.0, 1e-9);
        Eigen::Vector3d nearest;
        EXPECT_NEAR(spline.calculateNearestPointArcLength(b + Eigen::Vector3d::UnitZ(), 0, &nearest), length, 1e-9);
        EXPECT_LT((nearest - spline.evaluate(1.0)).norm(), 1e-9);
    }
}

} // namespace
} // namespace Kelvaros
