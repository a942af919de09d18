#include "visualization/InsertionReadout.h"

#include <array>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "stream/sources/TrackingSimulator.h"

namespace Kelvaros::Testing
{
namespace
{
using G = ToleranceGrade;
using State = InsertionReadout::State;

// The path runs down the z axis from the entry at z = 100 to the target at the origin; τ = 2 mm and 2°.
const Eigen::Vector3d kEntry(0, 0, 100);
const Eigen::Vector3d kTarget(0, 0, 0);
constexpr double kNone = -1.0; // no axis offset

/// The simulated insertion on a quiet tracker: at the default noise the 140 mm lever of this needle alone puts the
/// tip 0.5 mm off now and then; what is tested here is the read-out's frames and conventions.
TrackingSimulator quietInsertion()
{
    TrackingSimulator::Settings settings;
    settings.scenario = TrackingSimulator::Scenario::Insertion;
    settings.dropoutProbability = 0.0;
    settings.noiseMm = 0.03;
    return TrackingSimulator(settings);
}

struct HandCase
{
    const char* what;
    Eigen::Vector3d tip, forward;
    std::array<double, 4> values; // depth, lateral, axis offset, angle
    std::array<G, 4> grades;
};

TEST(InsertionReadoutTest, ValuesAndGradesMatchHandDerivedGeometry)
{
    const HandCase cases[] = {
        // parallel to the path, 3-4-5 off it: the axis misses the target by the same 5 mm
        { "parallel", { 3, 4, 30 }, { 0, 0, -1 }, { 30, 5, 5, 0 }, { G::None, G::Outside, G::Outside, G::Within } },
        // on the path, tilted by atan(0.1): the axis drifts 0.1 mm per mm over the 30 mm left
        { "tilted", { 0, 0, 30 }, { 1, 0, -10 }, { 30, 0, 3, 5.7106 }, { G::None, G::Within, G::Near, G::Outside } },
        // 4 mm beyond the target on the path: an overshoot graded like an error
        { "overshoot", { 0, 0, -4 }, { 0, 0, -2 }, { -4, 0, 0, 0 }, { G::Near, G::Within, G::Within, G::Within } },
        // across the path: the axis never reaches the target plane
        { "across", { 0, 1, 1 }, { 1, 0, 0 }, { 1, 1, kNone, 90 }, { G::Within, G::Within, G::Outside, G::Outside } },
    };
    for (const HandCase& c : cases)
    {
        SCOPED_TRACE(c.what);
        const InsertionReadout r = computeInsertionReadout(c.tip, c.forward, kEntry, kTarget, 0);
        ASSERT_EQ(r.state, State::Valid);
        const std::array<double, 4> values{ r.depthToTargetMm, r.lateralMm, r.axisOffsetMm.value_or(kNone),
                                            r.angleDegrees.value_or(kNone) };
        for (size_t i = 0; i < values.size(); ++i)
            EXPECT_NEAR(values[i], c.values[i], 1e-4) << "value " << i;
        EXPECT_EQ((std::array<G, 4>{ r.depthGrade, r.lateralGrade, r.axisOffsetGrade, r.angleGrade }), c.grades);
    }
}

TEST(InsertionReadoutTest, StatesReplaceTheValues)
{
    const Eigen::Matrix4d onPath = Eigen::Matrix4d::Identity();
    EXPECT_EQ(computeInsertionReadout(onPath, kEntry, kTarget, 249999).state, State::Valid);
    EXPECT_EQ(computeInsertionReadout(onPath, kEntry, kTarget, 250000).state, State::Stale);
    EXPECT_EQ(computeInsertionReadout(std::nullopt, kEntry, kTarget, 0).state, State::NotVisible);
    EXPECT_EQ(computeInsertionReadout(std::nullopt, kEntry, kTarget, 300000).state, State::Stale);
    EXPECT_EQ(computeInsertionReadout(onPath, kTarget, kTarget, 0).state, State::NoPath);

    const std::vector<InsertionReadoutLine> lines =
      readoutLines(computeInsertionReadout(std::nullopt, kEntry, kTarget, 0));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "Tool not visible");
    EXPECT_EQ(lines[0].grade, G::Outside);
    EXPECT_EQ(readoutLines(computeInsertionReadout(onPath, kEntry, kTarget, 0)).size(), 4u);

    // A tip a hair past the target is at it; one 4 mm past says so by its sign.
    Eigen::Matrix4d past = onPath;
    past(2, 3) = -0.02;
    EXPECT_EQ(readoutLines(computeInsertionReadout(past, kEntry, kTarget, 0))[0].text, "To target 0.0 mm");
    past(2, 3) = -4.0;
    EXPECT_EQ(readoutLines(computeInsertionReadout(past, kEntry, kTarget, 0))[0].text, "To target -4.0 mm");
}

// The needle of the simulated insertion runs along the planned path: measured poses must give the simulator's
// depth, and no lateral, aim or angle error beyond the tracking noise.
TEST(InsertionReadoutTest, SimulatedInsertionMatchesGroundTruth)
{
    const TrackingSimulator simulator = quietInsertion();
    const auto& truth = TrackingSimulator::groundTruth();
    const TrackingSimulator::Tool& needle = *truth.tool("Needle");
    // Calibration: origin at the tip, negative z along the shaft towards the tip.
    Eigen::Matrix4d calibration = Eigen::Matrix4d::Identity();
    calibration.topLeftCorner<3, 3>() =
      Eigen::Quaterniond::FromTwoVectors(-Eigen::Vector3d::UnitZ(), needle.axis_Tool).toRotationMatrix();
    calibration.topRightCorner<3, 1>() = needle.tipOffset_Tool;
    const double pathLength = (truth.pathTarget_Tracker - truth.pathEntry_Tracker).norm();

    for (int64_t frame = 0; frame < 8 * 60; frame += 7)
    {
        const TrackingSimulator::Frame measured = simulator.frame(frame);
        const Eigen::Matrix4d tool = measured.instruments[1].matrix * calibration;
        const InsertionReadout r =
          computeInsertionReadout(tool, truth.pathEntry_Tracker, truth.pathTarget_Tracker, 16000);
        SCOPED_TRACE(frame);
        ASSERT_EQ(r.state, State::Valid);
        EXPECT_NEAR(r.depthToTargetMm, pathLength - simulator.insertionDepth(frame), 0.5);
        EXPECT_LT(r.lateralMm, 0.5);
        ASSERT_TRUE(r.axisOffsetMm);
        EXPECT_LT(*r.axisOffsetMm, 0.5);
        ASSERT_TRUE(r.angleDegrees);
        EXPECT_LT(*r.angleDegrees, 0.5);
    }
}

// The needle of the simulated insertion half way in, measured by the tracker, with what its calibration and the
// registration establish: each figure that rests on a premise that fails is withheld, the rest still match the truth.
TEST(InsertionReadoutTest, FiguresWhosePremisesFailAreWithheld)
{
    const TrackingSimulator simulator = quietInsertion();
    const auto& truth = TrackingSimulator::groundTruth();
    const TrackingSimulator::Tool& needle = *truth.tool("Needle");
    const double pathLength = (truth.pathTarget_Tracker - truth.pathEntry_Tracker).norm();
    int64_t frame = 0;
    while (simulator.insertionDepth(frame) < 0.5 * pathLength)
        ++frame;
    const Eigen::Matrix4d measured = simulator.frame(frame).instruments[1].matrix;
    const double trueDepth = pathLength - simulator.insertionDepth(frame);
    Eigen::Matrix4d tipOnly = Eigen::Matrix4d::Identity(); // a pivot calibration: the tip, no axis
    tipOnly.topRightCorner<3, 1>() = needle.tipOffset_Tool;
    const Eigen::AlignedBox3d inTracker(truth.pathTarget_Tracker, truth.pathEntry_Tracker);
    // A phantom-sized image left at the origin: never registered to a tracker 1.2 m away.
    const Eigen::AlignedBox3d atOrigin(Eigen::Vector3d::Constant(-80), Eigen::Vector3d::Constant(80));
    const auto readout =
      [&](const Eigen::Matrix4d& calibration, ToolCalibrationKnowledge knows, const Eigen::AlignedBox3d& region)
    {
        return computeInsertionReadout(ToolSnapshot{ measured * calibration, 16000, knows }, truth.pathEntry_Tracker,
                                       truth.pathTarget_Tracker, region);
    };

    // No calibration: the "tip" is the marker frame's origin, 140 mm from the tip.
    EXPECT_EQ(readout(Eigen::Matrix4d::Identity(), {}, inTracker).state, State::Uncalibrated);
    // The tip without the axis: depth and lateral offset are right, the angle and aim are not known.
    const InsertionReadout pivotOnly = readout(tipOnly, { true, false }, inTracker);
    ASSERT_EQ(pivotOnly.state, State::Valid);
    EXPECT_NEAR(pivotOnly.depthToTargetMm, trueDepth, 0.5);
    EXPECT_LT(pivotOnly.lateralMm, 0.5);
    EXPECT_FALSE(pivotOnly.angleDegrees || pivotOnly.axisOffsetMm);
    EXPECT_EQ(readoutLines(pivotOnly)[3].text, "Angle: axis not calibrated");

    const InsertionReadout unregistered = readout(tipOnly, { true, false }, atOrigin);
    EXPECT_EQ(unregistered.state, State::NotRegistered);
    EXPECT_NEAR(unregistered.outsideMm, 1.1e3, 0.1e3);
}

} // namespace
} // namespace Kelvaros::Testing
