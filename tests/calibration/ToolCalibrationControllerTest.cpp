#include "calibration/ToolCalibrationController.h"

#include <QPushButton>
#include <QTest>

#include "stream/TrackingSequence.h"

#include "GuiTestFixture.h"
#include "TrackingTestSupport.h"
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
