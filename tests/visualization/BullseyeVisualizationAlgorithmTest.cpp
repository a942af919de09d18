#include "visualization/BullseyeVisualizationAlgorithm.h"

#include <cstdio>
#include <fstream>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "core/FileSystem.h"
#include "core/Properties.h"
#include "lib/SharedImageSet.h"
#include "stream/ManualTrackingStream.h"

#include "visualization/ToolVisualizationAlgorithm.h"

using namespace Kelvaros;

namespace
{
using Algo = BullseyeVisualizationAlgorithm;

/// A tool at `tip` whose z axis points along `axis` (any roll).
Eigen::Matrix4d toolAt(const Eigen::Vector3d& tip, const Eigen::Vector3d& axis)
{
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topLeftCorner<3, 3>() = Eigen::Quaterniond::FromTwoVectors(Eigen::Vector3d::UnitZ(), axis).toRotationMatrix();
    m.block<3, 1>(0, 3) = tip;
    return m;
}

Eigen::Matrix4d columns(const Eigen::Vector3d& x, const Eigen::Vector3d& y, const Eigen::Vector3d& z,
                        const Eigen::Vector3d& origin)
{
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.block<3, 1>(0, 0) = x;
    m.block<3, 1>(0, 1) = y;
    m.block<3, 1>(0, 2) = z;
    m.block<3, 1>(0, 3) = origin;
    return m;
}

class Bullseye : public ::testing::Test
{
protected:
    ManualTrackingStream stream;
    SharedImageSet image{ "ct", { 4, 4, 4 }, { 1, 1, 1 } };
    Algo algorithm{ &stream, &image };
};
} // namespace

TEST(BullseyeGeometry, LookAt)
{
    const Eigen::Vector3d zero = Eigen::Vector3d::Zero();
    struct Case
    {
        const char* name;
        Eigen::Vector3d eye, centre, up;
        Eigen::Matrix4d expected;
    };
    const Case cases[] = {
        // Looking along +y from the origin, z up: side = y × z = x, up stays z, third axis −y.
        { "by hand", zero, { 0, 5, 0 }, { 0, 0, 2 }, columns({ 1, 0, 0 }, { 0, 0, 1 }, { 0, -1, 0 }, zero) },
        // An up hint that is not perpendicular is made so: f = −x, s = f × (1, 1, 0) = −z, u = s × f = y.
        { "oblique up",
          { 10, 0, 0 },
          zero,
          { 1, 1, 0 },
          columns({ 0, 0, -1 }, { 0, 1, 0 }, { 1, 0, 0 }, { 10, 0, 0 }) },
        // Eye on the centre: no view direction, so every axis is zero.
        { "eye on centre", { 1, 2, 3 }, { 1, 2, 3 }, { 0, 0, 1 }, columns(zero, zero, zero, { 1, 2, 3 }) },
        // View direction parallel to up: no side vector, and the up axis vanishes with it.
        { "along up", { 0, 0, 10 }, zero, { 0, 0, 1 }, columns(zero, zero, { 0, 0, 1 }, { 0, 0, 10 }) },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_LT((Algo::createLookAt(c.eye, c.centre, c.up) - c.expected).norm(), 1e-12);
    }
}

TEST_F(Bullseye, LookAtAlongNeedleSitsBehindTheEntryPoint)
{
    EXPECT_EQ(algorithm.annotationLineDistance(), 0.0);
    algorithm.setLinePoints({ 10, 20, 30 }, { 10 + 30, 20 + 40, 30 }); // 50 mm, in the xy plane
    EXPECT_DOUBLE_EQ(algorithm.annotationLineDistance(), 100.0);
    const Eigen::Vector3d d = Eigen::Vector3d(3, 4, 0) / 5.0;
    const Eigen::Vector3d entry(40, 60, 30);
    // Looking at the target A: the camera's third axis points away from it, along the path; z is up.
    const Eigen::Matrix4d expected = columns(Eigen::Vector3d(-4, 3, 0) / 5.0, { 0, 0, 1 }, d, entry + 250.0 * d);
    EXPECT_LT((algorithm.createLookAtAlongNeedle(100.0) - expected).norm(), 1e-9);
    algorithm.p_bullseyeDistance.setValue(20.0);
    EXPECT_LT((algorithm.createLookAtAlongNeedle(0.0).block<3, 1>(0, 3) - (entry + 20.0 * d)).norm(), 1e-9);

    // Coincident points (or none set): the eye sits on B, looking at A = B, with no direction at all.
    algorithm.setLinePoints({ 5, 5, 5 }, { 5, 5, 5 });
    EXPECT_EQ(algorithm.createLookAtAlongNeedle(100.0), columns({ 0, 0, 0 }, { 0, 0, 0 }, { 0, 0, 0 }, { 5, 5, 5 }));
}

TEST_F(Bullseye, OverlayCoordinatesInThePlaneOfPathAndTip)
{
    struct Case
    {
        const char* name;
        Eigen::Vector3d a, b;
        double needleLength;
        Eigen::Matrix4d tool;
        Eigen::Vector2d tip, shaft;
    };
    const Eigen::Vector3d origin = Eigen::Vector3d::Zero();
    const Eigen::Vector3d up(0, 0, 100);
    const Case cases[] = {
        { "parallel, 5 mm beside", origin, up, 50.0, toolAt({ 5, 0, 30 }, { 0, 0, 1 }), { -5, 30 }, { -5, 80 } },
        // Tilted across the path (3-4-5): the shaft point ends up 25 mm on the other side.
        { "tilted across", origin, up, 50.0, toolAt({ 5, 0, 30 }, { -0.6, 0, 0.8 }), { -5, 30 }, { 25, 70 } },
        { "beyond the target", origin, up, 10.0, toolAt({ 0, -7, -12 }, { 0, 0, 1 }), { -7, -12 }, { -7, -2 } },
        { "tip on the path", origin, up, 50.0, toolAt({ 0, 0, 40 }, { 0, 0, 1 }), { 0, 40 }, { 0, 90 } },
        // A path of no length: every foot is at A, and the shaft's offset is taken along the tip's direction.
        { "coincident line points",
          { 1, 1, 1 },
          { 1, 1, 1 },
          50.0,
          toolAt({ 4, 5, 1 }, { 0, 0, 1 }),
          { -5, 0 },
          { -5, 0 } },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        algorithm.setLinePoints(c.a, c.b);
        algorithm.p_needleLength.setValue(c.needleLength);
        Eigen::Vector2d tip, shaft;
        algorithm.computeOverlayParameters(tip, shaft, c.tool);
        EXPECT_LT((tip - c.tip).norm(), 1e-9) << tip.transpose();
        EXPECT_LT((shaft - c.shaft).norm(), 1e-9) << shaft.transpose();
    }
}

TEST_F(Bullseye, MeshPathsAreMadeAbsoluteAndTheToolMeshFollowsThem)
{
    const std::string name = "BullseyeRelativeMesh.obj";
    std::ofstream(name) << "v 0 0 0\n";
    Properties properties;
    properties.setParam<std::string>("toolMeshPath", name);
    properties.setParam<std::string>("bullseyeMeshPath", name);
    properties.setParam<std::string>("toolRingMeshPath", "missing/ring.obj");
    properties.setParam<std::string>("mesh", ":/Stray.obj");
    algorithm.configure(&properties);
    const std::string absolute = FileSystem::makeAbsolute(name);
    std::remove(name.c_str());
    EXPECT_EQ(algorithm.p_toolMeshPath.value(), absolute);
    EXPECT_EQ(algorithm.p_bullseyeMeshPath.value(), absolute);
    EXPECT_EQ(algorithm.p_toolRingMeshPath.value(), "missing/ring.obj");
    EXPECT_EQ(algorithm.toolVisAlg().p_mesh.value(), absolute);
}
