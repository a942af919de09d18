#include "lib/view/Slice.h"

#include <random>

#include <Eigen/Geometry>
#include <Eigen/LU>
#include <gtest/gtest.h>

#include "lib/numerics/Pose.h"

using namespace Kelvaros;

namespace
{
using Plane = Slice::AnatomicalPlane;

Eigen::Matrix4d fromColumns(const Eigen::Vector3d& x, const Eigen::Vector3d& y, const Eigen::Vector3d& n)
{
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.block<3, 1>(0, 0) = x;
    m.block<3, 1>(0, 1) = y;
    m.block<3, 1>(0, 2) = n;
    return m;
}
} // namespace

// The linked slice views rely on these exact orientations: the columns written out in the neurological convention,
// and the Euler triples the views were always built from.
TEST(Slice, AnatomicalPlanesMatchTheNeurologicalConventionAndTheirEulerTriples)
{
    struct Case
    {
        Plane plane;
        Eigen::Vector3d angles;
        Eigen::Matrix4d columns;
    };
    const Case cases[] = {
        { Plane::Axial, { 180, 0, 0 }, fromColumns({ 1, 0, 0 }, { 0, -1, 0 }, { 0, 0, -1 }) },
        { Plane::Sagittal, { 180, 90, 0 }, fromColumns({ 0, 0, -1 }, { 0, -1, 0 }, { -1, 0, 0 }) },
        { Plane::Coronal, { -90, 0, 0 }, fromColumns({ 1, 0, 0 }, { 0, 0, -1 }, { 0, 1, 0 }) },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(int(c.plane));
        const Slice slice(c.plane);
        EXPECT_EQ(slice.plane(), c.plane);
        // Exact: every entry is 0 or +-1, with no rounding noise.
        EXPECT_EQ(slice.pose(), c.columns);
        EXPECT_EQ(slice.pose(), Pose::eulerToMat(Eigen::Vector3d::Zero(), c.angles));
        EXPECT_EQ(Slice::orientation(c.plane), c.columns);
        // A proper rotation whose normal is x × y: the viewer looks along the normal.
        EXPECT_EQ((slice.pose().topLeftCorner<3, 3>().determinant()), 1.0);
        EXPECT_EQ(slice.xAxis().cross(slice.yAxis()), slice.normal());
    }
}

TEST(Slice, ViewIndicesMapToPlanesAndOthersToNone)
{
    EXPECT_EQ(Slice::planeFromIndex(0), Plane::Axial);
    EXPECT_EQ(Slice::planeFromIndex(1), Plane::Sagittal);
    EXPECT_EQ(Slice::planeFromIndex(2), Plane::Coronal);
    EXPECT_FALSE(Slice::planeFromIndex(-1));
    EXPECT_FALSE(Slice::planeFromIndex(3));
    EXPECT_EQ(Slice().pose(), Slice(Plane::Axial).pose());
}

TEST(Slice, OriginDistanceAndProjection)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> coordinate(-200.0, 200.0);
    for (int i = 0; i < 20; ++i)
    {
        const Eigen::Vector3d origin(coordinate(rng), coordinate(rng), coordinate(rng));
        const Eigen::Vector3d point(coordinate(rng), coordinate(rng), coordinate(rng));
        Slice slice(*Slice::planeFromIndex(i % 3), origin);
        EXPECT_EQ(slice.origin(), origin);
        EXPECT_EQ((slice.pose().block<3, 3>(0, 0)), (Slice::orientation(slice.plane()).block<3, 3>(0, 0)));

        const Eigen::Vector3d foot = slice.project(point);
        EXPECT_NEAR(slice.signedDistance(foot), 0.0, 1e-9);
        EXPECT_NEAR((point - foot).norm(), std::abs(slice.signedDistance(point)), 1e-9);
        // Positive on the side the normal points to.
        EXPECT_NEAR(slice.signedDistance(origin + 3.0 * slice.normal()), 3.0, 1e-9);

        // A new pose keeps the plane's label.
        Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
        pose.topLeftCorner<3, 3>() = Eigen::AngleAxisd(0.3, Eigen::Vector3d::UnitY()).toRotationMatrix();
        slice.setPose(pose);
        EXPECT_EQ(slice.pose(), pose);
        EXPECT_EQ(slice.plane(), *Slice::planeFromIndex(i % 3));
    }
}
