#include "visualization/BullseyeVisualizationAlgorithm.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>

#include <Eigen/Geometry>
#include <Eigen/LU>
#include <gtest/gtest.h>

#include "core/FileSystem.h"
#include "core/Properties.h"
#include "lib/DataList.h"
#include "lib/SharedImageSet.h"
#include "stream/ManualTrackingStream.h"
#include "stream/TrackingSequence.h"

#include "VisualizationTestSupport.h"
#include "visualization/ToolVisualizationAlgorithm.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

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

class Bullseye : public ::testing::Test
{
protected:
    ManualTrackingStream stream;
    SharedImageSet image{ "ct", { 4, 4, 4 }, { 1, 1, 1 } };
    Algo algorithm{ &stream, &image };
};
} // namespace

TEST_F(Bullseye, CreateCompatibleNeedsExactlyAStreamAndAnImage)
{
    ManualTrackingStream other;
    SharedImageSet second("mr", { 4, 4, 4 }, { 1, 1, 1 });
    TrackingSequence sequence("sequence");
    EXPECT_TRUE(Algo::createCompatible(DataList{ &stream, &image }, nullptr));
    EXPECT_TRUE(Algo::createCompatible(DataList{ &image, &stream }, nullptr));
    EXPECT_FALSE(Algo::createCompatible(DataList{ &stream }, nullptr));
    EXPECT_FALSE(Algo::createCompatible(DataList{ &image }, nullptr));
    EXPECT_FALSE(Algo::createCompatible(DataList{ &stream, &other }, nullptr));
    EXPECT_FALSE(Algo::createCompatible(DataList{ &stream, &sequence }, nullptr));
    EXPECT_FALSE(Algo::createCompatible(DataList{ &image, &second }, nullptr));
    EXPECT_FALSE(Algo::createCompatible(DataList{ &stream, &image, &second }, nullptr));

    // The stream's registration is left alone: the owned tool visualization gets no image.
    std::mt19937 rng(1);
    const Eigen::Matrix4d registration = randomRigid(rng);
    stream.setMatrix(registration);
    image.setMatrix(randomRigid(rng));
    std::unique_ptr<Algorithm> created;
    ASSERT_TRUE(Algo::createCompatible(DataList{ &image, &stream }, &created));
    auto* bullseye = dynamic_cast<Algo*>(created.get());
    ASSERT_TRUE(bullseye);
    EXPECT_EQ(bullseye->referenceImage(), &image);
    EXPECT_EQ(bullseye->trackingStream(), &stream);
    EXPECT_EQ(bullseye->toolVisAlg().trackingStream(), &stream);
    EXPECT_EQ(stream.matrix(), registration);
    bullseye->compute();
    EXPECT_EQ(bullseye->status(), 0);
}

TEST_F(Bullseye, AnnotationLineDistance)
{
    EXPECT_EQ(algorithm.annotationLineDistance(), 0.0);
    algorithm.setLinePoints({ 1, 2, 3 }, { 1, 2 + 24, 3 + 32 }); // 40 mm
    EXPECT_DOUBLE_EQ(algorithm.annotationLineDistance(), 80.0);
    algorithm.p_targetRingDistanceFactor.setValue(0.5);
    EXPECT_DOUBLE_EQ(algorithm.annotationLineDistance(), 20.0);
}

TEST(BullseyeGeometry, LookAtBuildsACameraFrameLookingAtTheCentre)
{
    const Eigen::Matrix4d simple = Algo::createLookAt({ 0, 0, 10 }, { 0, 0, 0 }, { 0, 1, 0 });
    EXPECT_EQ(simple, Eigen::Affine3d(Eigen::Translation3d(0, 0, 10)).matrix());

    std::mt19937 rng(2);
    std::uniform_real_distribution<double> coordinate(-100.0, 100.0);
    for (int trial = 0; trial < 20; ++trial)
    {
        const Eigen::Vector3d eye(coordinate(rng), coordinate(rng), coordinate(rng));
        const Eigen::Vector3d centre(coordinate(rng), coordinate(rng), coordinate(rng));
        const Eigen::Vector3d up(coordinate(rng), coordinate(rng), coordinate(rng));
        const Eigen::Matrix4d pose = Algo::createLookAt(eye, centre, up);
        const Eigen::Matrix3d r = pose.topLeftCorner<3, 3>();
        EXPECT_LT((r.transpose() * r - Eigen::Matrix3d::Identity()).norm(), 1e-9);
        EXPECT_NEAR(r.determinant(), 1.0, 1e-9);
        EXPECT_EQ((pose.block<3, 1>(0, 3)), eye);
        // The third axis points from the centre back to the eye; the second is the up hint made perpendicular.
        EXPECT_LT((r.col(2) - (eye - centre).normalized()).norm(), 1e-9);
        EXPECT_GT(r.col(1).dot(up), 0.0);
        EXPECT_NEAR(r.col(0).dot(up), 0.0, 1e-9);
        EXPECT_EQ(pose.row(3), Eigen::RowVector4d(0, 0, 0, 1));
    }
}

TEST(BullseyeGeometry, DegenerateLookAtsAreReturnedAsTheyAre)
{
    // Eye on the centre: no view direction, so every axis is zero.
    Eigen::Matrix4d pose = Algo::createLookAt({ 1, 2, 3 }, { 1, 2, 3 }, { 0, 0, 1 });
    EXPECT_EQ((pose.topLeftCorner<3, 3>()), Eigen::Matrix3d::Zero());
    EXPECT_EQ((pose.block<3, 1>(0, 3)), Eigen::Vector3d(1, 2, 3));
    // View direction parallel to up: no side vector, the up axis vanishes too.
    pose = Algo::createLookAt({ 0, 0, 10 }, { 0, 0, 0 }, { 0, 0, 1 });
    EXPECT_EQ((pose.block<3, 1>(0, 0)), Eigen::Vector3d::Zero());
    EXPECT_EQ((pose.block<3, 1>(0, 1)), Eigen::Vector3d::Zero());
    EXPECT_EQ((pose.block<3, 1>(0, 2)), Eigen::Vector3d(0, 0, 1));
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_TRUE(std::isfinite(pose(i, j)));
}

TEST_F(Bullseye, LookAtAlongNeedleSitsBehindTheEntryPoint)
{
    algorithm.setLinePoints({ 10, 20, 30 }, { 10 + 30, 20 + 40, 30 }); // 50 mm, in the xy plane
    const Eigen::Vector3d d = Eigen::Vector3d(3, 4, 0) / 5.0;
    const Eigen::Matrix4d camera = algorithm.createLookAtAlongNeedle(100.0);
    EXPECT_LT(((camera.block<3, 1>(0, 3)) - (Eigen::Vector3d(40, 60, 30) + 250.0 * d)).norm(), 1e-9);
    // Looking at the target A: the camera's third axis points away from it, along the path.
    EXPECT_LT(((camera.block<3, 1>(0, 2)) - d).norm(), 1e-9);
    EXPECT_LT(((camera.block<3, 1>(0, 1)) - Eigen::Vector3d::UnitZ()).norm(), 1e-9);

    // The bullseye placement (offset 0) is bullseyeDistance behind B.
    algorithm.p_bullseyeDistance.setValue(20.0);
    EXPECT_LT(
      (algorithm.createLookAtAlongNeedle(0.0).block<3, 1>(0, 3) - (Eigen::Vector3d(40, 60, 30) + 20.0 * d)).norm(),
      1e-9);

    // Coincident points (or none set): the eye sits on B, looking at A = B, with no direction at all.
    algorithm.setLinePoints({ 5, 5, 5 }, { 5, 5, 5 });
    const Eigen::Matrix4d degenerate = algorithm.createLookAtAlongNeedle(100.0);
    EXPECT_EQ((degenerate.block<3, 1>(0, 3)), Eigen::Vector3d(5, 5, 5));
    EXPECT_EQ((degenerate.topLeftCorner<3, 3>()), Eigen::Matrix3d::Zero());

    // A path along z has no side vector: used unchanged.
    algorithm.setLinePoints({ 0, 0, 0 }, { 0, 0, 50 });
    const Eigen::Matrix4d vertical = algorithm.createLookAtAlongNeedle(0.0);
    EXPECT_EQ((vertical.block<3, 1>(0, 0)), Eigen::Vector3d::Zero());
    EXPECT_EQ((vertical.block<3, 1>(0, 3)), Eigen::Vector3d(0, 0, 70));
}

TEST_F(Bullseye, OverlayCoordinatesInThePlaneOfPathAndTip)
{
    algorithm.setLinePoints({ 0, 0, 0 }, { 0, 0, 100 });
    Eigen::Vector2d tip, shaft;

    // Needle parallel to the path, 5 mm beside it, 30 mm up the path.
    algorithm.computeOverlayParameters(tip, shaft, toolAt({ 5, 0, 30 }, { 0, 0, 1 }));
    EXPECT_LT((tip - Eigen::Vector2d(-5, 30)).norm(), 1e-9);
    EXPECT_LT((shaft - Eigen::Vector2d(-5, 80)).norm(), 1e-9);

    // Tilted across the path (3-4-5): the shaft point ends up 25 mm on the other side.
    algorithm.computeOverlayParameters(tip, shaft, toolAt({ 5, 0, 30 }, { -3.0 / 5.0, 0, 4.0 / 5.0 }));
    EXPECT_LT((tip - Eigen::Vector2d(-5, 30)).norm(), 1e-9);
    EXPECT_LT((shaft - Eigen::Vector2d(25, 70)).norm(), 1e-9);

    // A tip beyond the target has a negative depth; the needle length scales the shaft point.
    algorithm.p_needleLength.setValue(10.0);
    algorithm.computeOverlayParameters(tip, shaft, toolAt({ 0, -7, -12 }, { 0, 0, 1 }));
    EXPECT_LT((tip - Eigen::Vector2d(-7, -12)).norm(), 1e-9);
    EXPECT_LT((shaft - Eigen::Vector2d(-7, -2)).norm(), 1e-9);

    // A tip on the path: both lateral coordinates are 0 for a needle along it.
    algorithm.computeOverlayParameters(tip, shaft, toolAt({ 0, 0, 40 }, { 0, 0, 1 }));
    EXPECT_EQ(tip, Eigen::Vector2d(0, 40));
    EXPECT_EQ(shaft, Eigen::Vector2d(0, 50));
}

TEST_F(Bullseye, OverlayIsInvariantUnderRigidMotionAndTheTipNeverRight)
{
    std::mt19937 rng(4);
    std::uniform_real_distribution<double> coordinate(-100.0, 100.0);
    for (int trial = 0; trial < 50; ++trial)
    {
        const Eigen::Vector3d a(coordinate(rng), coordinate(rng), coordinate(rng));
        const Eigen::Vector3d b(coordinate(rng), coordinate(rng), coordinate(rng));
        const Eigen::Matrix4d tool = randomRigid(rng, 100.0);
        algorithm.setLinePoints(a, b);
        Eigen::Vector2d tip, shaft;
        algorithm.computeOverlayParameters(tip, shaft, tool);
        EXPECT_LE(tip.x(), 0.0);
        // The tip's distance from A is recovered from its two coordinates.
        EXPECT_NEAR(tip.norm(), ((tool.block<3, 1>(0, 3)) - a).norm(), 1e-9);

        const Eigen::Matrix4d motion = randomRigid(rng);
        algorithm.setLinePoints((motion * a.homogeneous()).head<3>(), (motion * b.homogeneous()).head<3>());
        Eigen::Vector2d movedTip, movedShaft;
        algorithm.computeOverlayParameters(movedTip, movedShaft, motion * tool);
        EXPECT_LT((movedTip - tip).norm(), 1e-8);
        EXPECT_LT((movedShaft - shaft).norm(), 1e-8);
    }
}

TEST_F(Bullseye, OverlayWithCoincidentLinePoints)
{
    algorithm.setLinePoints({ 1, 1, 1 }, { 1, 1, 1 });
    Eigen::Vector2d tip, shaft;
    algorithm.computeOverlayParameters(tip, shaft, toolAt({ 4, 5, 1 }, { 0, 0, 1 }));
    EXPECT_EQ(tip, Eigen::Vector2d(-5, 0));
    // No path direction: the shaft point's lateral coordinate is its offset along the tip's lateral direction.
    EXPECT_EQ(shaft.y(), 0.0);
    EXPECT_NEAR(shaft.x(), -5.0, 1e-12);
}

TEST_F(Bullseye, ConfigurationStoresOneMeshPathAndRoundTrips)
{
    // A fresh algorithm saves its own needle mesh, not the tool visualization's default.
    EXPECT_EQ(algorithm.toolVisAlg().p_mesh.value(), ":/TrackingPointerExtended.obj");
    Properties saved;
    algorithm.configuration(&saved);
    EXPECT_FALSE(saved.hasParam("mesh"));
    EXPECT_EQ(saved.paramOr<std::string>("toolMeshPath", ""), ":/TrackingPointerExtended.obj");
    // The tool visualization's keys sit beside the bullseye's, at the same level.
    EXPECT_TRUE(saved.hasParam("trackingTargetId"));
    EXPECT_TRUE(saved.hasParam("qualityThreshold"));
    EXPECT_TRUE(saved.hasParam("viewDistance"));
    EXPECT_TRUE(saved.subPropertiesAll().empty());

    algorithm.p_toolMeshPath.setValue(":/OtherNeedle.obj");
    algorithm.toolVisAlg().p_trackingTargetId.setValue("needle");
    algorithm.p_fontSize.setValue(24);
    algorithm.p_barWidthInMM.setValue(12.5);
    EXPECT_EQ(algorithm.toolVisAlg().p_mesh.value(), ":/OtherNeedle.obj");
    saved.clear();
    algorithm.configuration(&saved);
    const auto reloaded = Properties::fromXml(saved.toXml());
    ASSERT_TRUE(reloaded);

    ManualTrackingStream otherStream;
    Algo copy(&otherStream, &image);
    int meshChanges = 0;
    copy.toolVisAlg().p_mesh.signalChanged.connect([&](ParameterBase*) { ++meshChanges; });
    copy.configure(reloaded.get());
    EXPECT_EQ(copy.p_toolMeshPath.value(), ":/OtherNeedle.obj");
    EXPECT_EQ(copy.toolVisAlg().p_mesh.value(), ":/OtherNeedle.obj");
    EXPECT_EQ(meshChanges, 1);
    EXPECT_EQ(copy.toolVisAlg().p_trackingTargetId.value(), "needle");
    EXPECT_EQ(copy.p_fontSize.value(), 24);
    EXPECT_EQ(copy.p_barWidthInMM.value(), 12.5);
    Properties again;
    copy.configuration(&again);
    EXPECT_EQ(again, saved);

    // Configuring again with the same values changes nothing, so no signal.
    copy.configure(reloaded.get());
    EXPECT_EQ(meshChanges, 1);
    copy.configure(nullptr);
    copy.configuration(nullptr);
}

TEST_F(Bullseye, AMeshKeyOfAnOlderFileIsOverruledByToolMeshPath)
{
    Properties properties;
    properties.setParam<std::string>("toolMeshPath", ":/A.obj");
    properties.setParam<std::string>("mesh", ":/B.obj");
    algorithm.configure(&properties);
    EXPECT_EQ(algorithm.toolVisAlg().p_mesh.value(), ":/A.obj");
    Properties saved;
    algorithm.configuration(&saved);
    EXPECT_FALSE(saved.hasParam("mesh"));
    EXPECT_EQ(saved.paramOr<std::string>("toolMeshPath", ""), ":/A.obj");
}

TEST_F(Bullseye, RelativeMeshPathsBecomeAbsolute)
{
    const std::string name = "BullseyeRelativeMesh.obj";
    {
        std::ofstream file(name);
        file << "v 0 0 0\n";
    }
    Properties properties;
    properties.setParam<std::string>("toolMeshPath", name);
    properties.setParam<std::string>("bullseyeMeshPath", name);
    properties.setParam<std::string>("toolRingMeshPath", "missing/ring.obj");
    algorithm.configure(&properties);
    const std::string absolute = FileSystem::makeAbsolute(name);
    EXPECT_EQ(algorithm.p_toolMeshPath.value(), absolute);
    EXPECT_EQ(algorithm.p_bullseyeMeshPath.value(), absolute);
    EXPECT_EQ(algorithm.p_toolRingMeshPath.value(), "missing/ring.obj");
    EXPECT_EQ(algorithm.toolVisAlg().p_mesh.value(), absolute);
    std::remove(name.c_str());
}

TEST_F(Bullseye, LastToolMatrixForwardsTheOwnedToolVisualization)
{
    ASSERT_TRUE(stream.open());
    ASSERT_TRUE(stream.start());
    auto& toolVisualization = algorithm.toolVisAlg();
    toolVisualization.p_trackingTargetId.setValue("needle");
    toolVisualization.setRunning(true);
    std::mt19937 rng(8);
    const Eigen::Matrix4d pose = randomRigid(rng);
    stream.push({ instrument("needle", pose, 0.9) }, 1);
    ASSERT_TRUE(stream.waitUntilDelivered());
    ASSERT_TRUE(algorithm.lastToolMatrix());
    EXPECT_EQ(*algorithm.lastToolMatrix(), pose);

    stream.push({ instrument("needle", pose, 0.1) }, 2);
    ASSERT_TRUE(stream.waitUntilDelivered());
    EXPECT_FALSE(algorithm.lastToolMatrix());
    stream.close();
}
