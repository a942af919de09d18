#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include "gui/annotation/PointCorrespondencesWidget.h"
#include "gui/annotation/ViewPosition.h"
#include "gui/tracking/TrackingInstrumentComboBox.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlSliceView.h"
#include "gui/view/ImageViewSlice.h"
#include "lib/DataList.h"
#include "lib/points/PointCorrespondencesAlgorithm.h"
#include "stream/InstrumentCalibrationDataComponent.h"

#include "../host/gui/GuiTestFixture.h"
#include "../support/LogExpectation.h"
#include "../support/PointSignalLog.h"
#include "../support/TrackingTestSupport.h"
#include "../support/WaitUntil.h"
#include "imageio/PhantomVolume.h"
#include "plugin/NavigationAlgorithmFactory.h"
#include "registration/LiveTrackingPointRegistrationAlgorithm.h"
#include "registration/LiveTrackingPointRegistrationController.h"
#include "registration/PointsOnTrackingStreamManipulator.h"

namespace Kelvaros::Testing
{
namespace
{

const TrackingSimulator::GroundTruth& truth()
{
    return TrackingSimulator::groundTruth();
}

bool processEventsUntil(const std::function<bool()>& condition)
{
    return waitUntil([&] { return QCoreApplication::processEvents(), condition(); });
}

/// The panel on the simulated phantom, shown beside a four-view display; the pointer is calibrated with its true
/// tip, and the test plays frames of the simulator's landmark tour into the stream.
class RegistrationPanelTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QApplication::instance()) << "no X display: run through scripts/test or xvfb-run";
        volume = PhantomVolume::create(truth(), 2.0);
        ASSERT_TRUE(volume);
        imageToPhantom = volume->matrix(); // world = the phantom's frame until registered
        stream.components().getOrAdd<InstrumentCalibrationDataComponent>().setCalibration(
          "Pointer", pose(truth().tool("Pointer")->tipOffset_Tool), 0.0);
        openAndStart(stream);
        algorithm = std::make_unique<LiveTrackingPointRegistrationAlgorithm>(stream, *volume);
        display = std::make_unique<DisplayWidgetMulti>();
        display->resize(800, 600);
        display->setVisibleData(DataList{ volume.get() });
        display->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(display.get()));
        panel = std::make_unique<LiveTrackingPointRegistrationController>(algorithm.get());
        panel->setDisplay(display.get());
        panel->init();
        combo("comboBox_tool")->selectInstrument("Pointer");
        table = panel->correspondenceWidget()->table();
    }

    TrackingInstrumentComboBox* combo(const char* name) { return panel->findChild<TrackingInstrumentComboBox*>(name); }

    /// A frame in which the pointer has rested on the landmark for a sixth of a second.
    int64_t restingFrame(int landmark) const
    {
        int64_t k = 10;
        while (simulator.touchedLandmark(k) != landmark || simulator.touchedLandmark(k - 10) != landmark)
            ++k;
        return k;
    }

    void captureTracked(int landmark)
    {
        const int before = algorithm->pointsOnTrackingStream().size();
        QTest::mouseClick(panel->correspondenceWidget()->addSecondButton(), Qt::LeftButton);
        stream.push(simulator.frame(restingFrame(landmark)).instruments, 0);
        ASSERT_TRUE(processEventsUntil([&] { return algorithm->pointsOnTrackingStream().size() == before + 1; }));
    }

    /// Centres the first slice view, zoomed in, on a world point and returns where it shows that point.
    QPoint centreOn(const Eigen::Vector3d& world)
    {
        GlSliceView& view = display->viewSlice(0)->sliceView();
        Slice slice = view.slice();
        slice.setOrigin(world);
        view.setSlice(slice);
        view.setMmPerPixel(0.05);
        return ViewPosition::shownAt(*display->viewSlice(0), world).value_or(QPointF(-1, -1)).toPoint();
    }

    void clickImagePoint(const Eigen::Vector3d& world)
    {
        QTest::mouseClick(panel->correspondenceWidget()->addFirstButton(), Qt::LeftButton);
        QTest::mouseClick(display->viewSlice(0), Qt::LeftButton, Qt::NoModifier, centreOn(world));
    }

    /// Touches and clicks every landmark, the image point of `misplaced` 5 mm off along the slice's x axis and those
    /// of the landmarks `swapped` exchanged.
    void collectAndRegister(int misplaced, std::pair<int, int> swapped = { -1, -1 })
    {
        for (int i = 0; i < int(truth().landmarks_Phantom.size()); ++i)
        {
            captureTracked(i);
            const double off = i == misplaced ? 5.0 : 0.0;
            const int clicked = i == swapped.first ? swapped.second : i == swapped.second ? swapped.first : i;
            clickImagePoint(truth().landmarks_Phantom[size_t(clicked)] +
                            off * display->viewSlice(0)->sliceView().slice().xAxis());
        }
        ASSERT_EQ(algorithm->correspondenceId(), int(truth().landmarks_Phantom.size()));
        QTest::mouseClick(panel->findChild<QPushButton*>("pushButtonRegister"), Qt::LeftButton);
        ASSERT_EQ(algorithm->status(), 0);
    }

    QLabel* label(const char* name) const { return panel->findChild<QLabel*>(name); }

    const TrackingSimulator simulator{ { 60.0, 0.1, 0.0, TrackingSimulator::Scenario::Landmarks, 7 } };
    ManualTrackingStream stream; // captures run on its delivery thread, as with a tracker
    std::unique_ptr<SharedImageSet> volume;
    Eigen::Matrix4d imageToPhantom;
    std::unique_ptr<LiveTrackingPointRegistrationAlgorithm> algorithm;
    std::unique_ptr<DisplayWidgetMulti> display;
    std::unique_ptr<LiveTrackingPointRegistrationController> panel;
    QTableWidget* table = nullptr;
};

TEST_F(RegistrationPanelTest, RegistersThePhantomOntoTheTracker)
{
    collectAndRegister(-1);
    // Registered, the volume places the phantom where the tracker sees it.
    const Eigen::Vector3d target = PhantomVolume::target_Phantom(truth());
    const Eigen::Vector3d registered = apply(volume->matrix() * imageToPhantom.inverse(), target);
    EXPECT_LT((registered - truth().pathTarget_Tracker).norm(), 0.5);
    ASSERT_TRUE(panel->quality());
    EXPECT_FALSE(panel->quality()->suspect);
    EXPECT_TRUE(label("label_verdict")->text().startsWith("The registration is plausible"));
    EXPECT_EQ(label("label_verdict")->palette().color(QPalette::WindowText), QColor(0, 128, 0));
    EXPECT_TRUE(table->item(0, PointCorrespondencesWidget::ColumnCount)->text().endsWith("mm"));

    // The error predicted where the user looks: the slice views' centre, taken on the anatomy.
    centreOn(registered);
    QTest::mouseClick(panel->findChild<QPushButton*>("pushButton_pickTarget"), Qt::LeftButton);
    const auto expected = RegistrationQuality::predictedTre(
      algorithm->pointsOnImage().imagePoints(), panel->quality()->fleUsed, volume->worldToImage(registered));
    EXPECT_NEAR(panel->quality()->treAtTarget, expected.value_or(-1), 1e-9);
    EXPECT_TRUE(label("label_targetError")->text().contains("picked"));
    // The spin box is the algorithm's expected localisation error, which the next fit is judged against.
    panel->findChild<QDoubleSpinBox*>("doubleSpinBox_fle")->setValue(0.5);
    EXPECT_EQ(algorithm->expectedFle().value(), 0.5);
}

TEST_F(RegistrationPanelTest, HintNamesAMisplacedPair)
{
    LogExpectation warning(Log::Warning, "the registration is improbable", 1);
    collectAndRegister(3);
    ASSERT_TRUE(panel->quality());
    EXPECT_EQ(panel->quality()->suspect, std::optional<size_t>(3));
    EXPECT_TRUE(panel->findChild<QLabel*>("label_hint")->text().contains("pair 4"));
    EXPECT_EQ(table->item(3, PointCorrespondencesWidget::ColumnCount)->foreground().color(), QColor(200, 0, 0));
    // A new pair makes the figures stale.
    captureTracked(0);
    EXPECT_FALSE(panel->quality());
}

// The landmarks 3 and 6 (50 mm apart) swapped: registered all the same, with a red warning naming both; one
// click on "Restore previous registration" puts the volume back exactly, a second one redoes the registration.
TEST_F(RegistrationPanelTest, SwappedPairsGetARedWarningAndCanBeUndone)
{
    {
        LogExpectation warning(Log::Warning, "Registration quality: Warning: the registration is improbable", 1);
        collectAndRegister(-1, { 2, 5 });
    }
    EXPECT_TRUE(label("label_verdict")->text().startsWith("Warning: the registration is improbable. "));
    EXPECT_EQ(label("label_verdict")->palette().color(QPalette::WindowText), QColor(200, 0, 0));
    EXPECT_TRUE(label("label_hint")->text().startsWith("Check pair 3 (residual 5"))
      << label("label_hint")->text().toStdString();
    EXPECT_TRUE(label("label_hint")->text().contains("pair 6 (residual 5"));
    EXPECT_TRUE(label("label_targetError")->text().contains("but it cannot be trusted"));
    EXPECT_TRUE(label("label_provenance")->text().contains("global tracking, 6 pairs, FRE 2"));
    if (const char* png = std::getenv("KELVAROS_REGISTRATION_PANEL_PNG")) // the picture in the documentation
    {
        panel->resize(760, 760);
        panel->grab().save(png);
    }

    auto* restore = panel->findChild<QPushButton*>("pushButton_restore");
    const Eigen::Matrix4d registered = volume->matrix();
    ASSERT_TRUE(restore->isEnabled());
    QTest::mouseClick(restore, Qt::LeftButton);
    EXPECT_EQ(volume->matrix(), imageToPhantom);
    EXPECT_EQ(label("label_provenance")->text(),
              "In force: the placement before the first registration recorded here.");
    EXPECT_TRUE(label("label_verdict")->text().isEmpty()) << "the figures of the undone fit are gone";
    QTest::mouseClick(restore, Qt::LeftButton);
    EXPECT_EQ(volume->matrix(), registered);
}

// Without a calibration (or with identity) the pointer's marker origin would be captured: the panel says so before
// the first capture, names the points so taken, and stops warning once the pointer is calibrated.
TEST_F(RegistrationPanelTest, WarnsOfAnUncalibratedPointerAndMarksItsPoints)
{
    QLabel* warning = label("label_pointerWarning");
    EXPECT_TRUE(warning->isHidden());
    auto& calibrations = stream.components().getOrAdd<InstrumentCalibrationDataComponent>();
    const auto calibrated = *calibrations.calibration("Pointer");
    calibrations.removeCalibration("Pointer");
    ASSERT_TRUE(processEventsUntil([&] { return !warning->isHidden(); }));
    EXPECT_TRUE(warning->text().startsWith("Warning: the tracking target 'Pointer' has no calibration, so a captured "
                                           "point is the origin of its marker frame, not its tip"));
    captureTracked(0);
    EXPECT_EQ(algorithm->pointsOnTrackingStream().name(0), "uncalibrated pointer");
    calibrations.setCalibration("Pointer", Eigen::Matrix4d::Identity(), 0.0);
    ASSERT_TRUE(processEventsUntil([&] { return warning->text().contains("an identity calibration"); }));
    calibrations.setCalibration("Pointer", calibrated);
    ASSERT_TRUE(processEventsUntil([&] { return warning->isHidden(); }));
    captureTracked(1);
    EXPECT_EQ(algorithm->pointsOnTrackingStream().name(1), "");
}

// One point per click, whatever arrives; a capture without a usable pointer (or reference) adds nothing and says so.
TEST_F(RegistrationPanelTest, CapturesOnePointPerClick)
{
    PointsOnTrackingStream& points = algorithm->pointsOnTrackingStream();
    PointSignalLog log(points);
    EXPECT_EQ(panel->unsavedWork(), "") << "closing an empty panel loses nothing";
    const Eigen::Matrix4d tip = pose(truth().tool("Pointer")->tipOffset_Tool);
    const Eigen::Matrix4d pointer = pose({ 10, 20, 30 }, 0.4, { 1, 1, 0 });
    const Eigen::Matrix4d reference = pose({ -5, 0, 8 }, 0.7);
    const std::tuple<std::vector<TrackingInstrument>, std::optional<std::string>, bool> cases[] = {
        { { instrument("Pointer", pointer, 0.81) }, std::nullopt, true },
        { { instrument("Pointer", pointer, 0.8) }, std::nullopt, false },
        { { instrument("Pointer", pointer, 1.0, false) }, std::nullopt, false },
        { { instrument("Needle", pointer) }, std::nullopt, false },
        { { instrument("Pointer", pointer), instrument("Reference", reference) }, "Reference", true },
        { { instrument("Pointer", pointer) }, "Reference", false },
    };
    for (const auto& [sample, relativeId, taken] : cases)
    {
        points.setRelativeTrackerId(relativeId);
        log.events.clear();
        const int before = points.size();
        QTest::mouseClick(panel->correspondenceWidget()->addSecondButton(), Qt::LeftButton);
        QTest::mouseClick(panel->correspondenceWidget()->addSecondButton(), Qt::LeftButton);
        stream.push(sample, 0);
        stream.push(sample, 0);
        ASSERT_TRUE(processEventsUntil([&] { return !log.events.empty(); }) && stream.waitUntilDelivered());
        QCoreApplication::processEvents();
        ASSERT_EQ(log.events, std::vector<std::string>{ taken ? fmt::format("added {} {}", before, before + 1)
                                                              : std::string("added -1 -1") });
        const Eigen::Matrix4d frame = relativeId ? Eigen::Matrix4d(reference.inverse()) : Eigen::Matrix4d::Identity();
        if (taken)
        {
            EXPECT_TRUE(points.allPoints().back().isApprox((frame * pointer * tip).topRightCorner<3, 1>()));
        }
    }
    // Closing the panel would throw the captured points away: the window asks first.
    EXPECT_EQ(panel->unsavedWork(), fmt::format("{} tracked and 0 image points", points.size()));
}

// The instruments stay as chosen while tracked points exist; the type follows the reference choice.
TEST_F(RegistrationPanelTest, CombosFollowPointsAndReference)
{
    QComboBox* type = panel->findChild<QComboBox*>("comboBox_registrationType");
    EXPECT_FALSE(type->isEnabled());
    combo("comboBox_relTool")->selectInstrument("Reference");
    EXPECT_EQ(type->currentIndex(), 1);
    EXPECT_TRUE(type->isEnabled());
    EXPECT_EQ(type->itemData(0, 255), QVariant(0));
    type->setCurrentIndex(2);
    EXPECT_EQ(algorithm->registrationType().value(), LiveTrackingPointRegistrationAlgorithm::AdjustRelativeCalibration);
    // Reopened on the same algorithm, the panel shows what was stored.
    panel = std::make_unique<LiveTrackingPointRegistrationController>(algorithm.get());
    panel->setDisplay(display.get());
    panel->init();
    type = panel->findChild<QComboBox*>("comboBox_registrationType");
    EXPECT_EQ(type->currentIndex(), 2);
    EXPECT_EQ(combo("comboBox_relTool")->selectedInstrumentId(), "Reference");

    algorithm->pointsOnTrackingStream().addWorldPoint(Eigen::Vector3d::Zero());
    EXPECT_FALSE(combo("comboBox_tool")->isEnabled());
    EXPECT_FALSE(combo("comboBox_relTool")->isEnabled());
    algorithm->pointsOnTrackingStream().remove(0, 1);
    EXPECT_TRUE(combo("comboBox_relTool")->isEnabled());
    combo("comboBox_relTool")->selectInstrument("");
    EXPECT_EQ(type->currentIndex(), 0);
    EXPECT_FALSE(type->isEnabled());
}

// The plug-in's factory offers the pointer capture for tracked points only, and takes it back when it goes.
TEST(RegistrationManipulatorFactoryTest, CapturesTrackedPointsOnly)
{
    const auto manipulatorFor = [](PointsOnData& points)
    {
        for (const auto& factory : PointCorrespondencesAlgorithm::manipulatorFactories())
            if (auto manipulator = factory(points))
                return manipulator;
        return std::unique_ptr<PointsOnDataManipulator>();
    };
    DriverStream stream;
    SharedImageSet image("image", Eigen::Vector3i(4, 4, 4), Eigen::Vector3d(1, 1, 1));
    PointsOnTrackingStream tracked(stream);
    PointsOnImage onImage(image);
    auto first = std::make_unique<NavigationAlgorithmFactory>();
    {
        const NavigationAlgorithmFactory second;
    }
    EXPECT_TRUE(dynamic_cast<PointsOnTrackingStreamManipulator*>(manipulatorFor(tracked).get()));
    EXPECT_FALSE(dynamic_cast<PointsOnTrackingStreamManipulator*>(manipulatorFor(onImage).get()));
    first.reset();
    EXPECT_FALSE(manipulatorFor(tracked));
}

} // namespace
} // namespace Kelvaros::Testing
