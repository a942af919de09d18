#include <atomic>
#include <thread>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QTemporaryDir>

#include <fmt/format.h>

#include "gui/annotation/AnnotationModel.h"
#include "gui/controller/DefaultControllerDecorator.h"
#include "gui/scene/GlLine.h"
#include "gui/scene/GlMesh.h"
#include "gui/scene/GlPoint.h"
#include "gui/scene/InteractiveObject.h"
#include "gui/tracking/GlTrackingStream.h"
#include "gui/tracking/TrackingInstrumentComboBox.h"
#include "gui/view/GlSliceView.h"
#include "gui/view/GlView.h"
#include "gui/view/ImageViewSlice.h"
#include "lib/geometry/MeshCreator.h"
#include "lib/geometry/MeshIO.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/LatestTrackingSample.h"
#include "stream/sources/TrackingSimulator.h"

#include "FittedCalibration.h"
#include "LogExpectation.h"
#include "PanelTestFixture.h"
#include "visualization/BreachTonePlayer.h"
#include "visualization/BreachWarningAlgorithm.h"
#include "visualization/BreachWarningController.h"
#include "visualization/BullseyeScene.h"
#include "visualization/BullseyeVisualizationAlgorithm.h"
#include "visualization/BullseyeVisualizationController.h"
#include "visualization/GlInsertionReadoutOverlay.h"
#include "visualization/GlToolTargetOverlay.h"
#include "visualization/InsertionReadoutWidget.h"
#include "visualization/ToolVisualizationAlgorithm.h"
#include "visualization/ToolVisualizationController.h"

namespace Kelvaros::Testing
{
namespace
{
class VisualizationPanels : public PanelTest
{
};

/// A breach warning on the calibrated "needle" against a vessel of 5 mm radius at the origin (5 mm margin).
class BreachPanels : public PanelTest
{
protected:
    void SetUp() override
    {
        PanelTest::SetUp();
        const std::string vessel = folder.filePath("Vessel.obj").toStdString();
        ASSERT_TRUE(MeshIO::saveObj(*MeshCreator::createSphere(5.0, 64), vessel));
        stream.components().getOrAdd<InstrumentCalibrationDataComponent>().setCalibration(
          "needle", { Eigen::Matrix4d::Identity(), 0.0 }, fittedBy("pivot+axis"));
        breach.tool.setValue("needle");
        std::string reason;
        ASSERT_TRUE(breach.addStructure(vessel, &reason)) << reason;
    }

    static std::shared_ptr<TrackingStreamData> needleAt(DriverStream& stream, const Eigen::Vector3d& tip, bool seen)
    {
        return std::make_shared<TrackingStreamData>(
          &stream, std::vector{ instrument("needle", pose(tip), seen ? 1.0 : 0.0, seen) });
    }

    QTemporaryDir folder;
    SharedImageSet volume{ "volume", Eigen::Vector3i(40, 40, 40), Eigen::Vector3d(1, 1, 1) };
    BreachWarningAlgorithm breach{ stream, volume };
};

// The simulated insertion with frequent dropouts: the mesh sits at the algorithm's pose, yellow while seen and red
// at its last place while not, the slice views pass through the tip, and one sphere per raw fiducial is shown.
TEST_F(VisualizationPanels, ToolPanelFollowsTheSimulatedInsertion)
{
    const TrackingSimulator simulator({ 60.0, 0.1, 0.3, TrackingSimulator::Scenario::Insertion, 3 });
    ToolVisualizationAlgorithm algorithm(&stream, nullptr);
    algorithm.p_trackingTargetId.setValue("Needle");
    algorithm.p_showRawFiducials.setValue(true);
    ToolVisualizationController panel(&algorithm);
    open(panel);
    startStop(panel);
    ASSERT_EQ(panel.toolObjects().size(), 2u);
    ASSERT_NE(panel.toolMesh(), nullptr) << "the host's pointer mesh did not load";
    EXPECT_EQ(panel.toolMesh()->frontMaterial().specular, Eigen::Vector3d::Ones());
    EXPECT_EQ(panel.toolMesh()->backMaterial().diffuse, Eigen::Vector3d(0.5, 0.5, 0));

    std::optional<Eigen::Matrix4d> lastSeen;
    int dropouts = 0;
    for (int k = 0; k < 30; ++k)
    {
        const TrackingSimulator::Frame frame = simulator.frame(k);
        auto sample = std::make_shared<TrackingStreamData>(&stream, frame.instruments);
        sample->components().add(std::make_unique<TrackingInstrumentFiducialsData>(frame.fiducials));
        publish(sample, panel);
        const std::optional<Eigen::Matrix4d> tool = algorithm.lastToolMatrix();
        EXPECT_EQ(panel.toolMesh()->color(), tool ? Eigen::Vector3d(1, 1, 0) : Eigen::Vector3d(0.898, 0.223, 0.207));
        dropouts += !tool;
        if (tool)
            lastSeen = tool;
        if (lastSeen)
        {
            EXPECT_TRUE(panel.toolMesh()->matrix().isApprox(*lastSeen)) << "frame " << k;
        }
        for (int view = 0; tool && view < 3; ++view)
            EXPECT_NEAR(display.viewSlice(view)->sliceView().slice().signedDistance(tool->block<3, 1>(0, 3)), 0, 1e-9);
        int shown = 0;
        for (const auto& sphere : panel.fiducialSpheres())
            shown += sphere->visible();
        EXPECT_EQ(shown, int(frame.fiducials.size()));
    }
    EXPECT_GT(dropouts, 0);
    EXPECT_LT(dropouts, 30);

    startStop(panel);
    EXPECT_TRUE(panel.toolObjects().empty());
    EXPECT_TRUE(application.annotationModel().getAnnotations().empty());
}

// Samples pour in from the tracker's thread, the tool at x = n mm in the stream's n-th sample: whenever a view
// paints, the tool mesh, the linked slice views and the stream's glyph in that view show the same sample.
TEST_F(VisualizationPanels, ToolPanelShowsTheSampleTheViewsDraw)
{
    ToolVisualizationAlgorithm algorithm(&stream, nullptr);
    algorithm.p_trackingTargetId.setValue("A");
    ToolVisualizationController panel(&algorithm);
    open(panel);
    display.resize(320, 240);
    display.setVisibleData(DataList{ &stream });
    display.show();
    startStop(panel);
    ASSERT_NE(panel.toolMesh(), nullptr);
    const uint64_t before = stream.latest().sequence();
    int checked = 0;
    std::string mismatch;
    for (InteractiveView* view : display.views())
        QObject::connect(view, &InteractiveView::painted,
                         [&, view]
                         {
                             const GlTrackingStream* glyph = nullptr;
                             for (GlObject* object : view->glView().objects())
                                 glyph = glyph ? glyph : dynamic_cast<const GlTrackingStream*>(object);
                             const double drawn = double(glyph->drawnSequence()) - double(before);
                             const double mesh = panel.toolMesh()->matrix()(0, 3);
                             const double slice = display.viewSlice(1)->sliceView().slice().pose()(0, 3);
                             if (drawn < 1 || mesh < 1)
                                 return;
                             ++checked;
                             if (mismatch.empty() && (std::abs(mesh - drawn) > 1e-6 || std::abs(slice - drawn) > 1e-6))
                                 mismatch = fmt::format("glyph {}, mesh {}, slice {}", drawn, mesh, slice);
                         });
    std::atomic<bool> stop{ false };
    std::thread tracker(
      [&]
      {
          for (int n = 1; !stop; ++n)
          {
              stream.publish({ instrument("A", pose({ double(n), 0, 0 })) });
              std::this_thread::sleep_for(std::chrono::microseconds(200));
          }
      });
    const bool enough = QTest::qWaitFor([&] { return checked >= 40; }, 10000);
    stop = true;
    tracker.join();
    ASSERT_TRUE(enough) << checked << " views painted";
    EXPECT_EQ(mismatch, "");
}

// Views let go by the tool turn upright in their planes at its last tip.
TEST_F(VisualizationPanels, ToolPanelReturnsTheViewsToTheirPlanesWhenLinkingStops)
{
    const TrackingSimulator simulator({ 60.0, 0.1, 0.0, TrackingSimulator::Scenario::Insertion, 3 });
    ToolVisualizationAlgorithm algorithm(&stream, nullptr);
    algorithm.p_trackingTargetId.setValue("Needle");
    ToolVisualizationController panel(&algorithm);
    open(panel);
    startStop(panel);
    publish(std::make_shared<TrackingStreamData>(&stream, simulator.frame(5).instruments), panel);
    const Eigen::Vector3d tip = algorithm.lastToolMatrix().value().block<3, 1>(0, 3);
    const auto upright = [&](int k)
    { return display.viewSlice(k)->sliceView().slice().pose().isApprox(Slice(*Slice::planeFromIndex(k), tip).pose()); };
    ASSERT_FALSE(upright(0)) << "the views did not follow the tool";
    panel.findChild<QCheckBox*>("checkBox_linkViews")->setChecked(false);
    EXPECT_TRUE(upright(0) && upright(1) && upright(2));
}

// The form starts from the parameters, each check box writes its own, and the dependent options follow.
TEST_F(VisualizationPanels, ToolPanelOptionsWriteTheirParameters)
{
    ToolVisualizationAlgorithm algorithm(&stream, nullptr);
    algorithm.p_linkWithRot.setValue(false);
    ToolVisualizationController panel(&algorithm);
    open(panel);
    const auto box = [&](const char* name) { return panel.findChild<QCheckBox*>(name); };
    EXPECT_FALSE(box("checkBox_includeRotations")->isChecked());
    EXPECT_FALSE(box("checkBox_snapToClosestAxis")->isEnabled());
    const std::vector<std::pair<const char*, Parameter<bool>*>> rows{
        { "checkBox_rawFiducials", &algorithm.p_showRawFiducials },
        { "checkBox_linkViews", &algorithm.p_linkMPRs },
        { "checkBox_includeRotations", &algorithm.p_linkWithRot },
        { "checkBox_projectiveRendering", &algorithm.p_projectiveRendering },
        { "checkBox_snapToClosestAxis", &algorithm.p_snapToClosestAxis },
        { "checkBox_ignoreInPlaneTranslation", &algorithm.p_ignoreInPlaneTranslation }
    };
    for (const auto& [name, parameter] : rows)
    {
        const bool before = parameter->value();
        box(name)->toggle();
        EXPECT_NE(parameter->value(), before) << name;
    }
    const QGroupBox* options = panel.findChild<QGroupBox*>("groupBox_mprOptions");
    EXPECT_FALSE(options->isEnabled());
    EXPECT_TRUE(box("checkBox_snapToClosestAxis")->isEnabledTo(options)) << "rotations are linked again";
}

// Relative tracking registered with type 2 while the stream had another registration: the tool panel built with the
// volume and the bullseye built without it draw the needle at the same place on the volume. The bullseye scene
// needs the volume's line annotation and logs the error until there is one, and hides the line's length label while
// it shows, where the needle's name stands half way in.
TEST_F(VisualizationPanels, BullseyeDrawsTheRegisteredNeedleWhereTheToolPanelDoes)
{
    std::mt19937 rng(5);
    SharedImageSet volume{ "volume", Eigen::Vector3i(16, 16, 16), Eigen::Vector3d(1, 1, 1) };
    volume.setMatrix(randomRigid(rng));
    ToolVisualizationAlgorithm toolAlgorithm(&stream, &volume);
    BullseyeVisualizationAlgorithm bullseyeAlgorithm(&stream, &volume);
    for (ToolVisualizationAlgorithm* a : { &toolAlgorithm, &bullseyeAlgorithm.toolVisAlg() })
    {
        a->p_trackingTargetId.setValue("needle");
        a->p_trackingTargetRelId.setValue("reference");
    }
    ToolVisualizationController toolPanel(&toolAlgorithm);
    BullseyeVisualizationController bullseye(&bullseyeAlgorithm);
    open(toolPanel);
    open(bullseye);
    EXPECT_EQ(bullseye.toolFrame().title(), "Tool Visualization");
    {
        LogExpectation error(Log::Error, "No line annotation attached to input image", 1);
        startStop(bullseye);
    }
    EXPECT_FALSE(bullseye.isRunning());
    const Eigen::Vector3d target(4, 5, 6), entry(4, 5, 46);
    auto path = std::make_unique<GlLine>();
    path->setPoints({ target, entry });
    const GlLine& line = *path;
    application.annotationModel().addAnnotation(std::make_unique<InteractiveObject>(std::move(path)), &volume);
    startStop(bullseye);
    ASSERT_TRUE(bullseye.isRunning());
    EXPECT_EQ(bullseyeAlgorithm.linePointB(), entry);
    EXPECT_FALSE(line.labelVisible());
    startStop(bullseye);
    EXPECT_TRUE(line.labelVisible());
    startStop(bullseye);

    const Eigen::Matrix4d imageToReference = registerToReference(volume, rng);

    for (ToolVisualizationController* panel : { &toolPanel, &bullseye.toolPanel() })
        startStop(*panel);
    const Eigen::Matrix4d reference = randomRigid(rng), needle = randomRigid(rng);
    QSignalSpy bullseyeUpdated(&bullseye.toolPanel(), &ToolVisualizationController::visualizationUpdated);
    publish(
      std::make_shared<TrackingStreamData>(
        &stream, std::vector<TrackingInstrument>{ instrument("needle", needle), instrument("reference", reference) }),
      toolPanel);
    ASSERT_TRUE(bullseyeUpdated.count() > 0 || bullseyeUpdated.wait(5000));
    const Eigen::Matrix4d onVolume = volume.matrix() * imageToReference.inverse() * reference.inverse() * needle;
    EXPECT_TRUE(toolPanel.toolMesh()->matrix().isApprox(onVolume, 1e-9));
    EXPECT_TRUE(bullseye.toolPanel().toolMesh()->matrix().isApprox(onVolume, 1e-9));
    EXPECT_TRUE(bullseye.scene().tipMarker()->points().front().isApprox(onVolume.block<3, 1>(0, 3), 1e-9));
}

// The bullseye's read-out and depth bar show figures only while they rest on a calibrated tip and a plan the needle is
// registered to: an uncalibrated needle and a needle a tracker's distance from an image never registered to it get the
// reason instead, and the tool panel says what the calibration lacks.
TEST_F(VisualizationPanels, BullseyeWithholdsFiguresOfAnUncalibratedOrUnregisteredNeedle)
{
    SharedImageSet volume{ "volume", Eigen::Vector3i(16, 16, 16), Eigen::Vector3d(1, 1, 1) };
    BullseyeVisualizationAlgorithm algorithm(&stream, &volume);
    algorithm.toolVisAlg().p_trackingTargetId.setValue("needle");
    BullseyeVisualizationController bullseye(&algorithm);
    open(bullseye);
    auto path = std::make_unique<GlLine>();
    path->setPoints({ { 4, 5, 6 }, { 4, 5, 46 } });
    application.annotationModel().addAnnotation(std::make_unique<InteractiveObject>(std::move(path)), &volume);
    startStop(bullseye);
    startStop(bullseye.toolPanel());
    const auto shown = [&](const Eigen::Vector3d& tip)
    {
        publish(std::make_shared<TrackingStreamData>(&stream, std::vector{ instrument("needle", pose(tip)) }),
                bullseye.toolPanel());
        return std::pair(bullseye.toolPanel().readoutWidget()->labels()[0]->text().toStdString(),
                         bullseye.scene().targetOverlay()->shownLabel());
    };
    const QLabel& warning = *bullseye.toolPanel().calibrationWarningLabel();

    EXPECT_EQ(shown({ 4, 5, 26 }), std::pair(std::string("Tip not calibrated"), std::string("\u2014")));
    EXPECT_TRUE(warning.isVisibleTo(&bullseye.toolPanel()) && warning.text().startsWith("'needle' has no tip"));

    stream.components().getOrAdd<InstrumentCalibrationDataComponent>().setCalibration(
      "needle", { Eigen::Matrix4d::Identity(), 0.0 }, fittedBy("pivot"));
    EXPECT_EQ(shown({ 4, 5, 26 }), std::pair(std::string("To target 20.0 mm"), std::string("20.00")));
    EXPECT_TRUE(warning.text().startsWith("'needle' has no axis calibration"));
    EXPECT_EQ(shown({ 4, 5, -1180 }), std::pair(std::string("Not registered:"), std::string("\u2014")));
    EXPECT_EQ(bullseye.toolPanel().readoutWidget()->labels()[1]->text(), "tool 1172 mm from plan");
}

// The breach panel opened with no tool chosen reads the tool its list shows; a tool chosen before stays chosen.
TEST_F(VisualizationPanels, BreachPanelReadsTheToolItShows)
{
    stream.publish(
      { instrument("pointer", translation({ 0, 0, 12 })), instrument("needle", translation({ 0, 0, 30 })) });
    SharedImageSet volume("volume", Eigen::Vector3i(40, 40, 40), Eigen::Vector3d(1, 1, 1));
    for (const std::string chosen : { "", "needle" })
    {
        BreachWarningAlgorithm algorithm(stream, volume);
        algorithm.tool.setValue(chosen);
        BreachWarningController panel(&algorithm);
        open(panel);
        const auto* list = panel.findChild<TrackingInstrumentComboBox*>("tool");
        EXPECT_EQ(algorithm.tool.value(), chosen.empty() ? "pointer" : chosen);
        EXPECT_EQ(list->selectedInstrumentId(), algorithm.tool.value());
        stream.publish(
          { instrument("pointer", translation({ 0, 0, 12 })), instrument("needle", translation({ 0, 0, 30 })) });
        panel.refreshReading();
        EXPECT_EQ(panel.readingText(), "Tip not calibrated") << chosen;
    }
}

// The bullseye's read-out (widget and 3D text) and a tool panel without a path show the breach warning's reading of
// their tool, withheld as it is; a panel following another tool shows none.
TEST_F(BreachPanels, ReadoutsShowTheBreachReadingOfTheirTool)
{
    BullseyeVisualizationAlgorithm algorithm(&stream, &volume);
    algorithm.toolVisAlg().p_trackingTargetId.setValue("needle");
    BullseyeVisualizationController bullseye(&algorithm);
    ToolVisualizationAlgorithm toolAlgorithm(&stream, nullptr);
    toolAlgorithm.p_trackingTargetId.setValue("needle");
    ToolVisualizationController toolPanel(&toolAlgorithm);
    open(bullseye);
    open(toolPanel);
    auto path = std::make_unique<GlLine>();
    path->setPoints({ { 4, 5, 6 }, { 4, 5, 46 } });
    application.annotationModel().addAnnotation(std::make_unique<InteractiveObject>(std::move(path)), &volume);
    for (QWidget* panel : std::initializer_list<QWidget*>{ &bullseye, &bullseye.toolPanel(), &toolPanel })
        startStop(*panel);
    const InsertionReadoutWidget& alone = *toolPanel.readoutWidget();
    const auto shown = [&](const Eigen::Vector3d& tip, bool seen)
    {
        QSignalSpy toolUpdated(&toolPanel, &ToolVisualizationController::visualizationUpdated);
        publish(needleAt(stream, tip, seen), bullseye.toolPanel());
        EXPECT_TRUE(toolUpdated.count() > 0 || toolUpdated.wait(5000));
        EXPECT_TRUE(alone.isVisibleTo(&toolPanel) && !alone.labels()[1]->isVisibleTo(&toolPanel));
        const auto lines = readoutLines(bullseye.scene().readoutOverlay()->readout());
        EXPECT_EQ(lines.back().text,
                  bullseye.toolPanel().readoutWidget()->labels()[lines.size() - 1]->text().toStdString());
        return std::pair(lines.back().text, alone.labels()[0]->text().toStdString());
    };
    EXPECT_EQ(shown({ 0, 8, 0 }, true), std::pair(std::string("Vessel: 3.0 mm"), std::string("Vessel: 3.0 mm")));
    EXPECT_TRUE(alone.labels()[0]->styleSheet().contains("rgb(200, 130, 0)"));
    EXPECT_EQ(shown({ 2, 0, 0 }, true).first, "BREACH: \u22483 mm inside Vessel");
    EXPECT_EQ(shown({ 2, 0, 0 }, false).second, "Tool not visible");
    toolAlgorithm.p_trackingTargetId.setValue("pointer");
    publish(needleAt(stream, { 0, 8, 0 }, true), toolPanel);
    EXPECT_FALSE(alone.isVisibleTo(&toolPanel));
}

// Checked, the tone beeps within the margin, holds inside, and falls silent when the tool is lost or it is unchecked;
// without a sound device it stays silent without an error.
TEST_F(BreachPanels, ToneFollowsTheReadingWhileChecked)
{
    BreachWarningController panel(&breach);
    open(panel);
    auto* tone = panel.findChild<QCheckBox*>("tone");
    const auto heard = [&](const Eigen::Vector3d& tip, bool seen)
    {
        stream.publish(needleAt(stream, tip, seen));
        panel.refreshReading();
        return panel.tonePlayer().tone();
    };
    EXPECT_FALSE(heard({ 0, 8, 0 }, true).audible);
    QTest::mouseClick(tone, Qt::LeftButton, {}, QPoint(4, tone->height() / 2));
    EXPECT_TRUE(breach.tone.value());
    const BreachTone beeps = heard({ 0, 8, 0 }, true);
    EXPECT_TRUE(beeps == breachTone(breach.reading().distance, 5.0) && beeps.periodMs > 0);
    EXPECT_EQ(heard({ 2, 0, 0 }, true).periodMs, 0);
    EXPECT_FALSE(heard({ 2, 0, 0 }, false).audible);
    heard({ 2, 0, 0 }, true);
    QTest::mouseClick(tone, Qt::LeftButton, {}, QPoint(4, tone->height() / 2));
    EXPECT_FALSE(panel.tonePlayer().tone().audible);
}

} // namespace
} // namespace Kelvaros::Testing
