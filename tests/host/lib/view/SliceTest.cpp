#include "lib/view/Slice.h"

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
TEST(Slice, LinkedOrientationsMatchTheirColumnsAndEulerTriples)
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
        Slice slice(c.plane);
        slice.setPose(Slice::linkedOrientation(c.plane));
        EXPECT_EQ(slice.plane(), c.plane);
        // Exact: every entry is 0 or +-1, with no rounding noise.
        EXPECT_EQ(slice.pose(), c.columns);
        EXPECT_EQ(slice.pose(), Pose::eulerToMat(Eigen::Vector3d::Zero(), c.angles));
        // A proper rotation whose normal is x × y: the viewer looks along the normal.
        EXPECT_EQ((slice.pose().topLeftCorner<3, 3>().determinant()), 1.0);
        EXPECT_EQ(slice.xAxis().cross(slice.yAxis()), slice.normal());
    }
}
