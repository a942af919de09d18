#include "calibration/TrackingToolCalibrationWizard.h"

#include <algorithm>
#include <cstring>

#include <QApplication>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "gui/controller/DefaultControllerDecorator.h"
#include "gui/controller/GuiApplicationController.h"
#include "gui/scene/GlArrow.h"
#include "gui/scene/GlGrid.h"
#include "gui/tracking/TrackingInstrumentComboBox.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlView.h"
#include "gui/view/ImageView3D.h"
#include "lib/PluginLoader.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingStreamDisplayOptions.h"
#include "stream/sources/SimulatedTrackingStream.h"

#include "GuiTestFixture.h"
#include "LogExpectation.h"
#include "TrackingTestSupport.h"
#include "WaitUntil.h"
#include "calibration/CalibrationVerificationWidget.h"
#include "calibration/TrackingToolCalibrationWizardAlgorithm.h"
#include "plugin/NavigationPlugin.h"

// The animations and the sphere, as the module registers them when the host loads it.
static void registerNavigationResources()
{
    Q_INIT_RESOURCE(navigation);
}

namespace Kelvaros::Testing
{
namespace
{
using Calibration = InstrumentCalibrationDataComponent::Calibration;
// Three sweeps of the pivoting cone; a turn and a third about the needle (frames at 1 kHz).
constexpr int kPivotFrames = 12000;
constexpr int kSpinFrames = 4000;

/// The wizard on the simulated tracker, opened by the application as the workbench opens it. The stream runs
/// frames as fast as they are taken, but only while a test records; otherwise it is paused.
class CalibrationWizard : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QApplication::instance()) << "no X display: run through scripts/with-display";
        // The divot check keeps its settings; not in the user's.
        QStandardPaths::setTestModeEnabled(true);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsFolder.path());
        registerNavigationResources();
        ASSERT_TRUE(
          application->pluginLoader().addLinked(std::make_unique<NavigationPlugin>(), NavigationPlugin::id()));
        stream->freeRunning.setValue(true);
        stream->dropoutProbability.setValue(0.0);
        // At this rate a stop reaches the stream some frames late, a small share of the motion.
        stream->rate.setValue(1000.0);
        openAndStart(*stream);
        ASSERT_TRUE(stream->waitUntilDelivered(1));
        ASSERT_TRUE(stream->pause());
        components().setCalibration("Needle", earlier);
        open();
        boxCloser.start(10);
        QObject::connect(&boxCloser, &QTimer::timeout,
                         [this]
                         {
                             if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                             {
                                 boxes.push_back(box->windowTitle() + ": " + box->text() + " | " +
                                                 box->informativeText());
                                 box->button(QMessageBox::Ok)->click();
                             }
                         });
    }

    /// The wizard on the needle, as the workbench opens it.
    void open()
    {
        algorithm = dynamic_cast<TrackingToolCalibrationWizardAlgorithm*>(
          application->createAlgorithm("Navigation.TrackingToolCalibrationWizardAlgorithm", DataList{ stream.get() }));
        ASSERT_TRUE(algorithm);
        frame = application->openController(algorithm);
        wizard = dynamic_cast<TrackingToolCalibrationWizard*>(frame->controller());
        ASSERT_TRUE(wizard);
        frame->resize(320, 840);
        frame->show();
        wizard->findChild<TrackingInstrumentComboBox*>("instrumentsComboBox")->selectInstrument("Needle");
    }

    QPushButton* button(const char* name) const { return wizard->findChild<QPushButton*>(name); }
    InstrumentCalibrationDataComponent& components()
    {
        return stream->components().getOrAdd<InstrumentCalibrationDataComponent>();
    }
    static void click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }
    bool nextShown() { return button("nextButton")->isVisibleTo(wizard); }

    /// Start, at least `frames` frames of the scenario, Stop.
    void record(const char* scenario, int frames)
    {
        stream->scenario.setValue(scenario);
        click(button("startStopButton"));
        const int64_t start = stream->numDelivered();
        ASSERT_TRUE(stream->resume());
        ASSERT_TRUE(stream->waitUntilDelivered(start + frames));
        ASSERT_TRUE(stream->pause());
        click(button("startStopButton"));
    }

    /// The wizard is gone once the application removed the algorithm.
    void expectClosed()
    {
        QPointer<QWidget> panel(wizard);
        EXPECT_TRUE(waitUntil(
          [&]
          {
              QApplication::processEvents();
              QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
              return !panel && application->algorithms().empty();
          }));
    }

    const Calibration earlier{ pose({ 1.25, -3.5, 7.0 }, 0.3, { 1, 1, 0 }), 0.37 };
    // The stream outlives the application, so that a test can quit it.
    std::unique_ptr<SimulatedTrackingStream> stream = std::make_unique<SimulatedTrackingStream>();
    DisplayWidgetMulti display;
    std::unique_ptr<GuiApplicationController> application = std::make_unique<GuiApplicationController>(&display);
    TrackingToolCalibrationWizardAlgorithm* algorithm = nullptr;
    DefaultControllerDecorator* frame = nullptr;
    TrackingToolCalibrationWizard* wizard = nullptr;
    QTimer boxCloser;
    QStringList boxes;
    QTemporaryDir settingsFolder;
};

// The whole wizard on the needle: the tip and axis come out within tolerance of the simulator's truth, the 3D view
// shows the result, the flip turns it once per click, a failed divot check asks before Finish keeps the result
// after the algorithm is gone.
TEST_F(CalibrationWizard, CalibratesTheNeedleAndFinishKeepsTheResult)
{
    ASSERT_EQ(wizard->pageCount(), 5);
    // The embedded tool visualization draws the tool instead of the stream.
    EXPECT_EQ(TrackingStreamDisplayOptions::of(*stream).instrumentDisplay(),
              TrackingStreamDisplayOptions::NoInstruments);
    click(button("nextButton"));
    EXPECT_FALSE(nextShown());
    record("pivot", kPivotFrames);
    ASSERT_TRUE(nextShown());
    const GlView& view = display.view3D()->glView();
    EXPECT_TRUE(view.hasObject(&wizard->grid()) && wizard->grid().visible() && wizard->upAxisArrow().visible());
    const Eigen::Vector3d origin = *algorithm->origin();
    const std::vector<Eigen::Vector3d> arrow{ origin, origin + 100.0 * *algorithm->upAxisWorld() };
    EXPECT_EQ(wizard->upAxisArrow().points(), arrow);

    click(button("nextButton"));
    record("spin", kSpinFrames);
    ASSERT_TRUE(nextShown());
    const auto* axisSummary = wizard->findChild<QLabel*>("label_axisSummary");
    EXPECT_TRUE(axisSummary->isVisibleTo(wizard) && axisSummary->text().startsWith("Needle axis: predicted error "))
      << axisSummary->text().toStdString();
    click(button("nextButton"));
    ASSERT_EQ(wizard->stage(), Stage::Symmetry);
    EXPECT_FALSE(axisSummary->isVisibleTo(wizard));

    const Eigen::Matrix4d calibrated = components().calibration("Needle")->matrix;
    const Eigen::Matrix4d halfTurn = pose(Eigen::Vector3d::Zero(), kPi, Eigen::Vector3d::UnitX());
    click(button("flipButton"));
    EXPECT_TRUE(components().calibration("Needle")->matrix.isApprox(calibrated * halfTurn, 1e-9));
    click(button("flipButton"));
    EXPECT_TRUE(components().calibration("Needle")->matrix.isApprox(calibrated, 1e-9));
    const auto& truth = *SimulatedTrackingStream::groundTruth().tool("Needle");

    // The divot check: a divot 10 mm from where the spun needle's tip rests fails, and Finish asks first.
    click(button("nextButton"));
    EXPECT_EQ(button("nextButton")->text(), "Finish");
    // The new calibration's axis figures stand beside the divot check, which says that it checks the tip only.
    for (const char* name : { "label_provenanceAxis", "label_provenanceAxisError", "label_divotChecksTipOnly" })
    {
        const QList<QLabel*> labels = wizard->findChildren<QLabel*>(name);
        EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [&](QLabel* l) { return l->isVisibleTo(wizard); }))
          << name;
    }
    EXPECT_TRUE(wizard->findChild<QLabel*>("label_divotChecksTipOnly")->text().contains("not the needle axis"));
    auto* check = wizard->findChild<CalibrationVerificationWidget*>();
    const Eigen::Vector3d divot = SimulatedTrackingStream::groundTruth().pivotPoint_Tracker + Eigen::Vector3d(10, 0, 0);
    for (int i = 0; i < 3; ++i)
        check->divotSpinBoxes()[size_t(i)]->setValue(divot[i]);
    ASSERT_TRUE(stream->resume());
    EXPECT_TRUE(waitUntil(
      [&]
      {
          QApplication::processEvents();
          return check->result().state == CalibrationVerification::State::Measured;
      }));
    ASSERT_TRUE(stream->pause());
    EXPECT_FALSE(check->result().passed);
    click(button("nextButton"));
    expectClosed();
    EXPECT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes.value(0).startsWith("Calibration check failed")) << boxes.join("\n").toStdString();
    const Calibration kept = *components().calibration("Needle");
    EXPECT_LT((kept.matrix.block<3, 1>(0, 3) - truth.tipOffset_Tool).norm(), 0.3);
    const double cosine = -kept.matrix.block<3, 1>(0, 2).dot(truth.axis_Tool);
    EXPECT_LT(std::acos(std::min(1.0, cosine)) / kDegree, 0.5);
}

// A recording with too little motion (the needle resting while the pointer touches landmarks) is refused with the
// reason; the step keeps its earlier accepted recording but stays incomplete until a good one is made.
TEST_F(CalibrationWizard, RefusedRecordingsKeepTheEarlierOneAndLeaveTheStepIncomplete)
{
    const struct
    {
        const char* motion;
        int frames;
        const char* refusal;
        const char* reason;
    } steps[] = { { "pivot", kPivotFrames, "Number of valid matrices too small in recorded tracking sequence",
                    "The tool's orientation changed by " },
                  { "spin", kSpinFrames, "Rotation around needle tip is too small",
                    "The tool's last pose is turned by only " } };
    // The wizard's model logs each refusal with its reason, as the box shows it.
    LogExpectation refusals(Log::Warning, "The tool's ", 2);
    auto& data = algorithm->calibrationData();
    for (const auto& step : steps)
    {
        click(button("nextButton"));
        const auto held = [&] { return (&step == steps ? data.pivoting : data.rotation).get(); };
        record(step.motion, step.frames);
        TrackingSequence* accepted = held();
        ASSERT_TRUE(accepted && nextShown()) << step.motion;
        boxes.clear();
        record("landmarks", 100);
        ASSERT_EQ(boxes.size(), 1);
        EXPECT_TRUE(boxes[0].startsWith(QString("Invalid tracking sequence: ") + step.refusal + " | " + step.reason))
          << boxes[0].toStdString();
        EXPECT_EQ(held(), accepted);
        EXPECT_FALSE(nextShown());
        record(step.motion, step.frames);
        ASSERT_TRUE(nextShown());
    }
    // Another instrument drops the recordings, so its record steps start incomplete.
    click(button("backButton"));
    click(button("backButton"));
    wizard->findChild<TrackingInstrumentComboBox*>("instrumentsComboBox")->selectInstrument("Pointer");
    click(button("nextButton"));
    EXPECT_FALSE(nextShown());
}

// An accepted recording from which no calibration follows (a spin about the needle cannot locate its tip, though
// marker noise makes the fit look solvable; a pivoting motion gives no needle axis) shows the calibration's reason
// in red, leaves the step incomplete and the instrument with its earlier calibration.
TEST_F(CalibrationWizard, FailedCalibrationIsShownAndStoresNothing)
{
    LogExpectation fit(Log::Error, "Pivot calibration failed");
    LogExpectation kept(Log::Error, "earlier calibration is kept");
    click(button("nextButton"));
    record("spin", kSpinFrames);
    EXPECT_FALSE(nextShown());
    const QLabel* instruction = wizard->findChild<QLabel*>("titleLabel");
    EXPECT_TRUE(instruction->styleSheet().contains("red") && instruction->text().startsWith("Pivot calibration failed"))
      << instruction->text().toStdString();
    EXPECT_EQ(components().calibration("Needle")->matrix, earlier.matrix);
    EXPECT_FALSE(wizard->grid().visible() || wizard->upAxisArrow().visible());

    // A pivoting motion recorded as the rotation turned far enough to be taken, but about no single axis.
    LogExpectation axis(Log::Error, "The tool did not turn");
    record("pivot", kPivotFrames);
    ASSERT_TRUE(nextShown());
    click(button("nextButton"));
    record("pivot", 3000);
    EXPECT_FALSE(nextShown());
    EXPECT_TRUE(instruction->styleSheet().contains("red") && instruction->text().startsWith("The tool did not turn") &&
                instruction->text().contains("turn the tool about its own axis"))
      << instruction->text().toStdString();
    EXPECT_EQ(components().calibration("Needle")->matrix, earlier.matrix);
    EXPECT_FALSE(wizard->findChild<QLabel*>("label_axisSummary")->isVisibleTo(wizard));
}

// Every way out but Finish restores the calibration the instrument had before, bit for bit: Cancel, the panel's
// close button, and quitting the application (last, as it ends the application).
TEST_F(CalibrationWizard, EveryOtherWayOutRestoresTheEarlierCalibrationExactly)
{
    for (const char* way : { "cancel", "close", "quit" })
    {
        if (way != std::string("cancel"))
            open();
        click(button("nextButton"));
        record("pivot", kPivotFrames);
        ASSERT_FALSE(components().calibration("Needle")->matrix.isApprox(earlier.matrix));
        if (way == std::string("quit"))
            application.reset();
        else
        {
            click(way == std::string("cancel") ? static_cast<QAbstractButton*>(button("cancelButton"))
                                               : frame->closeButton());
            expectClosed();
        }
        EXPECT_EQ(TrackingStreamDisplayOptions::of(*stream).instrumentDisplay(),
                  TrackingStreamDisplayOptions::AxesAndNames)
          << way;
        const Calibration restored = *components().calibration("Needle");
        EXPECT_EQ(std::memcmp(restored.matrix.data(), earlier.matrix.data(), sizeof(double) * 16), 0) << way;
        EXPECT_EQ(std::memcmp(&restored.value, &earlier.value, sizeof(double)), 0) << way;
    }
}

} // namespace
} // namespace Kelvaros::Testing
