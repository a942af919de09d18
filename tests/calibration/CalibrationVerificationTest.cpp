#include "calibration/CalibrationVerification.h"

#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "gui/tracking/TrackingInstrumentComboBox.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/sources/SimulatedTrackingStream.h"

#include "GuiTestFixture.h"
#include "TrackingTestSupport.h"
#include "WaitUntil.h"
#include "calibration/CalibrationVerificationWidget.h"

namespace Kelvaros::Testing
{
namespace
{
using State = CalibrationVerification::State;

const Eigen::Matrix4d kTipOffset = pose({ 0, 0, 5 });
// Turned about x, the tip offset lands on -y: a calibration applied on the wrong side of the pose misses it.
const Eigen::Matrix4d kTurnedTool = pose({ 10, 0, 0 }, kPi / 2, Eigen::Vector3d::UnitX());
// Turned about z and raised: the tip (10, -5, 0) in tracker space is (-5, -10, -100) in this reference's frame.
const Eigen::Matrix4d kReference = pose({ 0, 0, 100 }, kPi / 2);
const Eigen::Vector3d kTip_Reference(-5, -10, -100);

TEST(CalibrationVerification, JudgesTheCalibratedTipInTheReferenceFrame)
{
    const auto straight = instrument("T", pose({ 10, 0, 0 })); // tip (10, 0, 5), exact in floating point
    const auto turned = instrument("T", kTurnedTool), reference = instrument("R", kReference);
    const auto untracked = instrument("T", kTurnedTool, 1.0, false), zeroQuality = instrument("T", kTurnedTool, 0.0);
    const auto lostReference = instrument("R", kReference, 1.0, false);
    const struct
    {
        const char* what;
        std::vector<TrackingInstrument> instruments;
        std::string referenceId;
        std::optional<Eigen::Vector3d> divot;
        double passMark;
        State state;
        double distance;
    } cases[] = {
        { "exactly the pass mark", { straight }, "", Eigen::Vector3d(10, 0, 6.5), 1.5, State::Measured, 1.5 },
        { "beyond the pass mark", { straight }, "", Eigen::Vector3d(10, 0, 6.5), 1.25, State::Measured, 1.5 },
        { "reference frame", { turned, reference }, "R", kTip_Reference, 1.0, State::Measured, 0.0 },
        { "no divot", { turned, reference }, "R", std::nullopt, 1.0, State::NoDivot, 0.0 },
        { "tool untracked", { untracked }, "", kTip_Reference, 1.0, State::ToolNotSeen, 0.0 },
        { "tool quality 0", { zeroQuality }, "", kTip_Reference, 1.0, State::ToolNotSeen, 0.0 },
        { "tool missing", { reference }, "R", kTip_Reference, 1.0, State::ToolNotSeen, 0.0 },
        { "reference lost", { turned, lostReference }, "R", kTip_Reference, 1.0, State::ReferenceNotSeen, 0.0 },
    };
    for (const auto& c : cases)
    {
        const CalibrationVerification check({ c.referenceId, c.divot, c.passMark });
        const auto result = check.evaluate(TrackingStreamData(nullptr, c.instruments), "T", kTipOffset);
        EXPECT_EQ(result.state, c.state) << c.what;
        EXPECT_EQ(result.tip_Reference.has_value(), c.state == State::Measured || c.state == State::NoDivot) << c.what;
        EXPECT_NEAR(result.distanceMm, c.distance, 1e-9) << c.what;
        EXPECT_EQ(result.passed, c.state == State::Measured && c.distance <= c.passMark) << c.what;
    }
}

// The divot is the mean tip of the samples in a row that saw tool and reference.
TEST(CalibrationVerification, TakesTheDivotFromTheMeanTipWhileItIsSeen)
{
    CalibrationVerification check({ "R", std::nullopt, 1.0 });
    const auto evaluate = [&](std::vector<TrackingInstrument> instruments)
    { (void)check.evaluateSmoothed(TrackingStreamData(nullptr, std::move(instruments)), "T", kTipOffset); };
    EXPECT_FALSE(check.setDivotFromTip());
    for (double z : { 0.2, -0.2 }) // the tip 0.2 mm above and below kTip_Reference
        evaluate(
          { instrument("T", pose({ 10, 0, z }, kPi / 2, Eigen::Vector3d::UnitX())), instrument("R", kReference) });
    ASSERT_TRUE(check.setDivotFromTip());
    EXPECT_LT((*check.settings().divot_Reference - kTip_Reference).norm(), 1e-9);
    evaluate({ instrument("T", kTurnedTool) });
    EXPECT_FALSE(check.setDivotFromTip());
}

// Jitter about a good calibration averages away over the window; a tool out of sight or new settings start afresh.
TEST(CalibrationVerification, JudgesTheMeanOfTheLastMeasuredDistances)
{
    CalibrationVerification check({ "", Eigen::Vector3d(0, 0, 5), 1.0 });
    const auto distance = [&](std::vector<TrackingInstrument> instruments)
    { return check.evaluateSmoothed(TrackingStreamData(nullptr, std::move(instruments)), "T", kTipOffset); };
    const auto at = [](double x) { return std::vector{ instrument("T", pose({ x, 0, 0 })) }; };
    CalibrationVerification::Result last;
    for (int i = 0; i < 20; ++i)
        last = distance(at(i % 2 ? 1.4 : 0.5)); // the window holds 7 of 0.5 and 8 of 1.4
    EXPECT_NEAR(last.distanceMm, (7 * 0.5 + 8 * 1.4) / 15, 1e-9);
    EXPECT_TRUE(last.passed);
    EXPECT_EQ(distance({}).state, State::ToolNotSeen);
    EXPECT_FALSE(distance(at(1.4)).passed);
    check.setSettings(check.settings());
    EXPECT_NEAR(distance(at(0.5)).distanceMm, 0.5, 1e-9);
}

struct CalibrationVerificationWidgetTest : ::testing::Test
{
    void SetUp() override
    {
        ASSERT_TRUE(QCoreApplication::instance()) << "no X display";
        QStandardPaths::setTestModeEnabled(true);
        ASSERT_TRUE(settingsDir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    }
    static bool shows(const CalibrationVerificationWidget& widget, const QString& ending)
    {
        return waitUntil(
          [&]
          {
              QCoreApplication::processEvents();
              return widget.resultLabel()->text().endsWith(ending);
          });
    }
    static void setDivot(CalibrationVerificationWidget& widget, const Eigen::Vector3d& divot)
    {
        for (int i = 0; i < 3; ++i)
            widget.divotSpinBoxes()[size_t(i)]->setValue(divot[i]);
    }
    QTemporaryDir settingsDir;
};

// The pointer rests on the pivot point; the widget is destroyed while the simulator still delivers.
TEST_F(CalibrationVerificationWidgetTest, PassesWithTheTrueTipAndFailsTwoMillimetresOff)
{
    const auto& truth = SimulatedTrackingStream::groundTruth();
    SimulatedTrackingStream stream;
    stream.dropoutProbability.setValue(0.0);
    auto& calibrations = stream.components().getOrAdd<InstrumentCalibrationDataComponent>();
    const Eigen::Vector3d tipOffset = truth.tool("Pointer")->tipOffset_Tool;
    calibrations.setCalibration("Pointer", pose(tipOffset), 0.0);

    CalibrationVerificationWidget widget;
    QSignalSpy verdicts(&widget, &CalibrationVerificationWidget::resultChanged);
    widget.setStream(&stream);
    widget.setTool("Pointer");
    widget.referenceComboBox()->selectInstrument("Reference");
    setDivot(widget, (truth.referenceToTracker.inverse() * truth.pivotPoint_Tracker.homogeneous()).head<3>());
    openAndStart(stream);
    ASSERT_TRUE(shows(widget, "mm - pass"));

    calibrations.setCalibration("Pointer", pose(tipOffset + Eigen::Vector3d(2, 0, 0)), 0.0);
    ASSERT_TRUE(shows(widget, "mm - fail"));
    EXPECT_NEAR(widget.result().distanceMm, 2.0, 0.5);
    EXPECT_EQ(verdicts, QList<QVariantList>({ { true }, { false } }));
}

// Samples coming faster than the main thread takes them give one update, with the newest.
TEST_F(CalibrationVerificationWidgetTest, TakesOnlyTheNewestOfQueuedSamples)
{
    DriverStream stream;
    CalibrationVerificationWidget widget;
    widget.setStream(&stream);
    widget.setTool("T");
    setDivot(widget, { 3, 0, 0 });
    QSignalSpy updates(&widget, &CalibrationVerificationWidget::evaluated);
    for (double x : { 0.0, 1.0, 2.0, 3.0 })
        stream.publish({ instrument("T", pose({ x, 0, 0 })) });
    ASSERT_TRUE(shows(widget, "mm - pass"));
    QCoreApplication::processEvents();
    EXPECT_EQ(updates.count(), 1);

    stream.publish({ instrument("T", pose({ 7, 8, 9 })) });
    ASSERT_TRUE(shows(widget, "mm - fail"));
    widget.setDivotFromTipButton()->click(); // the mean of the tips at (3, 0, 0) and (7, 8, 9)
    EXPECT_EQ(widget.divotSpinBoxes()[2]->value(), 4.5);
}

// The divot and pass mark are set once per reference and come back with it, in a later session too.
TEST_F(CalibrationVerificationWidgetTest, RestoresTheSettingsOfEachReference)
{
    DriverStream stream;
    {
        CalibrationVerificationWidget widget;
        widget.setStream(&stream);
        widget.referenceComboBox()->selectInstrument("Reference");
        setDivot(widget, { 1.5, 12.25, -3 });
        widget.passMarkSpinBox()->setValue(2.5);
        widget.referenceComboBox()->selectInstrument("");
        EXPECT_EQ(widget.passMarkSpinBox()->value(), 1.0);
        EXPECT_EQ(widget.resultLabel()->text(), "Set the divot position");
        widget.referenceComboBox()->selectInstrument("Reference");
    }
    CalibrationVerificationWidget widget;
    widget.setStream(&stream);
    EXPECT_EQ(widget.settings().referenceId, "Reference");
    EXPECT_EQ(widget.settings().divot_Reference, Eigen::Vector3d(1.5, 12.25, -3));
    EXPECT_EQ(widget.divotSpinBoxes()[1]->value(), 12.25);
    EXPECT_EQ(widget.passMarkSpinBox()->value(), 2.5);
}

} // namespace
} // namespace Kelvaros::Testing
