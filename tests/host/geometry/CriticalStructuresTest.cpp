#include "lib/geometry/CriticalStructures.h"

#include <cmath>

#include <gtest/gtest.h>

#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshCreator.h"

namespace Kelvaros
{
namespace
{

/// A vessel-sized sphere fine enough that its facets lie within 0.03 mm of the analytic surface.
CriticalStructures sphereOfRadius20()
{
    CriticalStructures structures;
    std::string reason;
    EXPECT_TRUE(structures.add("vessel", *MeshCreator::createSphere(20.0, 64), &reason)) << reason;
    return structures;
}

TEST(CriticalStructuresTest, TipDistanceIsSignedAndClassifiedByTheMargin)
{
    const CriticalStructures structures = sphereOfRadius20();
    const struct
    {
        Eigen::Vector3d tip;
        double distance;
        BreachStatus status;
    } cases[] = { { { 0, 40, 0 }, 20, BreachStatus::Clear },
                  { { 13, 13, 13 }, std::sqrt(3.0) * 13 - 20, BreachStatus::Warning },
                  { { 0, 0, -15 }, -5, BreachStatus::Breach } };
    for (const auto& c : cases)
    {
        const BreachDistance result = structures.tip(c.tip);
        EXPECT_EQ(result.status, c.status) << c.tip.transpose();
        EXPECT_NEAR(result.distance, c.distance, 0.03 + result.tolerance) << c.tip.transpose();
        EXPECT_EQ(result.inside, c.distance < 0);
        EXPECT_EQ(result.structure, "vessel");
        EXPECT_NEAR(result.structurePoint.norm(), 20, 0.03);
    }
    EXPECT_EQ(structures.tip({ NAN, 0, 0 }).status, BreachStatus::Refused);
    EXPECT_EQ(CriticalStructures().tip({ 0, 0, 0 }).status, BreachStatus::NoStructures);
}

/// The least distance over the needle, by probing every 0.01 mm, and the largest tolerance among the probes.
std::pair<double, double> denseMinimum(const CriticalStructures& structures, const Eigen::Vector3d& tip,
                                       const Eigen::Vector3d& axis, double length)
{
    double least = INFINITY, tolerance = 0;
    for (double t = 0; t <= length; t += 0.01)
    {
        const BreachDistance reading = structures.tip(tip + t * axis);
        least = std::min(least, reading.distance);
        tolerance = std::max(tolerance, reading.tolerance);
    }
    return { least, tolerance };
}

// Both needles have their nearest point mid-way, far from either end: one passes the sphere 5 mm off, one through it.
TEST(CriticalStructuresTest, NeedleFindsTheLeastDistanceAlongItsLength)
{
    CriticalStructures structures = sphereOfRadius20();
    std::string reason;
    ASSERT_TRUE(structures.add("nerve", *MeshCreator::createCylinder(3.0, 80.0, 48), &reason));
    const Eigen::Vector3d axis = Eigen::Vector3d(1, 0.1, 0).normalized();
    for (const Eigen::Vector3d& tip : { Eigen::Vector3d(-60, 19, 0), Eigen::Vector3d(-60, -1, 0) })
    {
        const BreachDistance result = structures.needle(tip, axis, 120);
        const auto [dense, denseTolerance] = denseMinimum(structures, tip, axis, 120);
        EXPECT_EQ(result.structure, "vessel");
        EXPECT_NEAR(result.distance, dense, CriticalStructures::kTolerance + result.tolerance + denseTolerance)
          << tip.transpose();
        EXPECT_NEAR(structures.tip(result.toolPoint).distance, result.distance, 1e-9);
        EXPECT_GT((result.toolPoint - tip).norm(), 40);
    }
}

// Far and deep readings may be approximate, within their stated tolerance of the exact distance; around the margin
// they are exact, so the status is the exact one.
TEST(CriticalStructuresTest, FarReadingsStayWithinTheirToleranceAndTheMarginIsExact)
{
    const auto sphere = MeshCreator::createSphere(20.0, 64);
    const MeshClosestPoint exact(*sphere);
    CriticalStructures structures;
    std::string reason;
    ASSERT_TRUE(structures.add("vessel", *sphere, &reason));
    bool approximated = false;
    for (const double offset : { 4.98, 4.999, 5.001, 5.02, 8.0, 30.0, 60.0, -0.5, -12.0 })
        for (const Eigen::Vector3d& direction : { Eigen::Vector3d(1, 2, 3), Eigen::Vector3d(-3, 1, -1) })
        {
            const Eigen::Vector3d tip = direction.normalized() * (20.0 + offset);
            const BreachDistance reading = structures.tip(tip);
            const double truth = exact.query(tip).distance;
            EXPECT_GE(std::abs(reading.distance), truth - 1e-12) << offset;
            EXPECT_LE(std::abs(reading.distance), truth + reading.tolerance + 1e-12) << offset;
            EXPECT_LE(reading.tolerance, (offset > 0 ? 0.01 : 0.05) * truth) << offset;
            EXPECT_EQ(reading.tolerance > 0, std::abs(offset) > 8.0) << offset;
            approximated = approximated || reading.tolerance > 0;
            const BreachStatus status = offset < 0   ? BreachStatus::Breach
                                        : truth <= 5 ? BreachStatus::Warning
                                                     : BreachStatus::Clear;
            EXPECT_EQ(reading.status, status) << offset;
        }
    EXPECT_TRUE(approximated);
}

} // namespace
} // namespace Kelvaros
