#include <cmath>

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QSpinBox>

#include "core/Properties.h"
#include "gui/annotation/AnnotationModel.h"
#include "gui/scene/GlCircle.h"
#include "gui/scene/GlMesh.h"
#include "gui/scene/GlSpline.h"
#include "gui/scene/InteractiveObject.h"
#include "stream/InstrumentCalibrationDataComponent.h"

#include "../visualization/FittedCalibration.h"
#include "../visualization/PanelTestFixture.h"
#include "LogExpectation.h"
#include "navigation/NavigationScene.h"
#include "navigation/ToolNavigationDistanceWidget.h"
#include "navigation/ToolNavigationVisualizationAlgorithm.h"
#include "navigation/ToolNavigationVisualizationController.h"
#include "visualization/ToolVisualizationAlgorithm.h"

namespace Kelvaros::Testing
{
namespace
{
/// A quarter circle of radius 100 mm from the origin (heading +z) to (100, 0, 100), at a fraction of the way.
Eigen::Vector3d onArc(double fraction)
{
    const double angle = fraction * kPi / 2;
    return { 100.0 * (1.0 - std::cos(angle)), 0.0, 100.0 * std::sin(angle) };
}

/// The navigation panel on the needle relative to the reference, with two paths planned on a placed volume.
class NavigationPanel : public PanelTest
{
protected:
    void SetUp() override
    {
        PanelTest::SetUp();
        volume.setMatrix(randomRigid(rng));
        for (ToolVisualizationAlgorithm* tool : { &toolAlgorithm, &algorithm.toolVisualization() })
        {
            tool->p_trackingTargetId.setValue("needle");
            tool->p_trackingTargetRelId.setValue("reference");
        }
        addPath("Arc", 9);
        addPath("Short", 2);
        // A needle with its tip at its sensor: the pose is the tip's, as the fit says.
        stream.components().getOrAdd<InstrumentCalibrationDataComponent>().setCalibration(
          "needle", { Eigen::Matrix4d::Identity(), 0.0 }, fittedBy("pivot+axis"));
        open(panel);
    }

    /// A needle 3 mm beside the arc at `fraction` of its length, pointing back along it, in the volume's coordinates.
    static Eigen::Matrix4d besideArc(double fraction)
    {
        const Eigen::Vector3d tangent = (onArc(fraction + 1e-6) - onArc(fraction)).normalized();
        Eigen::Matrix4d inVolume = pose(onArc(fraction) + Eigen::Vector3d(0, 3, 0));
        inVolume.topLeftCorner<3, 3>() =
          Eigen::Quaterniond::FromTwoVectors(Eigen::Vector3d::UnitZ(), -tangent).matrix();
        return inVolume;
    }

    /// The needle and the reference as the tracker reports them, through the panel's tool visualization.
    void publishPoses(const Eigen::Matrix4d& needle, const Eigen::Matrix4d& reference, ToolVisualizationController& to)
    {
        publish(std::make_shared<TrackingStreamData>(
                  &stream,
                  std::vector<TrackingInstrument>{ instrument("needle", needle), instrument("reference", reference) }),
                to);
    }

    void addPath(const char* name, int segments)
    {
        auto spline = std::make_unique<GlSpline>(name);
        std::vector<Eigen::Vector3d> points;
        for (int i = 0; i <= segments; ++i)
            points.push_back(apply(volume.matrix(), onArc(i / double(segments))));
        spline->setPoints(points);
        application.annotationModel().addAnnotation(std::make_unique<InteractiveObject>(std::move(spline)), &volume);
    }

    std::mt19937 rng{ 7 };
    SharedImageSet volume{ "volume", Eigen::Vector3i(16, 16, 16), Eigen::Vector3d(1, 1, 1) };
    // Built with the volume, as a user opens the tool visualization on the image: it draws the needle on it.
    ToolVisualizationAlgorithm toolAlgorithm{ &stream, &volume };
    ToolNavigationVisualizationAlgorithm algorithm{ &stream };
    ToolNavigationVisualizationController panel{ &algorithm };
};

// Relative tracking registered with type 2 while the stream had another registration: the navigation, built on the
// stream alone, draws the needle where the tool panel built with the volume does, on its true place on the volume,
// and its tip ring and distance bar follow it along the curved path.
TEST_F(NavigationPanel, AgreesWithTheToolPanelOnTheRegisteredVolume)
{
    ToolVisualizationController toolPanel(&toolAlgorithm);
    open(toolPanel);
    const Eigen::Matrix4d imageToReference = registerToReference(volume, rng);
    startStop(toolPanel);
    startStop(panel.toolPanel());
    const Eigen::Matrix4d reference = randomRigid(rng);
    for (double fraction : { 0.1, 0.5, 0.93 })
    {
        SCOPED_TRACE(fraction);
        const Eigen::Matrix4d inVolume = besideArc(fraction);
        const Eigen::Matrix4d onVolume = volume.matrix() * inVolume;
        QSignalSpy changed(&panel, &ToolNavigationVisualizationController::changed);
        publishPoses(reference * imageToReference * inVolume, reference, toolPanel);
        ASSERT_TRUE(changed.count() > 0 || changed.wait(5000));

        EXPECT_TRUE(toolPanel.toolMesh()->matrix().isApprox(onVolume, 1e-9));
        EXPECT_TRUE(panel.toolPanel().toolMesh()->matrix().isApprox(onVolume, 1e-9));
        EXPECT_TRUE(panel.scene()->toolMesh()->matrix().isApprox(onVolume, 1e-9));
        EXPECT_LT((panel.scene()->tipRing()->centre() - apply(volume.matrix(), onArc(fraction))).norm(), 0.5);
        EXPECT_EQ(panel.scene()->targetStatus(), TargetStatus::InsideTipRing);
        EXPECT_NEAR(panel.distanceWidget()->remainingLength().value_or(-1), (1 - fraction) * 50 * kPi, 0.5);
    }
    // Remaining, target radius, text.
    const std::tuple<double, double, const char*> texts[] = {
        { 0.0, 1.0, "0.0 mm" }, { 8.24, 10.0, "8.2 mm" }, { 25.9, 10.0, "25 mm" }, { 10.0, 10.0, "10 mm" }
    };
    for (const auto& [remaining, radius, text] : texts)
        EXPECT_EQ(ToolNavigationDistanceWidget::distanceText(remaining, radius), text);
}

// The distance bar shows a distance only while the needle's figures can be trusted: samples that stop turn it into the
// reason within a few tenths of a second, and so does a needle without a calibrated tip. Stream registration and
// reference at the identity: the tracked pose is the needle's place in the world.
TEST_F(NavigationPanel, DistanceBarWithholdsTheDistanceOfAStaleOrUncalibratedNeedle)
{
    startStop(panel.toolPanel());
    publishPoses(volume.matrix() * besideArc(0.5), Eigen::Matrix4d::Identity(), panel.toolPanel());
    const ToolNavigationDistanceWidget& bar = *panel.distanceWidget();
    EXPECT_EQ(bar.shownText(), "78 mm") << "half the arc's 157 mm, in whole millimetres";
    EXPECT_TRUE(QTest::qWaitFor([&] { return bar.shownText() == "\u2014 Stale: no tracking data"; }, 2000));
    EXPECT_EQ(panel.toolPanel().toolMesh()->color(), Eigen::Vector3d(0.898, 0.223, 0.207)) << "not seen any more";

    stream.components().get<InstrumentCalibrationDataComponent>()->removeCalibration("needle");
    publishPoses(volume.matrix() * besideArc(0.5), Eigen::Matrix4d::Identity(), panel.toolPanel());
    EXPECT_EQ(bar.shownText(), "\u2014 Tip not calibrated");
    EXPECT_TRUE(panel.toolPanel().calibrationWarningLabel()->isVisibleTo(&panel.toolPanel()));
}

TEST_F(NavigationPanel, SettingsRoundTripThroughTheWidgets)
{
    const NavigationSettings chosen{ 4.5,
                                     PathType::Funnel,
                                     60.0,
                                     RingSpacing::Exponential,
                                     7,
                                     CameraLink::NeedleSide,
                                     RingVisibility::Fading,
                                     CenterLineVisibility::Line };
    Properties stored;
    chosen.configuration(stored);
    panel.configure(stored);
    EXPECT_EQ(panel.scene()->settings(), chosen);
    EXPECT_TRUE(panel.findChild<QDoubleSpinBox*>("doubleSpinBox_growth")->isEnabled());

    Properties written;
    panel.configuration(written);
    NavigationSettings reread;
    reread.configure(written);
    EXPECT_EQ(reread, chosen);

    panel.findChild<QComboBox*>("comboBox_link")->setCurrentIndex(int(CameraLink::Rings));
    EXPECT_FALSE(panel.findChild<QSpinBox*>("spinBox_number")->isEnabled())
      << "the Rings camera locks the path's shape";
}

TEST_F(NavigationPanel, RemovingTheSelectedSplineSelectsTheNext)
{
    AnnotationModel& model = application.annotationModel();
    LogExpectation warning(Log::Warning, "The currently selected spline was removed, taking the next one available");
    model.removeAnnotation(model.getAnnotations()[0]);
    EXPECT_EQ(panel.findChild<QComboBox*>("comboBox_splines")->count(), 1);
    ASSERT_NE(panel.scene()->spline(), nullptr);
    EXPECT_EQ(panel.scene()->spline()->name(), "Short");

    LogExpectation error(Log::Error,
                         "No splines could be found on the annotation model or the name is invalid (empty)");
    model.removeAnnotation(model.getAnnotations()[0]);
    EXPECT_EQ(panel.scene()->spline(), nullptr);
    EXPECT_FALSE(panel.distanceWidget()->remainingLength());
    EXPECT_EQ(panel.distanceWidget()->shownText(), "No path");
    model.undo();
    EXPECT_EQ(panel.findChild<QComboBox*>("comboBox_splines")->currentText(), "Short")
      << "an annotation brought back is offered again";
}

} // namespace
} // namespace Kelvaros::Testing
