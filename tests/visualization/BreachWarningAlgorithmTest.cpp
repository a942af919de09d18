#include "visualization/BreachWarningAlgorithm.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "core/Log.h"
#include "core/Properties.h"
#include "lib/SharedImageSet.h"
#include "lib/geometry/MeshCreator.h"
#include "lib/geometry/MeshIO.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/ManualTrackingStream.h"

#include "LogExpectation.h"
#include "TrackingTestSupport.h"
#include "visualization/BreachReadingBoard.h"
#include "visualization/BreachTone.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
/// A needle whose calibration gives both its tip (150 mm from the markers) and its axis (turned from the markers').
const Eigen::Matrix4d kNeedleCalibration = pose({ 0, -150, 0 }, 90 * kDegree);

class BreachWarning : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder.isValid());
        vessel = folder.filePath("Vessel.obj").toStdString();
        ASSERT_TRUE(MeshIO::saveObj(*MeshCreator::createSphere(5.0, 64), vessel));
        stream.setMainInstrumentId("needle");
        openAndStart(stream);
        algorithm = std::make_unique<BreachWarningAlgorithm>(stream, volume);
    }

    void calibrate()
    {
        stream.components().getOrAdd<InstrumentCalibrationDataComponent>().setCalibration("needle", kNeedleCalibration,
                                                                                          0.1);
    }

    /// A sample with the needle's calibrated tip at `tip` (image = world: the volume is not moved).
    BreachWarningAlgorithm::Reading readingAt(const Eigen::Vector3d& tip, bool seen = true)
    {
        stream.push({ instrument("needle", translation(tip) * kNeedleCalibration.inverse(), 1.0, seen) }, 0);
        EXPECT_TRUE(stream.waitUntilDelivered());
        return algorithm->reading();
    }

    QTemporaryDir folder;
    std::string vessel;
    ManualTrackingStream stream;
    SharedImageSet volume{ "volume", Eigen::Vector3i(40, 40, 40), Eigen::Vector3d(1, 1, 1) };
    std::unique_ptr<BreachWarningAlgorithm> algorithm;
};
} // namespace

// 5 mm margin around a vessel of 5 mm radius: clear at 7 mm, warned at 3, breached 3 mm inside; no figure for a
// tool not seen or not calibrated.
TEST_F(BreachWarning, ReadsTheSignedDistanceOnlyWhenItCanBeTrusted)
{
    std::string reason;
    ASSERT_TRUE(algorithm->addStructure(vessel, &reason)) << reason;
    EXPECT_EQ(readingAt({ 0, 0, 12 }).judgement.state, FigureState::Uncalibrated);
    calibrate();
    const struct
    {
        Eigen::Vector3d tip;
        BreachStatus status;
        double distance;
    } cases[] = { { { 0, 0, 12 }, BreachStatus::Clear, 7.0 },
                  { { 0, 8, 0 }, BreachStatus::Warning, 3.0 },
                  { { 2, 0, 0 }, BreachStatus::Breach, -3.0 } };
    for (const auto& c : cases)
    {
        const auto reading = readingAt(c.tip);
        ASSERT_TRUE(reading.distance) << c.distance;
        EXPECT_EQ(reading.distance->status, c.status);
        EXPECT_EQ(reading.distance->structure, "Vessel");
        // Deeper than a millimetre the depth is measured to within a few percent, and says by how much.
        EXPECT_NEAR(reading.distance->distance, c.distance, 0.05 + reading.distance->tolerance);
    }
    const auto unseen = readingAt({ 0, 0, 12 }, false);
    EXPECT_EQ(unseen.judgement.state, FigureState::NotVisible);
    EXPECT_FALSE(unseen.distance);
}

// The needle back from its tip: its shaft passes the vessel although the tip is clear.
TEST_F(BreachWarning, TheNeedleCountsAlongItsLength)
{
    std::string reason;
    ASSERT_TRUE(algorithm->addStructure(vessel, &reason));
    calibrate();
    algorithm->needleLength.setValue(100.0);
    // The calibrated shaft runs along +z from the tip: a tip 20 mm below the vessel puts the shaft through it.
    const auto reading = readingAt({ 0, 0, -20 });
    ASSERT_TRUE(reading.distance);
    EXPECT_EQ(reading.distance->status, BreachStatus::Breach);
    EXPECT_NEAR(reading.distance->distance, -5.0, 0.05);
}

// The workspace keeps the structures by path with the margin, and a structure that cannot be read is named.
TEST_F(BreachWarning, StructuresAndMarginsAreSaved)
{
    std::string reason;
    ASSERT_TRUE(algorithm->addStructure(vessel, &reason));
    {
        const LogExpectation unreadable(Log::Error, "missing.obj", 1);
        EXPECT_FALSE(algorithm->addStructure(folder.filePath("missing.obj").toStdString(), &reason));
    }
    EXPECT_NE(reason.find("missing.obj"), std::string::npos);
    algorithm->margin.setValue(2.5);
    Properties saved;
    algorithm->configuration(&saved);
    BreachWarningAlgorithm restored(stream, volume);
    restored.configure(&saved);
    EXPECT_EQ(restored.structurePaths(), std::vector<std::string>{ vessel });
    EXPECT_EQ(restored.margin.value(), 2.5);
}

// The reading reaches other panels under the stream and the tool it measures, follows a change of tool, and is gone
// with the algorithm.
TEST_F(BreachWarning, TheReadingIsFoundUnderItsStreamAndTool)
{
    std::string reason;
    ASSERT_TRUE(algorithm->addStructure(vessel, &reason));
    calibrate();
    readingAt({ 0, 8, 0 });
    const BreachReadingBoard& board = BreachReadingBoard::instance();
    const auto published = board.reading(&stream, "needle");
    ASSERT_TRUE(published && published->distance);
    EXPECT_NEAR(published->distance->distance, 3.0, 0.05);
    EXPECT_FALSE(board.reading(&stream, "pointer"));
    algorithm->tool.setValue("pointer");
    EXPECT_FALSE(board.reading(&stream, "needle"));
    EXPECT_TRUE(board.reading(&stream, "pointer"));
    algorithm.reset();
    EXPECT_FALSE(board.reading(&stream, "pointer"));
}

// Silent beyond the margin and whenever no distance is trusted; within a 5 mm margin the beeps rise in pitch and
// quicken as the tip closes in; a steady high tone inside.
TEST(BreachToneTest, PitchAndPaceRiseTowardsTheStructure)
{
    const auto at = [](BreachStatus status, double distance)
    {
        BreachDistance d;
        d.status = status;
        d.distance = distance;
        return breachTone(d, 5.0);
    };
    EXPECT_FALSE(breachTone(std::nullopt, 5.0).audible);
    EXPECT_FALSE(at(BreachStatus::Clear, 7.0).audible);
    EXPECT_EQ(at(BreachStatus::Breach, -1.0), (BreachTone{ true, BreachTone::kInsideHz, 0 }));
    EXPECT_EQ(at(BreachStatus::Warning, 5.0),
              (BreachTone{ true, BreachTone::kLowestHz, BreachTone::kSlowestPeriodMs }));
    BreachTone farther = at(BreachStatus::Warning, 5.0);
    for (double distance : { 4.0, 2.5, 1.0, 0.0 })
    {
        const BreachTone nearer = at(BreachStatus::Warning, distance);
        EXPECT_GT(nearer.frequencyHz, farther.frequencyHz) << distance;
        EXPECT_LT(nearer.periodMs, farther.periodMs) << distance;
        farther = nearer;
    }
    EXPECT_LT(farther.frequencyHz, BreachTone::kInsideHz);
}
