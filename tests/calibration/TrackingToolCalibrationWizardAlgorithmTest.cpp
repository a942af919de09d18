#include "calibration/TrackingToolCalibrationWizardAlgorithm.h"

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "core/Log.h"
#include "core/Signal.h"
#include "lib/DataComponentList.h"
#include "lib/DataList.h"
#include "lib/numerics/Pose.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/ManualTrackingStream.h"
#include "stream/TrackingSequence.h"

#include "CalibrationSimulation.h"
#include "LogExpectation.h"
#include "calibration/ToolCalibrationAlgorithm.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
using Wizard = TrackingToolCalibrationWizardAlgorithm;
using Calibration = InstrumentCalibrationDataComponent::Calibration;

/// The rotation about z whose geodesic distance from the identity is exactly `target` in floating point, found
/// by stepping the angle one representable value at a time.
std::optional<Eigen::Matrix4d> rotationAtExactDistance(double target)
{
    double angle = target;
    for (int i = 0; i < 10000; ++i)
    {
        const Eigen::Matrix4d rotation = rotationAboutZ(angle);
        const double distance = Pose::geodesicDistance(Eigen::Matrix4d::Identity(), rotation);
        if (distance == target)
            return rotation;
        angle = std::nextafter(angle, distance < target ? 10.0 : -10.0);
    }
    return std::nullopt;
}

/// A pivoting recording of `count` samples whose orientations stay put except for the last one: the 49 sampled
/// steps sum to the distance of that one turn. The positions wander, to show that they do not count.
std::unique_ptr<TrackingSequence> recordingEndingWith(const Eigen::Matrix4d& lastRotation, int count)
{
    auto sequence = emptyRecording(SimulatedTool());
    for (int i = 0; i < count - 1; ++i)
        sequence->add(makePose(Eigen::Matrix3d::Identity(), Eigen::Vector3d(10.0 * i, -3.0 * i, 1.0)), i);
    Eigen::Matrix4d last = lastRotation;
    last.topRightCorner<3, 1>() = Eigen::Vector3d(-50, 20, 7);
    sequence->add(last, count);
    return sequence;
}

Calibration earlierCalibration()
{
    Calibration c;
    c.matrix =
      makePose(Eigen::AngleAxisd(0.2, Eigen::Vector3d::UnitX()).toRotationMatrix(), Eigen::Vector3d(1, 2, -150));
    c.value = 0.37;
    return c;
}

void expectCalibrationEq(const std::optional<Calibration>& actual, const Calibration& expected)
{
    ASSERT_TRUE(actual);
    EXPECT_EQ(actual->matrix, expected.matrix);
    EXPECT_EQ(actual->value, expected.value);
}

TrackingInstrument instrumentAt(const std::string& id, const Eigen::Matrix4d& pose, int64_t timestamp)
{
    return TrackingInstrument{ TrackerID(id, "SimulatedTool", id), pose, 1.0, timestamp, true };
}

/// Restores the global log level when the test ends.
class LogLevelGuard
{
public:
    explicit LogLevelGuard(int level) : m_saved(Log::g_globalLevel) { Log::g_globalLevel = level; }
    ~LogLevelGuard() { Log::g_globalLevel = m_saved; }

private:
    int m_saved;
};

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
        return rotationRecording(tool, 80, 90.0, Eigen::Matrix3d::Identity(), noise, rng);
    }
    /// A wizard on "pointer" with both recordings accepted.
    std::unique_ptr<Wizard> readyWizard()
    {
        auto wizard = std::make_unique<Wizard>(&stream);
        wizard->setInstrument(tool.id);
        EXPECT_TRUE(wizard->setPivoting(goodPivoting()));
        EXPECT_TRUE(wizard->setRotation(goodRotation()));
        return wizard;
    }

    ManualTrackingStream stream{ "Tracker" };
    SimulatedTool tool;
    SimulatedNoise noise{ 0.1, 0.2 };
    std::mt19937_64 rng{ 4711 };
};
} // namespace

// ---------------------------------------------------------------------------------------------------------------
// Creation and motion checks

TEST_F(TrackingToolCalibrationWizardAlgorithmTest, CreateCompatibleNeedsExactlyOneTrackingStream)
{
    ManualTrackingStream other("Other");
    TrackingSequence sequence("recording");
    EXPECT_FALSE(Wizard::createCompatible(DataList{}, nullptr));
    EXPECT_FALSE(Wizard::createCompatible(DataList{ &sequence }, nullptr));
    EXPECT_FALSE(Wizard::createCompatible(DataList{ &stream, &other }, nullptr));
    EXPECT_FALSE(Wizard::createCompatible(DataList{ &stream, &sequence }, nullptr));
    EXPECT_TRUE(Wizard::createCompatible(DataList{ &stream }, nullptr));

    std::unique_ptr<Algorithm> created;
    EXPECT_FALSE(Wizard::createCompatible(DataList{ &sequence }, &created));
    EXPECT_FALSE(created);
    ASSERT_TRUE(Wizard::createCompatible(DataList{ &stream }, &created));
    auto& wizard = dynamic_cast<Wizard&>(*created);
    EXPECT_EQ(wizard.trackingStream(), &stream);
    EXPECT_EQ(wizard.instrument(), "");
    EXPECT_FALSE(wizard.isRecording());
    EXPECT_FALSE(wizard.calibrationData().pivoting || wizard.calibrationData().rotation);
    EXPECT_FALSE(wizard.calibrationData().flip);
}

TEST_F(TrackingToolCalibrationWizardAlgorithmTest, PivotingNeedsFiftySamplesAndTwoRadiansOfTilt)
{
    Wizard wizard(&stream);
    EXPECT_FALSE(wizard.setPivoting(pivotingRecording(tool, 49, 60.0, noise, rng)));
    EXPECT_FALSE(wizard.setPivoting(nullptr));
    EXPECT_FALSE(wizard.calibrationData().pivoting);
    ASSERT_TRUE(wizard.setPivoting(pivotingRecording(tool, 50, 60.0, noise, rng)));
    const TrackingSequence* accepted = wizard.calibrationData().pivoting.get();

    // The threshold is inclusive. Only the last pose turns, so the sum is that one step.
    const std::optional<Eigen::Matrix4d> atThreshold = rotationAtExactDistance(Wizard::kMinPivotingMotion);
    ASSERT_TRUE(atThreshold) << "no rotation at exactly the threshold distance";
    const Eigen::Matrix4d below = rotationAboutZ(std::atan2((*atThreshold)(1, 0), (*atThreshold)(0, 0)) - 1e-12);
    EXPECT_FALSE(wizard.setPivoting(recordingEndingWith(below, 50)));
    EXPECT_EQ(wizard.calibrationData().pivoting.get(), accepted) << "a rejected recording keeps the earlier one";
    EXPECT_TRUE(wizard.setPivoting(recordingEndingWith(*atThreshold, 50)));
    EXPECT_NE(wizard.calibrationData().pivoting.get(), accepted);

    // 50 evenly spaced samples of 100 are the even ones: turns on the odd ones count for nothing, while 49 steps
    // alternating between 0 and 1 radian on the even ones add up to 24 radians.
    auto oddTurns = emptyRecording(tool);
    auto evenTurns = emptyRecording(tool);
    for (int i = 0; i < 100; ++i)
    {
        oddTurns->add(i % 2 ? rotationAboutZ(0.1 * i) : Eigen::Matrix4d::Identity(), i);
        evenTurns->add(i % 2 ? Eigen::Matrix4d::Identity() : rotationAboutZ(i % 4 < 2 ? 0.0 : 1.0), i);
    }
    EXPECT_FALSE(wizard.setPivoting(std::move(oddTurns)));
    EXPECT_TRUE(wizard.setPivoting(std::move(evenTurns)));
}

TEST_F(TrackingToolCalibrationWizardAlgorithmTest, RotationNeedsHalfARadianBetweenFirstAndLastSample)
{
    const std::optional<Eigen::Matrix4d> atThreshold = rotationAtExactDistance(Wizard::kMinRotation);
    ASSERT_TRUE(atThreshold);
    const Eigen::Matrix4d below = rotationAboutZ(std::atan2((*atThreshold)(1, 0), (*atThreshold)(0, 0)) - 1e-12);

    Wizard wizard(&stream);
    EXPECT_FALSE(wizard.setRotation(recordingEndingWith(Eigen::Matrix4d::Identity(), 1)));
    EXPECT_FALSE(wizard.setRotation(nullptr));
    EXPECT_FALSE(wizard.setRotation(recordingEndingWith(below, 2)));
    EXPECT_FALSE(wizard.calibrationData().rotation);
    ASSERT_TRUE(wizard.setRotation(recordingEndingWith(*atThreshold, 2)));
    const TrackingSequence* accepted = wizard.calibrationData().rotation.get();

    // Turning far in between but ending where it started is no rotation.
    auto backAndForth = emptyRecording(tool);
    for (double angle : { 0.0, 2.0, 0.0 })
        backAndForth->add(rotationAboutZ(angle), 0);
    EXPECT_FALSE(wizard.setRotation(std::move(backAndForth)));
    EXPECT_EQ(wizard.calibrationData().rotation.get(), accepted);
}

TEST_F(TrackingToolCalibrationWizardAlgorithmTest, PureTranslationFailsBothChecksAndDistancesAreLogged)
{
    LogLevelGuard level(Log::Debug);
    auto sliding = [&]
    {
        auto sequence = emptyRecording(tool);
        for (int i = 0; i < 60; ++i)
            sequence->add(makePose(Eigen::Matrix3d::Identity(), Eigen::Vector3d(5.0 * i, 2.0 * i, -i)), i);
        return sequence;
    };
    Wizard wizard(&stream);
    EXPECT_FALSE(wizard.setPivoting(sliding()));
    EXPECT_FALSE(wizard.setRotation(sliding()));

    std::vector<std::string> messages;
    for (const Log::Record& record : capturedLog())
        if (record.level == Log::Debug && record.category == "TrackingToolCalibrationWizardAlgorithm")
            messages.push_back(record.message);
    EXPECT_EQ(messages, (std::vector<std::string>{ "Pivoting sequence: Cumulated geodesic distance 0",
                                                   "Rotation sequence: Geodesic distance 0" }));
}

// ---------------------------------------------------------------------------------------------------------------
// Calibration, backup and restore

TEST_F(TrackingToolCalibrationWizardAlgorithmTest, ComputeStoresTheCalibrationOfBothRecordings)
{
    auto wizard = readyWizard();
    wizard->compute();
    ASSERT_EQ(wizard->status(), Algorithm::Success);

    const std::optional<Calibration> stored = calibrations().calibration(tool.id);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->value, 0.0);
    const Eigen::Matrix4d& c = stored->matrix;
    EXPECT_LT((c.topRightCorner<3, 1>() - tool.tip_Tool).norm(), 0.5);
    EXPECT_LT(lineAngleDegrees(c.block<3, 1>(0, 2), tool.axis_Tool), 0.5);
    ASSERT_TRUE(wizard->origin() && wizard->upAxisWorld());
    EXPECT_LT((*wizard->origin() - tool.pivot_Tracker).norm(), 0.5);
    const Eigen::Matrix3d firstPose = wizard->calibrationData().rotation->matrix(0).topLeftCorner<3, 3>();
    EXPECT_LT(lineAngleDegrees(*wizard->upAxisWorld(), firstPose * tool.axis_Tool), 0.6);
    // The recordings stay with the wizard, carrying the new calibration.
    EXPECT_EQ(wizard->calibrationData().pivoting->calibration(), c);
    EXPECT_EQ(wizard->calibrationData().rotation->calibration(), c);

    // The flip turns the stored calibration by 180 degrees about its x-axis and stays chosen.
    wizard->setFlip(true);
    wizard->compute();
    EXPECT_EQ(calibrations().calibration(tool.id)->matrix,
              c * Eigen::Matrix4d(Eigen::Vector4d(1, -1, -1, 1).asDiagonal()));
    EXPECT_TRUE(wizard->calibrationData().flip);
}

TEST_F(TrackingToolCalibrationWizardAlgorithmTest, ComputeWithoutInstrumentOrRecordings)
{
    Wizard wizard(&stream);
    ASSERT_TRUE(wizard.setPivoting(goodPivoting()));
    wizard.compute();
    EXPECT_EQ(stream.components().get<InstrumentCalibrationDataComponent>(), nullptr) << "no instrument, no change";
    EXPECT_EQ(wizard.status(), Algorithm::Unknown);

    // Nothing recorded: the failed calibration stores the identity, which the backup undoes.
    calibrations().setCalibration(tool.id, earlierCalibration());
    wizard.setInstrument(tool.id);
    wizard.reset();
    LogExpectation expect(Log::Error, "Input tracking sequence requirements not fulfilled", 1);
    wizard.compute();
    EXPECT_EQ(wizard.status(), ToolCalibrationAlgorithm::StatusInvalidInput);
    expectCalibrationEq(calibrations().calibration(tool.id), Calibration());
    EXPECT_FALSE(wizard.origin() || wizard.upAxisWorld());
    wizard.reset();
    expectCalibrationEq(calibrations().calibration(tool.id), earlierCalibration());
}

TEST_F(TrackingToolCalibrationWizardAlgorithmTest, BackupOfTheFirstComputeIsRestoredByResetAndDestruction)
{
    calibrations().setCalibration(tool.id, earlierCalibration());
    auto wizard = readyWizard();
    wizard->compute();
    wizard->setFlip(true);
    wizard->compute();
    const std::optional<Eigen::Vector3d> origin = wizard->origin();
    wizard->reset();
    expectCalibrationEq(calibrations().calibration(tool.id), earlierCalibration());
    EXPECT_FALSE(wizard->calibrationData().pivoting || wizard->calibrationData().rotation);
    EXPECT_FALSE(wizard->calibrationData().flip);
    EXPECT_EQ(wizard->origin(), origin) << "reset keeps origin and up axis";

    // Restored once only: a later change by someone else stays.
    Calibration later = earlierCalibration();
    later.value = 9.0;
    calibrations().setCalibration(tool.id, later);
    wizard.reset();
    expectCalibrationEq(calibrations().calibration(tool.id), later);

    wizard = readyWizard();
    wizard->compute();
    wizard->compute();
    wizard.reset();
    expectCalibrationEq(calibrations().calibration(tool.id), later);

    wizard = readyWizard();
    wizard->compute();
    const Calibration computed = *calibrations().calibration(tool.id);
    wizard->accept();
    wizard.reset();
    expectCalibrationEq(calibrations().calibration(tool.id), computed);
}

TEST_F(TrackingToolCalibrationWizardAlgorithmTest, InstrumentWithoutEarlierCalibrationLosesTheUnacceptedOne)
{
    // Two computes: the second must not mistake the first's result for the instrument's own calibration.
    auto wizard = readyWizard();
    wizard->compute();
    wizard->compute();
    ASSERT_TRUE(calibrations().calibration(tool.id));
    wizard.reset();
    EXPECT_FALSE(calibrations().calibration(tool.id));

    wizard = readyWizard();
    wizard->compute();
    wizard->accept();
    wizard->compute();
    wizard.reset();
    EXPECT_TRUE(calibrations().calibration(tool.id)) << "after accept the accepted calibration is the one to keep";
}

TEST_F(TrackingToolCalibrationWizardAlgorithmTest, ChangingTheInstrumentRestoresTheOldOne)
{
    Wizard fresh(&stream);
    ASSERT_TRUE(fresh.setPivoting(goodPivoting()));
    fresh.setInstrument(tool.id);
    EXPECT_TRUE(fresh.calibrationData().pivoting) << "choosing the first instrument keeps the recordings";

    calibrations().setCalibration(tool.id, earlierCalibration());
    auto wizard = readyWizard();
    wizard->setFlip(true);
    wizard->compute();
    const Calibration computed = *calibrations().calibration(tool.id);
    EXPECT_TRUE(wizard->setInstrument(tool.id));
    expectCalibrationEq(calibrations().calibration(tool.id), computed);
    EXPECT_TRUE(wizard->calibrationData().pivoting) << "the same id again changes nothing";

    EXPECT_TRUE(wizard->setInstrument("needle"));
    EXPECT_EQ(wizard->instrument(), "needle");
    expectCalibrationEq(calibrations().calibration(tool.id), earlierCalibration());
    EXPECT_FALSE(wizard->calibrationData().pivoting || wizard->calibrationData().rotation);
    EXPECT_FALSE(wizard->calibrationData().flip);
    EXPECT_FALSE(calibrations().calibration("needle"));
}

// ---------------------------------------------------------------------------------------------------------------
// Recording on the stream's thread

namespace
{
/// Reads the wizard's instrument on the stream's thread for every sample, as the wizard's panel does.
class InstrumentReader : public SignalReceiver
{
public:
    InstrumentReader(Stream& stream, const Wizard& wizard) : m_wizard(wizard)
    {
        stream.signalStreamData.connect(this,
                                        [this](const std::shared_ptr<const StreamData>&)
                                        {
                                            if (!m_wizard.instrument().empty())
                                                ++m_reads;
                                        });
    }
    ~InstrumentReader() override { disconnectAll(); }
    [[nodiscard]] int reads() const { return m_reads; }

private:
    const Wizard& m_wizard;
    std::atomic<int> m_reads{ 0 };
};
} // namespace

TEST_F(TrackingToolCalibrationWizardAlgorithmTest, RecordsTheChosenInstrumentFromTheStream)
{
    ASSERT_TRUE(stream.open() && stream.start());
    Wizard wizard(&stream);
    InstrumentReader reader(stream, wizard);
    wizard.setInstrument(tool.id);

    auto poses = pivotingRecording(tool, 60, 30.0, noise, rng);
    const Eigen::Matrix4d reference = makePose(Eigen::Matrix3d::Identity(), Eigen::Vector3d(0, 0, -1000));
    auto push = [&](int i)
    {
        DataComponentList components;
        components.add(markerFiducials(tool, poses->matrix(i)));
        stream.push({ instrumentAt("reference", reference, i), instrumentAt(tool.id, poses->matrix(i), i) }, i,
                    components);
    };

    push(0);
    ASSERT_TRUE(stream.waitUntilDelivered());
    wizard.startRecording();
    EXPECT_TRUE(wizard.isRecording());
    for (int i = 0; i < poses->size(); ++i)
        push(i);
    ASSERT_TRUE(stream.waitUntilDelivered());
    std::unique_ptr<TrackingSequence> recorded = wizard.stopRecording();
    EXPECT_FALSE(wizard.isRecording());

    ASSERT_TRUE(recorded);
    EXPECT_EQ(recorded->trackerID().ID(), tool.id);
    ASSERT_EQ(recorded->size(), poses->size());
    EXPECT_EQ(recorded->matrix(17), poses->matrix(17));
    EXPECT_TRUE(recorded->elementwiseComponents().element(0).get<TrackingInstrumentFiducialsData>());
    ASSERT_TRUE(wizard.setPivoting(std::move(recorded)));

    // While samples keep arriving the user picks another instrument: the reader on the stream's thread and the
    // user-interface thread share the instrument id.
    for (int i = 0; i < poses->size(); ++i)
        push(i);
    wizard.setInstrument("reference");
    wizard.setInstrument(tool.id);
    ASSERT_TRUE(stream.waitUntilDelivered());
    EXPECT_GT(reader.reads(), 0);
    EXPECT_FALSE(wizard.calibrationData().pivoting) << "changing the instrument dropped the recording";

    // A recording in which the chosen instrument never appeared gives nothing.
    wizard.setInstrument("absent");
    wizard.startRecording();
    push(0);
    ASSERT_TRUE(stream.waitUntilDelivered());
    EXPECT_FALSE(wizard.stopRecording());
}
