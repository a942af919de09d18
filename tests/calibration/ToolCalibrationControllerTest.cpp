#include "calibration/ToolCalibrationController.h"

#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingSequence.h"

#include "CalibrationSimulation.h"
#include "GuiTestFixture.h"
#include "LogExpectation.h"
#include "TrackingTestSupport.h"
#include "calibration/CalibrationProvenanceWidget.h"
#include "calibration/ToolCalibrationAlgorithm.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

using ToolCalibrationControllerTest = GuiTest;

TEST_F(ToolCalibrationControllerTest, Rotate180TurnsTheCalibrationAndTwiceRestoresIt)
{
    TrackingSequence sequence("pointer");
    const Eigen::Matrix4d calibration = pose({ 3, -4, 160 }, 0.4, { 1, 2, 0 });
    sequence.setCalibration(calibration);
    ToolCalibrationAlgorithm algorithm(&sequence, nullptr);
    ToolCalibrationController panel(&algorithm);
    panel.init();
    ASSERT_TRUE(panel.computeButton());
    QPushButton* rotate = panel.findChild<QPushButton*>("pushButton_rotate180");
    ASSERT_EQ(rotate->text(), "Rotate 180");

    // About the calibrated x-axis: the tip and x stay, the needle axis (calibrated z) reverses.
    QTest::mouseClick(rotate, Qt::LeftButton);
    const Eigen::Matrix4d turned = sequence.calibration();
    EXPECT_TRUE(turned.col(3).isApprox(calibration.col(3)) && turned.col(0).isApprox(calibration.col(0)));
    EXPECT_TRUE(turned.col(2).isApprox(-calibration.col(2)));
    QTest::mouseClick(rotate, Qt::LeftButton);
    EXPECT_TRUE(sequence.calibration().isApprox(calibration));
}

TEST_F(ToolCalibrationControllerTest, ComputeShowsHowTheCalibrationWasObtainedAndRestoreSwapsOnAStream)
{
    std::mt19937_64 rng(7);
    auto recording = pivotingRecording(SimulatedTool(), 150, 30.0, SimulatedNoise{ 0.1, 0.2 }, rng);
    ToolCalibrationAlgorithm algorithm(recording.get(), nullptr);
    ToolCalibrationController panel(&algorithm);
    panel.init();
    CalibrationProvenanceWidget* widget = panel.provenanceWidget();
    auto text = [widget](const char* name) { return widget->findChild<QLabel*>(name)->text(); };
    EXPECT_EQ(text("label_provenanceEmpty"), "No calibration");
    QTest::mouseClick(panel.computeButton(), Qt::LeftButton);
    const auto provenance = algorithm.provenance();
    ASSERT_TRUE(provenance);
    EXPECT_FALSE(widget->findChild<QLabel*>("label_provenanceEmpty")->isVisibleTo(widget));
    EXPECT_EQ(text("label_provenanceMethod"), QString("Pivot, %1 poses, %2° range")
                                                .arg(QLocale().toString(150))
                                                .arg(QLocale().toString(*provenance->angularRangeDegrees, 'f', 0)));
    EXPECT_TRUE(text("label_provenanceResidual").startsWith("RMS 0."));
    EXPECT_EQ(text("label_provenanceTipError"), QLocale().toString(*provenance->predictedTipErrorMm, 'f', 2) + " mm");
    EXPECT_FALSE(widget->restoreButton()->isVisibleTo(widget)) << "a computed result alone has nothing to restore";

    // Following a stream's instrument: the button swaps current and previous, each click once.
    TrackingSequence stream("tracker");
    auto& calibrations = stream.components().getOrAdd<InstrumentCalibrationDataComponent>();
    calibrations.setCalibration("pointer", { Eigen::Matrix4d::Identity(), 1.0 }, provenance);
    widget->setSource(&stream, "pointer");
    EXPECT_FALSE(widget->restoreButton()->isEnabled());
    calibrations.setPrevious(
      "pointer", InstrumentCalibrationDataComponent::Entry{ { Eigen::Matrix4d::Identity(), 2.0 }, std::nullopt });
    widget->refresh();
    QSignalSpy restored(widget, &CalibrationProvenanceWidget::calibrationRestored);
    for (double expected : { 2.0, 1.0 })
    {
        QTest::mouseClick(widget->restoreButton(), Qt::LeftButton);
        EXPECT_EQ(calibrations.calibration("pointer")->value, expected);
        EXPECT_EQ(widget->findChild<QLabel*>("label_provenanceEmpty")->isVisibleTo(widget), expected == 2.0);
    }
    EXPECT_EQ(restored.count(), 2);
}

// Compute shows what went wrong and what to do in the calibration's own words, not a status number: here a pivoting
// motion given as the rotation.
TEST_F(ToolCalibrationControllerTest, ComputeSaysWhyTheCalibrationFailed)
{
    std::mt19937_64 rng(9);
    auto pivot = pivotingRecording(SimulatedTool(), 150, 30.0, SimulatedNoise{ 0.1, 0.2 }, rng);
    auto pivotAsSpin = pivotingRecording(SimulatedTool(), 150, 30.0, SimulatedNoise{ 0.1, 0.2 }, rng);
    LogExpectation refused(Log::Error, "The tool did not turn about one axis", 1);
    ToolCalibrationAlgorithm algorithm(pivot.get(), pivotAsSpin.get());
    ToolCalibrationController panel(&algorithm);
    panel.init();
    QTest::mouseClick(panel.computeButton(), Qt::LeftButton);
    const QString status = panel.statusLabel()->text();
    EXPECT_EQ(status.toStdString(), algorithm.statusMessage());
    EXPECT_TRUE(status.startsWith("The tool did not turn about one axis") &&
                status.endsWith("turn the tool about its own axis."))
      << status.toStdString();
    EXPECT_EQ(panel.provenanceWidget()->findChild<QLabel*>("label_provenanceEmpty")->text(), "No calibration");
}
