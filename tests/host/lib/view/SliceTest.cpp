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

// The linked slice views rely on these exact orientations: the columns written out, and the Euler triples the
// views were always built from.
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
        // Exact: every entry is 0 or +-1, with no rounding noise.
        const Eigen::Matrix4d linked = Slice::linkedOrientation(c.plane);
        EXPECT_EQ(linked, c.columns);
        EXPECT_EQ(linked, Pose::eulerToMat(Eigen::Vector3d::Zero(), c.angles));
        EXPECT_EQ(Slice(c.plane).plane(), c.plane);
        // Proper rotations whose normal is x × y: the viewer looks along the normal.
        for (const auto convention : { Slice::DisplayConvention::Radiological, Slice::DisplayConvention::Neurological })
        {
            const Slice upright(c.plane, Eigen::Vector3d::Zero(), convention);
            EXPECT_EQ((upright.pose().topLeftCorner<3, 3>().determinant()), 1.0);
            EXPECT_EQ(upright.xAxis().cross(upright.yAxis()), upright.normal());
        }
    }
}
