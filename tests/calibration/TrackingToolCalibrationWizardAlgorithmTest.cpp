#include "calibration/TrackingToolCalibrationWizardAlgorithm.h"

#include <atomic>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "core/Log.h"
#include "core/Signal.h"
#include "lib/DataComponentList.h"
#include "stream/InstrumentCalibrationDataComponent.h"

#include "CalibrationSimulation.h"
#include "LogExpectation.h"
#include "calibration/ToolCalibrationAlgorithm.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
using Wizard = TrackingToolCalibrationWizardAlgorithm;
using Calibration = InstrumentCalibrationDataComponent::Calibration;

/// A recording that stays put except for its last pose, turned by `radians` about z: the pivoting check's 49
/// steps sum to that one turn. The positions wander, to show that they do not count.
std::unique_ptr<TrackingSequence> recordingEndingWith(double radians, int count)
{
    auto sequence = emptyRecording(SimulatedTool());
    for (int i = 0; i < count; ++i)
        sequence->add(pose(Eigen::Vector3d(10.0 * i, -3.0 * i, 1.0), i == count - 1 ? radians : 0.0), i);
    return sequence;
}

const Calibration kEarlier{ pose(Eigen::Vector3d(1, 2, -150), 0.2, Eigen::Vector3d::UnitX()), 0.37 };

void expectCalibrationEq(const std::optional<Calibration>& actual, const Calibration& expected)
{
    ASSERT_TRUE(actual);
    EXPECT_EQ(actual->matrix, expected.matrix);
    EXPECT_EQ(actual->value, expected.value);
}

class TrackingToolCalibrationWizardAlgorithmTest : public ::testing::Test
{
protected:
    InstrumentCalibrationDataComponent& calibrations()
    {
        return stream.components().getOrAdd<InstrumentCalibrationDataComponent>();
    }
    std::unique_ptr<TrackingSequence> goodPivoting() { return pivotingRecording(tool, 120, 30.0, noise, rng, true); }
    std::unique_ptr<TrackingSequence> goodRotation()
    {
        return rotationRecording(tool, 80, 200.0, Eigen::Matrix3d::Identity(), noise, rng);
    }
    /// A wizard on "pointer" with both recordings accepted.
    std::unique_ptr<Wizard> readyWizard()
    {
        auto wizard = std::make_unique<Wizard>(&stream);
        wizard->setInstrument(tool.id);
        EXPECT_TRUE(wizard->setPivoting(goodPivoting()) && wizard->setRotation(goodRotation()));
        return wizard;
    }

    ManualTrackingStream stream{ "Tracker" };
    SimulatedTool tool;
    SimulatedNoise noise{ 0.1, 0.2 };
    std::mt19937_64 rng{ 4711 };
};
} // namespace

TEST_F(TrackingToolCalibrationWizardAlgorithmTest, PivotingNeedsFiftySamplesAndTwoRadiansOfTilt)
{
    // Each refusal says, in the log and to the wizard, what was recorded against what is needed.
    LogExpectation fewPoses(Log::Warning, " poses of the tool; pivoting needs at least 50. Keep the tool's markers", 2);
    LogExpectation littleTilt(Log::Warning, "° in all over the recording; pivoting needs at least 115°. Keep the tip",
                              2);
    Wizard wizard(&stream);
    EXPECT_FALSE(wizard.setPivoting(pivotingRecording(tool, 49, 60.0, noise, rng)));
    EXPECT_EQ(wizard.refusal().rfind("The recording holds 49 poses of the tool;", 0), 0u) << wizard.refusal();
    EXPECT_FALSE(wizard.setPivoting(nullptr));
    ASSERT_TRUE(wizard.setPivoting(pivotingRecording(tool, 50, 60.0, noise, rng)));
    EXPECT_EQ(wizard.refusal(), "");
    const TrackingSequence* accepted = wizard.calibrationData().pivoting.get();
    EXPECT_FALSE(wizard.setPivoting(recordingEndingWith(Wizard::kMinPivotingMotion - 1e-7, 50)));
    EXPECT_EQ(wizard.calibrationData().pivoting.get(), accepted) << "a rejected recording keeps the earlier one";
    EXPECT_TRUE(wizard.setPivoting(recordingEndingWith(Wizard::kMinPivotingMotion + 1e-7, 50)));

    // 50 evenly spaced samples of 100 are the even ones: turns on the odd ones count for nothing, while 49 steps
    // alternating between 0 and 1 radian on the even ones add up to 24 radians.
    auto oddTurns = emptyRecording(tool);
    auto evenTurns = emptyRecording(tool);
    for (int i = 0; i < 100; ++i)
    {
        oddTurns->add(pose(Eigen::Vector3d::Zero(), i % 2 ? 0.1 * i : 0.0), i);
        evenTurns->add(pose(Eigen::Vector3d::Zero(), i % 2 || i % 4 < 2 ? 0.0 : 1.0), i);
    }
    EXPECT_FALSE(wizard.setPivoting(std::move(oddTurns)));
    EXPECT_TRUE(wizard.setPivoting(std::move(evenTurns)));
}

TEST_F(TrackingToolCalibrationWizardAlgorithmTest, RotationNeedsHalfARadianBetweenFirstAndLastSample)
{
    LogExpectation fewPoses(Log::Warning, "The recording holds 1 pose of the tool; the rotation needs at least 2.", 1);
    LogExpectation littleTurn(Log::Warning, "from its first; the rotation step needs at least 29° between them.", 2);
    Wizard wizard(&stream);
    EXPECT_FALSE(wizard.setRotation(recordingEndingWith(1.0, 1)));
    EXPECT_FALSE(wizard.setRotation(recordingEndingWith(Wizard::kMinRotation - 1e-7, 2)));
    EXPECT_EQ(wizard.refusal().rfind("The tool's last pose is turned by only 29° from its first;", 0), 0u)
      << wizard.refusal();
    ASSERT_TRUE(wizard.setRotation(recordingEndingWith(Wizard::kMinRotation + 1e-7, 2)));
    const TrackingSequence* accepted = wizard.calibrationData().rotation.get();
    // Turning far in between but ending where it started is no rotation.
    auto backAndForth = emptyRecording(tool);
    for (double angle : { 0.0, 2.0, 0.0 })
        backAndForth->add(pose(Eigen::Vector3d::Zero(), angle), 0);
    EXPECT_FALSE(wizard.setRotation(std::move(backAndForth)));
    EXPECT_EQ(wizard.calibrationData().rotation.get(), accepted);
}

TEST_F(TrackingToolCalibrationWizardAlgorithmTest, ComputeStoresTheCalibrationOfBothRecordings)
{
    auto wizard = readyWizard();
    wizard->compute();
    ASSERT_EQ(wizard->status(), Algorithm::Success);
    const std::optional<Calibration> stored = calibrations().calibration(tool.id);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->value, 0.0);
    const Eigen::Matrix4d c = stored->matrix;
    EXPECT_LT((c.topRightCorner<3, 1>() - tool.tip_Tool).norm(), 0.5);
    EXPECT_LT(lineAngleDegrees(c.block<3, 1>(0, 2), tool.axis_Tool), 0.5);
    ASSERT_TRUE(wizard->origin() && wizard->upAxisWorld());
    EXPECT_LT((*wizard->origin() - tool.pivot_Tracker).norm(), 0.5);
    EXPECT_LT(lineAngleDegrees(*wizard->upAxisWorld(), tool.axis_Tool), 0.6) << "the rotation starts upright";
    EXPECT_EQ(wizard->calibrationData().pivoting->calibration(), c) << "the recordings carry the calibration";

    // The flip turns the stored calibration by 180 degrees about its x-axis and stays chosen.
    wizard->setFlip(true);
    wizard->compute();
    EXPECT_EQ(calibrations().calibration(tool.id)->matrix,
              Eigen::Matrix4d(c * Eigen::Vector4d(1, -1, -1, 1).asDiagonal()));
    EXPECT_TRUE(wizard->calibrationData().flip);
}

TEST_F(TrackingToolCalibrationWizardAlgorithmTest, FailedCalibrationKeepsTheInstrumentsEarlierCalibration)
{
    calibrations().setCalibration(tool.id, kEarlier);
    Wizard wizard(&stream);
    wizard.compute();
    EXPECT_EQ(wizard.status(), Algorithm::Unknown) << "no instrument, nothing to do";
    EXPECT_EQ(calibrations().instrumentIds().size(), 1u);
    wizard.setInstrument(tool.id);
    LogExpectation kept(Log::Error, "its earlier calibration is kept", 2);
    {
        LogExpectation refused(Log::Error, "Input tracking sequence requirements not fulfilled", 1);
        wizard.compute();
    }
    EXPECT_EQ(wizard.status(), ToolCalibrationAlgorithm::StatusInvalidInput);
    EXPECT_NE(wizard.statusMessage().find("was given 0. Select one or two"), std::string::npos);
    expectCalibrationEq(calibrations().calibration(tool.id), kEarlier);

    // After a good calibration the user records the pivoting again, swinging the tool about one axis only (enough
    // motion for the check, too little for the tip), and chooses the flip. The recorder gives the recording the
    // instrument's calibration of the time, which a failed fit must not pass on.
    ASSERT_TRUE(wizard.setPivoting(goodPivoting()) && wizard.setRotation(goodRotation()));
    wizard.compute();
    ASSERT_EQ(wizard.status(), Algorithm::Success);
    auto swung = emptyRecording(tool);
    const Eigen::Matrix3d left = Eigen::AngleAxisd(15 * kDegree, Eigen::Vector3d::UnitX()).toRotationMatrix();
    for (int i = 0; i < 60; ++i)
        swung->add(measuredPose(tool, i % 2 ? left : Eigen::Matrix3d(left.transpose()), {}, rng), i);
    swung->setCalibration(calibrations().calibration(tool.id)->matrix);
    ASSERT_TRUE(wizard.setPivoting(std::move(swung)));
    wizard.setFlip(true);
    LogExpectation fit(Log::Error, "Pivot calibration failed", 1);
    wizard.compute();
    EXPECT_EQ(wizard.status(), ToolCalibrationAlgorithm::StatusCalibrationFailed);
    EXPECT_EQ(wizard.statusMessage().rfind("Pivot calibration failed: the 60 poses do not determine the tool tip", 0),
              0u)
      << wizard.statusMessage();
    expectCalibrationEq(calibrations().calibration(tool.id), kEarlier);
    EXPECT_FALSE(wizard.origin() || wizard.upAxisWorld());
}

TEST_F(TrackingToolCalibrationWizardAlgorithmTest, EarlierCalibrationReturnsOnResetOrInstrumentChangeUnlessAccepted)
{
    calibrations().setCalibration(tool.id, kEarlier);
    auto wizard = readyWizard();
    wizard->compute();
    wizard->setFlip(true);
    wizard->compute();
    const Calibration computed = *calibrations().calibration(tool.id);
    const std::optional<Eigen::Vector3d> origin = wizard->origin();
    EXPECT_TRUE(wizard->setInstrument(tool.id));
    expectCalibrationEq(calibrations().calibration(tool.id), computed);
    EXPECT_TRUE(wizard->calibrationData().pivoting) << "the same id again changes nothing";
    EXPECT_TRUE(wizard->setInstrument("needle"));
    expectCalibrationEq(calibrations().calibration(tool.id), kEarlier);
    EXPECT_FALSE(calibrations().calibration("needle"));
    EXPECT_FALSE(wizard->calibrationData().pivoting || wizard->calibrationData().rotation);
    EXPECT_FALSE(wizard->calibrationData().flip);
    EXPECT_EQ(wizard->origin(), origin) << "reset keeps origin and up axis";

    // Restored once only: a later change by someone else stays.
    const Calibration later{ kEarlier.matrix, 9.0 };
    calibrations().setCalibration(tool.id, later);
    wizard.reset();
    expectCalibrationEq(calibrations().calibration(tool.id), later);

    // Without an earlier calibration the unaccepted one goes, also after two computes (the second must not take
    // the first's result for the instrument's own); after accept the accepted one stays.
    calibrations().removeCalibration(tool.id);
    for (bool accepted : { false, true })
    {
        wizard = readyWizard();
        wizard->compute();
        const Calibration first = *calibrations().calibration(tool.id);
        if (accepted)
            wizard->accept();
        wizard->compute();
        wizard->reset();
        if (accepted)
            expectCalibrationEq(calibrations().calibration(tool.id), first);
        else
            EXPECT_FALSE(calibrations().calibration(tool.id));
    }
}

TEST_F(TrackingToolCalibrationWizardAlgorithmTest, RecordsTheChosenInstrumentFromTheStream)
{
    openAndStart(stream);
    Wizard wizard(&stream);
    wizard.setInstrument(tool.id);
    // The wizard's panel reads the instrument on the stream's thread for every sample.
    std::atomic<int> reads{ 0 };
    SignalReceiver reader;
    stream.signalStreamData.connect(&reader, [&](const std::shared_ptr<const StreamData>&)
                                    { reads += wizard.instrument().empty() ? 0 : 1; });

    auto poses = pivotingRecording(tool, 60, 30.0, noise, rng);
    auto pushAll = [&]
    {
        for (int i = 0; i < poses->size(); ++i)
        {
            DataComponentList components;
            components.add(markerFiducials(tool, poses->matrix(i)));
            stream.push({ instrument("reference", Eigen::Matrix4d::Identity()),
                          instrument(tool.id, poses->matrix(i), 1.0, true, i) },
                        i, components);
        }
    };
    wizard.startRecording();
    pushAll();
    ASSERT_TRUE(stream.waitUntilDelivered());
    std::unique_ptr<TrackingSequence> recorded = wizard.stopRecording();
    ASSERT_TRUE(recorded);
    EXPECT_EQ(recorded->trackerID().ID(), tool.id);
    ASSERT_EQ(recorded->size(), poses->size());
    EXPECT_EQ(recorded->matrix(17), poses->matrix(17));
    EXPECT_TRUE(recorded->elementwiseComponents().element(0).get<TrackingInstrumentFiducialsData>());
    ASSERT_TRUE(wizard.setPivoting(std::move(recorded)));

    // The user picks another instrument while samples arrive; that drops the recording.
    pushAll();
    wizard.setInstrument("reference");
    wizard.setInstrument(tool.id);
    ASSERT_TRUE(stream.waitUntilDelivered());
    EXPECT_GT(reads.load(), 0);
    EXPECT_FALSE(wizard.calibrationData().pivoting);

    // A recording in which the chosen instrument never appeared gives nothing.
    wizard.setInstrument("absent");
    wizard.startRecording();
    pushAll();
    ASSERT_TRUE(stream.waitUntilDelivered());
    EXPECT_FALSE(wizard.stopRecording());
}

TEST_F(TrackingToolCalibrationWizardAlgorithmTest, AcceptedWizardCanBeUndoneAndResetBringsBackTheEarlierProvenance)
{
    const InstrumentCalibrationDataComponent::Provenance earlier{
        "2026-01-02T03:04:05+00:00", "pivot", 99, 40.0, 0.3, 0.8, 0.1, {}, {}, {}
    };
    calibrations().setCalibration(tool.id, kEarlier, earlier);
    for (bool accepted : { false, true })
    {
        auto wizard = readyWizard();
        wizard->compute();
        const Calibration computed = *calibrations().calibration(tool.id);
        EXPECT_EQ(calibrations().provenance(tool.id)->method, "pivot+axis");
        if (!accepted)
        {
            wizard->reset();
            EXPECT_EQ(calibrations().provenance(tool.id), earlier);
            EXPECT_FALSE(calibrations().previous(tool.id));
            continue;
        }
        wizard->accept();
        ASSERT_TRUE(calibrations().restorePrevious(tool.id));
        expectCalibrationEq(calibrations().calibration(tool.id), kEarlier);
        EXPECT_EQ(calibrations().provenance(tool.id), earlier);
        ASSERT_TRUE(calibrations().restorePrevious(tool.id));
        expectCalibrationEq(calibrations().calibration(tool.id), computed);
    }
}
