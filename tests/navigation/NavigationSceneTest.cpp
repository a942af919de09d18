#include "navigation/NavigationScene.h"

#include <cmath>
#include <tuple>

#include <QCoreApplication>

#include "gui/scene/GlCircle.h"
#include "gui/scene/GlMesh.h"
#include "gui/scene/GlSpline.h"
#include "gui/view/GlVolumeView.h"
#include "stream/InstrumentCalibrationDataComponent.h"

#include "../host/gui/GuiTestFixture.h"
#include "../visualization/FittedCalibration.h"
#include "LogExpectation.h"
#include "TrackingTestSupport.h"
#include "WaitUntil.h"
#include "navigation/ToolNavigationVisualizationAlgorithm.h"
#include "visualization/ToolVisualizationAlgorithm.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
/// A quarter circle of radius 100 mm from the origin (heading +z) to (100, 0, 100), at a fraction of the way.
Eigen::Vector3d onArc(double fraction)
{
    const double angle = fraction * kPi / 2;
    return { 100.0 * (1.0 - std::cos(angle)), 0.0, 100.0 * std::sin(angle) };
}

Eigen::Vector3d onLine(double fraction)
{
    return { 0, 0, 100 * fraction };
}

const std::vector<Eigen::Vector3d> kEven{ onLine(0), onLine(0.5), onLine(1) }; // spline coordinate u at z = 100 u
} // namespace

class NavigationSceneTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QApplication::instance()) << "no X display: run through scripts/with-display";
        algorithm.toolVisualization().p_trackingTargetId.setValue("needle");
        algorithm.toolVisualization().setRunning(true);
        // A needle with its tip at its sensor: the pose is the tip's, as the fit says.
        stream.components().getOrAdd<InstrumentCalibrationDataComponent>().setCalibration(
          "needle", { Eigen::Matrix4d::Identity(), 0.0 }, fittedBy("pivot+axis"));
        scene.signalChanged.connect([this] { ++changes; });
    }

    void select(const std::vector<Eigen::Vector3d>& points)
    {
        path.setPoints(points);
        ASSERT_TRUE(scene.selectSpline(&path));
    }

    /// The needle's tip at `tip`, its shaft (z) along `shaft`, then the scene's update.
    void moveNeedle(const Eigen::Vector3d& tip, const Eigen::Vector3d& shaft = { 0, 0, -1 })
    {
        Eigen::Matrix4d needle = pose(tip);
        needle.topLeftCorner<3, 3>() = Eigen::Quaterniond::FromTwoVectors(Eigen::Vector3d::UnitZ(), shaft).matrix();
        stream.publish({ instrument("needle", needle) });
        scene.update();
    }

    DriverStream stream;
    ToolNavigationVisualizationAlgorithm algorithm{ &stream };
    GlVolumeView view;
    GlSpline path{ "Path" };
    NavigationScene scene{ algorithm, view };
    int changes = 0;
};

TEST_F(NavigationSceneTest, TipRingFollowsTheNeedleAlongStraightAndCurvedPaths)
{
    std::vector<Eigen::Vector3d> arc;
    for (int i = 0; i <= 9; ++i)
        arc.push_back(onArc(i / 9.0));
    // Name, control points, ground truth at a fraction of the way, length.
    const std::tuple<const char*, std::vector<Eigen::Vector3d>, Eigen::Vector3d (*)(double), double> paths[] = {
        { "straight, uneven points", { onLine(0), onLine(0.25), onLine(1) }, onLine, 100.0 },
        { "curved", arc, onArc, 50 * kPi },
    };
    for (const auto& [name, points, truth, length] : paths)
    {
        select(points);
        for (double fraction : { 0.1, 0.45, 0.8 })
        {
            SCOPED_TRACE(testing::Message() << name << " at " << fraction);
            // 3 mm off the path, across its plane: the nearest path point is the one at this fraction.
            const Eigen::Vector3d tangent = (truth(fraction + 1e-6) - truth(fraction)).normalized();
            const Eigen::Vector3d tip = truth(fraction) + Eigen::Vector3d(0, 3, 0);
            moveNeedle(tip, -tangent);
            const GlCircle& ring = *scene.tipRing();
            EXPECT_LT((ring.centre() - truth(fraction)).norm(), 0.5);
            EXPECT_LT(std::abs(ring.axisA().dot(tangent)) + std::abs(ring.axisB().dot(tangent)), 0.02);
            EXPECT_NEAR(ring.axisA().norm() + ring.axisB().norm(), 2.0, 1e-9);
            EXPECT_NEAR(scene.remainingLength().value_or(-1), (1 - fraction) * length, 0.5);
            EXPECT_EQ(scene.targetStatus(), TargetStatus::InsideTipRing);
            EXPECT_EQ(scene.centerLine().points(), (std::vector<Eigen::Vector3d>{ ring.centre(), tip }));
        }
    }
}

TEST_F(NavigationSceneTest, TargetSphereTurnsCyanWhenTheTipEntersIt)
{
    select(kEven);
    const GlMesh& sphere = *scene.targetSphere();
    moveNeedle({ 40, 0, 50 });
    EXPECT_EQ(scene.targetStatus(), TargetStatus::Outside);
    EXPECT_EQ(scene.tipRing()->color(), Eigen::Vector3d(1, 0, 0));
    EXPECT_EQ(sphere.color(), Eigen::Vector3d(1, 1, 1));
    moveNeedle({ 6, 0, 95 });
    EXPECT_EQ(scene.targetStatus(), TargetStatus::InsideTarget);
    EXPECT_EQ(sphere.color(), Eigen::Vector3d(0, 1, 1));
    EXPECT_EQ(scene.tipRing()->color(), Eigen::Vector3d(0, 1, 0));
    // No valid pose: nothing moves, and nothing claims the tip is in the target.
    stream.publish({ instrument("needle", pose({ 40, 0, 50 }), 0.0) });
    scene.update();
    EXPECT_EQ(scene.figureJudgement().state, FigureState::NotVisible);
    EXPECT_EQ(scene.targetStatus(), TargetStatus::Outside);
    EXPECT_EQ(sphere.color(), Eigen::Vector3d(1, 1, 1));
    EXPECT_EQ(scene.tipRing()->color(), Eigen::Vector3d(0.55, 0.55, 0.55));
    EXPECT_EQ(scene.needlePose()->col(3).head<3>(), Eigen::Vector3d(6, 0, 95));
    EXPECT_EQ(changes, 3);
}

// A needle seen but not calibrated, or far from a plan never registered to it: the view follows the tool, but no
// remaining length, distance label or target status is claimed.
TEST_F(NavigationSceneTest, FiguresOfAnUntrustedNeedleAreWithheld)
{
    select(kEven);
    auto& calibrations = *stream.components().get<InstrumentCalibrationDataComponent>();
    calibrations.removeCalibration("needle");
    moveNeedle({ 0, 2, 60 });
    EXPECT_EQ(scene.figureJudgement().state, FigureState::Uncalibrated);
    EXPECT_LT((scene.tipRing()->centre() - Eigen::Vector3d(0, 0, 60)).norm(), 0.5) << "the view follows the tool";
    EXPECT_FALSE(scene.remainingLength());
    EXPECT_FALSE(scene.centerLine().labelVisible());
    EXPECT_EQ(scene.tipRing()->color(), Eigen::Vector3d(0.55, 0.55, 0.55));

    calibrations.setCalibration("needle", { translation({ 0, 0, -2 }), 0.0 }); // tip 2 mm ahead of the sensor
    moveNeedle({ 0, 2, 1260 });                                                // the tracker's space, 1.2 m away
    EXPECT_EQ(scene.figureJudgement().state, FigureState::NotRegistered);
    EXPECT_NEAR(scene.figureJudgement().outsideMm, 1162.0, 0.01);
    EXPECT_FALSE(scene.remainingLength());
    moveNeedle({ 0, 2, 72 });
    EXPECT_NEAR(scene.remainingLength().value_or(-1), 26.0, 0.5);
    EXPECT_TRUE(scene.centerLine().labelVisible());
}

TEST_F(NavigationSceneTest, SettingsReshapeThePath)
{
    select(kEven);
    moveNeedle({ 0, 0, 52 });
    const std::vector<const GlCircle*> rings = scene.rings();
    ASSERT_EQ(rings.size(), 10u);
    EXPECT_LT((rings[3]->centre() - Eigen::Vector3d(0, 0, 30)).norm(), 1e-6);

    NavigationSettings settings;
    settings.pathType = PathType::Funnel;
    settings.pathSeparation = RingSpacing::Exponential;
    settings.ringVisibility = RingVisibility::Fading;
    settings.lineVisibility = CenterLineVisibility::Line;
    scene.setSettings(settings);
    ASSERT_EQ(scene.rings(), rings) << "a new spacing moves the rings it has";
    EXPECT_NEAR(rings[9]->centre().z(), 96.02, 0.01);
    EXPECT_NEAR(rings[0]->radius(), 15 * std::exp(1.0), 1e-3);
    // Rings at 0, 28.9, 45.8, 57.8, 67.1, 74.7, 81.1, 86.7, 91.6, 96.0 from a tip ring at 52.
    std::vector<double> alphas;
    for (const GlCircle* ring : rings)
        alphas.push_back(ring->alpha());
    EXPECT_EQ(alphas, (std::vector<double>{ 0, 0, 1, 1, 0.4, 0.4, 0, 0, 0, 0 }));
    EXPECT_TRUE(scene.centerLine().visible());
    EXPECT_FALSE(scene.centerLine().labelVisible());
    moveNeedle({ 0, 0, 76 });
    EXPECT_NEAR(scene.tipRing()->radius(), 15 * std::exp(0.24), 1e-3);

    settings.ringsNumber = 4;
    settings.ringVisibility = RingVisibility::FixedOnly;
    scene.setSettings(settings);
    ASSERT_EQ(scene.rings().size(), 4u);
    EXPECT_FALSE(scene.tipRing()->visible());
}

TEST_F(NavigationSceneTest, FollowsEditsAndLetsGoOfADeletedSpline)
{
    auto owned = std::make_unique<GlSpline>("Planned");
    owned->setPoints(kEven);
    ASSERT_TRUE(scene.selectSpline(owned.get()));
    EXPECT_FALSE(owned->labelVisible()) << "the path's length would stand beside the centre line's distance";
    select(kEven);
    EXPECT_TRUE(owned->labelVisible());
    ASSERT_TRUE(scene.selectSpline(owned.get()));
    int removals = 0;
    scene.signalSplineRemoved.connect([&] { ++removals; });

    owned->setPoints({ { 10, 0, 0 }, { 10, 0, 60 } });
    EXPECT_TRUE(scene.rings()[0]->centre().isApprox(Eigen::Vector3d(10, 0, 0)));
    EXPECT_TRUE(scene.targetSphere()->matrix().col(3).head<3>().isApprox(Eigen::Vector3d(10, 0, 60)));
    const std::size_t objects = view.objects().size();

    LogExpectation expect(Log::Warning, "The currently selected spline was removed", 1);
    owned.reset();
    EXPECT_EQ(removals, 1);
    EXPECT_EQ(view.objects().size(), objects - 12) << "rings, tip ring and target sphere";
}

TEST_F(NavigationSceneTest, RefusesPathsItCannotUse)
{
    LogExpectation empty(Log::Error, "An invalid or empty spline was selected", 1);
    LogExpectation onePoint(Log::Error, "Not enough points on spline to create a circle.", 1);
    EXPECT_FALSE(scene.selectSpline(&path));
    path.setPoints({ { 0, 0, 0 } });
    EXPECT_TRUE(scene.selectSpline(&path));
}

TEST_F(NavigationSceneTest, CameraLinks)
{
    select(kEven);
    NavigationSettings settings;
    // Rings: at the ring before the last one behind the tip at once, then gliding on to the next.
    settings.linkTo = CameraLink::Rings;
    scene.setSettings(settings);
    moveNeedle({ 1, 0, 35 });
    EXPECT_LT((view.camera().position() - Eigen::Vector3d(0, 0, 20)).norm(), 1e-9);
    moveNeedle({ 1, 0, 45 });
    EXPECT_LT((view.camera().position() - Eigen::Vector3d(0, 0, 20)).norm(), 1e-9);
    moveNeedle({ 1, 0, 65 });
    EXPECT_TRUE(waitUntil(
      [&]
      {
          QCoreApplication::processEvents();
          return (view.camera().position() - Eigen::Vector3d(0, 0, 30)).norm() < 1e-6;
      })); // at the ring behind the tip's first move, not the one during the glide
}
