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
        EXPECT_NEAR(result.distance, c.distance, 0.03) << c.tip.transpose();
        EXPECT_EQ(result.inside, c.distance < 0);
        EXPECT_EQ(result.structure, "vessel");
        EXPECT_NEAR(result.structurePoint.norm(), 20, 0.03);
    }
    EXPECT_EQ(structures.tip({ NAN, 0, 0 }).status, BreachStatus::Refused);
    EXPECT_EQ(CriticalStructures().tip({ 0, 0, 0 }).status, BreachStatus::NoStructures);
}

/// The least distance over the needle, by probing every 0.01 mm.
double denseMinimum(const CriticalStructures& structures, const Eigen::Vector3d& tip, const Eigen::Vector3d& axis,
                    double length)
{
    double least = INFINITY;
    for (double t = 0; t <= length; t += 0.01)
        least = std::min(least, structures.tip(tip + t * axis).distance);
    return least;
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
        const double dense = denseMinimum(structures, tip, axis, 120);
        EXPECT_EQ(result.structure, "vessel");
        EXPECT_NEAR(result.distance, dense, CriticalStructures::kTolerance) << tip.transpose();
        EXPECT_NEAR(structures.tip(result.toolPoint).distance, result.distance, 1e-9);
        EXPECT_GT((result.toolPoint - tip).norm(), 40);
    }
}

} // namespace
} // namespace Kelvaros
