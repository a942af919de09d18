#include "calibration/ToolCalibrationAlgorithm.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "core/Log.h"
#include "core/Properties.h"
#include "lib/DataList.h"
#include "lib/numerics/Pose.h"
#include "stream/ManualTrackingStream.h"
#include "stream/TrackingInstrumentFiducialsData.h"
#include "stream/TrackingSequence.h"

#include "CalibrationSimulation.h"
#include "LogExpectation.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
const Eigen::Matrix4d kTurn180AboutX = Eigen::Vector4d(1, -1, -1, 1).asDiagonal();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

/// A calibration that no step of the algorithm produces, to see whether a sequence was touched.
Eigen::Matrix4d sentinelCalibration()
{
    return makePose(Eigen::AngleAxisd(0.3, Eigen::Vector3d(1, 2, 3).normalized()).toRotationMatrix(),
                    Eigen::Vector3d(1, 2, 3));
}

void expectRigid(const Eigen::Matrix4d& m)
{
    const Eigen::Matrix3d r = m.topLeftCorner<3, 3>();
    EXPECT_LT((r.transpose() * r - Eigen::Matrix3d::Identity()).norm(), 1e-12);
    EXPECT_NEAR(r.determinant(), 1.0, 1e-12);
    EXPECT_EQ(m.row(3), Eigen::RowVector4d(0, 0, 0, 1));
}

/// A recording whose first pose is the identity and whose last pose is `last`.
std::unique_ptr<TrackingSequence> twoPoseRecording(const Eigen::Matrix4d& last)
{
    auto sequence = emptyRecording(SimulatedTool());
    sequence->add(Eigen::Matrix4d::Identity(), 0);
    sequence->add(last, 1000);
    return sequence;
}

/// The needle axis (third calibration column) found on a rotation recording alone.
Eigen::Vector3d needleAxisOf(TrackingSequence& rotation)
{
    ToolCalibrationAlgorithm algorithm(nullptr, &rotation);
    algorithm.compute();
    EXPECT_EQ(algorithm.status(), Algorithm::Success);
    expectRigid(algorithm.calibration());
    return algorithm.calibration().block<3, 1>(0, 2);
}

std::string loggedMessageStartingWith(const std::string& prefix)
{
    for (const Log::Record& record : capturedLog())
        if (record.category == "ToolCalibrationAlgorithm" && record.message.rfind(prefix, 0) == 0)
            return record.message;
    return "<none>";
}

class ToolCalibrationAlgorithmTest : public ::testing::Test
{
protected:
    SimulatedTool tool;
    SimulatedNoise noise{ 0.1, 0.2 };
    std::mt19937_64 rng{ 20240611 };
};
} // namespace

// ---------------------------------------------------------------------------------------------------------------
// Input, status codes, creation and settings

TEST_F(ToolCalibrationAlgorithmTest, RefusesUnusableInputWithStatus3AndTouchesNothing)
{
    auto good = pivotingRecording(tool, 60, 30.0, noise, rng);
    auto single = pivotingRecording(tool, 1, 30.0, noise, rng);
    auto empty = emptyRecording(tool);
    for (TrackingSequence* s : { good.get(), single.get(), empty.get() })
        s->setCalibration(sentinelCalibration());
    Properties flipOn;
    flipOn.setParam("flip", true);

    const std::vector<std::vector<TrackingSequence*>> cases{
        {},
        { single.get() },
        { nullptr, good.get() },
        { good.get(), nullptr },
        { good.get(), empty.get() },
        { good.get(), good.get(), good.get() },
    };
    for (size_t c = 0; c < cases.size(); ++c)
    {
        SCOPED_TRACE(c);
        LogExpectation expect(Log::Error,
                              "Input tracking sequence requirements not fulfilled! Missing sequence or too many "
                              "sequences.",
                              1);
        ToolCalibrationAlgorithm algorithm(cases[c]);
        algorithm.configure(&flipOn);
        algorithm.compute();
        EXPECT_EQ(algorithm.status(), ToolCalibrationAlgorithm::StatusInvalidInput);
        EXPECT_EQ(algorithm.calibration(), Eigen::Matrix4d::Identity());
        EXPECT_TRUE(algorithm.flip()) << "a refused compute leaves the pending flip";
        for (TrackingSequence* s : { good.get(), single.get(), empty.get() })
            EXPECT_EQ(s->calibration(), sentinelCalibration());
    }
}

TEST_F(ToolCalibrationAlgorithmTest, UnknownTypeForOneSequenceIsStatus2WithIdentityCalibration)
{
    auto sequence = pivotingRecording(tool, 60, 30.0, noise, rng);
    sequence->setCalibration(sentinelCalibration());
    ToolCalibrationAlgorithm algorithm(std::vector<TrackingSequence*>{ sequence.get() });
    algorithm.setCalibrationType(ToolCalibrationAlgorithm::CalibrationType(2));

    LogExpectation expect(Log::Error, "Unknown calibration type!", 1);
    algorithm.compute();
    EXPECT_EQ(algorithm.status(), ToolCalibrationAlgorithm::StatusUnknownType);
    EXPECT_EQ(sequence->calibration(), Eigen::Matrix4d::Identity());
}

TEST_F(ToolCalibrationAlgorithmTest, CreateCompatibleTakesOneOrTwoSequencesInOrder)
{
    auto a = pivotingRecording(tool, 60, 30.0, noise, rng);
    auto b = rotationRecording(tool, 60, 90.0, Eigen::Matrix3d::Identity(), noise, rng);
    auto c = emptyRecording(tool);
    ManualTrackingStream stream("Tracker");

    EXPECT_FALSE(ToolCalibrationAlgorithm::createCompatible(DataList{}, nullptr));
    EXPECT_FALSE(ToolCalibrationAlgorithm::createCompatible(DataList{ &stream }, nullptr));
    std::unique_ptr<Algorithm> created;
    EXPECT_FALSE(ToolCalibrationAlgorithm::createCompatible(DataList{ a.get(), b.get(), c.get() }, &created));
    EXPECT_FALSE(created);

    ASSERT_TRUE(ToolCalibrationAlgorithm::createCompatible(DataList{ &stream, a.get() }, &created));
    EXPECT_EQ(dynamic_cast<ToolCalibrationAlgorithm&>(*created).calibrationType(), ToolCalibrationAlgorithm::Pivot3d);

    // Other data are skipped; the second sequence is the rotation sequence.
    ASSERT_TRUE(ToolCalibrationAlgorithm::createCompatible(DataList{ a.get(), &stream, b.get() }, &created));
    auto& two = dynamic_cast<ToolCalibrationAlgorithm&>(*created);
    EXPECT_EQ(two.calibrationType(), 2);
    two.compute();
    EXPECT_EQ(two.status(), Algorithm::Success);
    EXPECT_LT(lineAngleDegrees(two.calibration().block<3, 1>(0, 2), tool.axis_Tool), 0.5);

    EXPECT_EQ(ToolCalibrationAlgorithm(nullptr, b.get()).calibrationType(), ToolCalibrationAlgorithm::NeedleDir);
    EXPECT_EQ(ToolCalibrationAlgorithm(nullptr, nullptr).calibrationType(), 2);
    EXPECT_EQ(ToolCalibrationAlgorithm(std::vector<TrackingSequence*>{ a.get() }).calibrationType(),
              ToolCalibrationAlgorithm::Pivot3d);
}

TEST_F(ToolCalibrationAlgorithmTest, SettingsAreWrittenOnlyForOneSequence)
{
    auto a = pivotingRecording(tool, 3, 30.0, noise, rng);
    ToolCalibrationAlgorithm single(std::vector<TrackingSequence*>{ a.get() });
    Properties written;
    single.configuration(&written);
    EXPECT_EQ(written.params(), (std::vector<std::string>{ "CalibrationType", "flip" }));
    EXPECT_EQ(written.paramOr("CalibrationType", -1), 0);
    EXPECT_EQ(written.paramType("CalibrationType"), 8);
    EXPECT_EQ(written.paramAttributes("CalibrationType"), "values: 'Pivot3d,NeedleDir'");
    EXPECT_FALSE(written.paramOr("flip", true));

    ToolCalibrationAlgorithm pair(a.get(), a.get());
    Properties none;
    pair.configuration(&none);
    EXPECT_TRUE(none.isEmpty());

    Properties read;
    read.setParam("CalibrationType", 1);
    read.setParam("flip", true);
    single.configure(&read);
    single.configure(nullptr);
    EXPECT_EQ(single.calibrationType(), ToolCalibrationAlgorithm::NeedleDir);
    EXPECT_TRUE(single.flip());
    for (int ignored : { 2, -1 })
    {
        read.setParam("CalibrationType", ignored);
        single.configure(&read);
        EXPECT_EQ(single.calibrationType(), ToolCalibrationAlgorithm::NeedleDir) << ignored;
    }
}

// ---------------------------------------------------------------------------------------------------------------
// Pivot calibration and the up direction from fiducials

TEST_F(ToolCalibrationAlgorithmTest, PivotCalibrationFindsTipAndPivotPointWithinHalfAMillimetre)
{
    auto sequence = pivotingRecording(tool, 200, 30.0, noise, rng);
    ToolCalibrationAlgorithm algorithm(std::vector<TrackingSequence*>{ sequence.get() });
    algorithm.compute();

    ASSERT_EQ(algorithm.status(), Algorithm::Success);
    const Eigen::Matrix4d c = algorithm.calibration();
    EXPECT_EQ(Eigen::Matrix3d(c.topLeftCorner<3, 3>()), Eigen::Matrix3d::Identity());
    EXPECT_LT((c.topRightCorner<3, 1>() - tool.tip_Tool).norm(), 0.5);
    ASSERT_TRUE(algorithm.origin());
    EXPECT_LT((*algorithm.origin() - tool.pivot_Tracker).norm(), 0.5);
    EXPECT_EQ(sequence->calibration(), c);
    EXPECT_FALSE(algorithm.directionUp()) << "no fiducials, no up direction";

    EXPECT_EQ(loggedMessageStartingWith("Performing pivot"), "Performing pivot calibration with 200 samples.");
    EXPECT_EQ(loggedMessageStartingWith("Calibration done. Offset: ").find('\n'), std::string::npos);
    EXPECT_NE(loggedMessageStartingWith("Reproj errors. Mean: ").find(", min: "), std::string::npos);
    const std::string final = loggedMessageStartingWith("Final calibration matrix: \n");
    EXPECT_EQ(std::count(final.begin(), final.end(), '\n'), 4) << final;
}

TEST_F(ToolCalibrationAlgorithmTest, UndeterminedPivotFailsWithStatus4AndKeepsTheLastResult)
{
    auto good = pivotingRecording(tool, 100, 30.0, noise, rng);
    ToolCalibrationAlgorithm earlier(std::vector<TrackingSequence*>{ good.get() });
    earlier.compute();
    ASSERT_EQ(earlier.status(), Algorithm::Success);
    const Eigen::Matrix4d result = earlier.calibration();
    const Eigen::Vector3d origin = *earlier.origin();

    // Pure translation leaves the tip undetermined.
    auto sliding = emptyRecording(tool);
    for (int i = 0; i < 60; ++i)
        sliding->add(makePose(Eigen::Matrix3d::Identity(), Eigen::Vector3d(i, 0.5 * i, 0)), i);
    auto rotation = rotationRecording(tool, 20, 90.0, Eigen::Matrix3d::Identity(), noise, rng);
    rotation->setCalibration(sentinelCalibration());
    LogExpectation expect(Log::Error, "Pivot calibration failed", 2);

    ToolCalibrationAlgorithm both(sliding.get(), rotation.get());
    both.compute();
    EXPECT_EQ(both.status(), ToolCalibrationAlgorithm::StatusCalibrationFailed);
    EXPECT_EQ(both.calibration(), Eigen::Matrix4d::Identity());
    EXPECT_FALSE(both.origin());
    EXPECT_FALSE(both.directionUp()) << "the needle direction did not run";
    EXPECT_EQ(rotation->calibration(), Eigen::Matrix4d::Identity());

    // Two poses are too few; the run before keeps its result.
    while (good->size() > 2)
        good->remove(good->size() - 1);
    earlier.compute();
    EXPECT_EQ(earlier.status(), ToolCalibrationAlgorithm::StatusCalibrationFailed);
    EXPECT_EQ(earlier.calibration(), result);
    EXPECT_EQ(*earlier.origin(), origin);
    EXPECT_EQ(good->calibration(), Eigen::Matrix4d::Identity());
}

TEST_F(ToolCalibrationAlgorithmTest, FiducialKeyIsTheFnv1aHashOfTheTrackerId)
{
    auto fnv1a = [](const std::string& text)
    {
        uint64_t h = 0xcbf29ce484222325ull;
        for (unsigned char byte : text)
            h = (h ^ byte) * 0x100000001b3ull;
        return h;
    };
    EXPECT_EQ(TrackingInstrumentFiducialsData::instrumentKey(""), 0xcbf29ce484222325ull);
    EXPECT_EQ(TrackingInstrumentFiducialsData::instrumentKey("a"), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(TrackingInstrumentFiducialsData::instrumentKey("foobar"), 0x85944171f73967e8ull);
    EXPECT_EQ(TrackingInstrumentFiducialsData::instrumentKey(tool.id), fnv1a(tool.id));
}

TEST_F(ToolCalibrationAlgorithmTest, UpDirectionAveragesTheToolsOwnMeasuredFiducials)
{
    auto sequence = pivotingRecording(tool, 80, 30.0, noise, rng, true);
    const uint64_t own = TrackingInstrumentFiducialsData::instrumentKey(tool.id);
    const Eigen::Vector3d far(5000, -3000, 100);
    for (int i = 0; i < sequence->size(); ++i)
    {
        auto* fiducials = sequence->elementwiseComponents().element(i).get<TrackingInstrumentFiducialsData>();
        // None of these may count: another instrument's marker, own markers without a usable measurement.
        fiducials->addFiducial(far, 1.0, TrackingInstrumentFiducialsData::instrumentKey(tool.id + " "));
        for (double unusable : { 0.0, -1.0, kNaN })
            fiducials->addFiducial(far, unusable, own);
        fiducials->addFiducial(Eigen::Vector3d::Constant(kNaN), 1.0, own);
    }
    // A value list shorter than the others: only the common length is read.
    auto* shortValues = sequence->elementwiseComponents().element(1).get<TrackingInstrumentFiducialsData>();
    shortValues->points().push_back(far);
    shortValues->instrumentKeys().push_back(own);
    // A sample without fiducials is skipped.
    sequence->elementwiseComponents().element(2).remove(typeid(TrackingInstrumentFiducialsData));

    ToolCalibrationAlgorithm algorithm(std::vector<TrackingSequence*>{ sequence.get() });
    algorithm.compute();
    ASSERT_EQ(algorithm.status(), Algorithm::Success);
    ASSERT_TRUE(algorithm.origin() && algorithm.directionUp());

    Eigen::Vector3d sum = Eigen::Vector3d::Zero();
    for (int i = 0; i < sequence->size(); ++i)
        if (auto* f = sequence->elementwiseComponents().element(i).get<TrackingInstrumentFiducialsData>())
            for (size_t j = 0; j < tool.markers_Tool.size(); ++j) // the tool's markers come first
                sum += f->points()[j] - *algorithm.origin();
    EXPECT_LT((*algorithm.directionUp() - sum.normalized()).norm(), 1e-12);
    // Ground truth: the markers stand above the tip of the upright tool.
    EXPECT_LT(directionAngleDegrees(*algorithm.directionUp(), Eigen::Vector3d::UnitZ()), 10.0);
}

TEST_F(ToolCalibrationAlgorithmTest, UpDirectionNeedsTheToolsFiducialsOnTheFirstSample)
{
    auto sequence = pivotingRecording(tool, 80, 30.0, noise, rng, true);
    ToolCalibrationAlgorithm algorithm(std::vector<TrackingSequence*>{ sequence.get() });
    algorithm.compute();
    ASSERT_TRUE(algorithm.directionUp());
    const Eigen::Vector3d earlier = *algorithm.directionUp();

    // Later samples still carry fiducials (pointing elsewhere now), but the first does not: no new direction.
    sequence->elementwiseComponents().element(0).remove(typeid(TrackingInstrumentFiducialsData));
    for (int i = 1; i < sequence->size(); ++i)
        for (Eigen::Vector3d& p :
             sequence->elementwiseComponents().element(i).get<TrackingInstrumentFiducialsData>()->points())
            p = tool.pivot_Tracker - Eigen::Vector3d(100, 0, 0);
    algorithm.compute();
    ASSERT_EQ(algorithm.status(), Algorithm::Success);
    EXPECT_EQ(*algorithm.directionUp(), earlier);

    // Fiducials on every sample, but none of this tool's or none attributed to an instrument: no direction.
    SimulatedTool stranger = tool;
    stranger.id = "reference";
    auto unattributed = std::make_unique<TrackingInstrumentFiducialsData>();
    unattributed->addFiducial(Eigen::Vector3d(1, 2, 3), 1.0);
    for (int i = 0; i < sequence->size(); ++i)
        sequence->elementwiseComponents().element(i).add(i % 2 ? unattributed->cloneDerived()
                                                               : markerFiducials(stranger, sequence->matrix(i)));
    ToolCalibrationAlgorithm fresh(std::vector<TrackingSequence*>{ sequence.get() });
    fresh.compute();
    ASSERT_EQ(fresh.status(), Algorithm::Success);
    EXPECT_FALSE(fresh.directionUp());
}

// ---------------------------------------------------------------------------------------------------------------
// Needle direction

TEST_F(ToolCalibrationAlgorithmTest, NeedleDirectionFindsTheAxisWithinHalfADegree)
{
    const Eigen::Matrix3d start =
      Eigen::AngleAxisd(0.7, Eigen::Vector3d(0.3, -1.0, 0.4).normalized()).toRotationMatrix();
    auto sequence = rotationRecording(tool, 100, 90.0, start, noise, rng);
    ToolCalibrationAlgorithm algorithm(nullptr, sequence.get());
    algorithm.compute();

    ASSERT_EQ(algorithm.status(), Algorithm::Success);
    const Eigen::Matrix4d c = algorithm.calibration();
    expectRigid(c);
    EXPECT_EQ(Eigen::Vector3d(c.topRightCorner<3, 1>()), Eigen::Vector3d::Zero());
    EXPECT_LT(lineAngleDegrees(c.block<3, 1>(0, 2), tool.axis_Tool), 0.5);
    EXPECT_FALSE(algorithm.origin());

    // Up is the calibrated z-axis in tracker space at the first sample.
    ASSERT_TRUE(algorithm.directionUp());
    const Eigen::Vector3d expectedUp = sequence->matrix(0).topLeftCorner<3, 3>() * c.block<3, 1>(0, 2);
    EXPECT_LT((*algorithm.directionUp() - expectedUp).norm(), 1e-12);
    EXPECT_LT(lineAngleDegrees(*algorithm.directionUp(), start * tool.axis_Tool), 0.6);
}

TEST_F(ToolCalibrationAlgorithmTest, NeedleFrameIsBuiltOnXExceptForAnAxisAlongX)
{
    // Any axis but x: columns (w, u, axis) with u = axis × x and w = u × axis.
    const Eigen::Vector3d axis = Eigen::Vector3d(0.2, 0.5, -0.8).normalized();
    auto turned = twoPoseRecording(makePose(Eigen::AngleAxisd(1.1, axis).toRotationMatrix(), Eigen::Vector3d::Zero()));
    ToolCalibrationAlgorithm algorithm(nullptr, turned.get());
    algorithm.compute();
    const Eigen::Matrix4d c = algorithm.calibration();
    const Eigen::Vector3d a = c.block<3, 1>(0, 2);
    EXPECT_LT(lineAngleDegrees(a, axis), 1e-6);
    const Eigen::Vector3d u = a.cross(Eigen::Vector3d::UnitX()).normalized();
    EXPECT_LT((c.block<3, 1>(0, 1) - u).norm(), 1e-12);
    EXPECT_LT((c.block<3, 1>(0, 0) - u.cross(a).normalized()).norm(), 1e-12);

    // Exact quarter turns about the tool's x-axis give the axis (±1, 0, 0), where axis × x vanishes.
    for (double degrees : { 90.0, -90.0 })
    {
        auto alongX = twoPoseRecording(Pose::eulerToMat(Eigen::Vector3d::Zero(), Eigen::Vector3d(degrees, 0, 0)));
        EXPECT_LT(lineAngleDegrees(needleAxisOf(*alongX), Eigen::Vector3d::UnitX()), 1e-9);
        EXPECT_EQ(loggedMessageStartingWith("Det: "), "Det: 1");
    }
}

TEST_F(ToolCalibrationAlgorithmTest, HalfTurnAboutTheNeedleGivesTheNeedleNotAPerpendicular)
{
    // At 180 degrees all three eigenvalues are real (1, -1, -1); the axis belongs to 1.
    auto exact = twoPoseRecording(Pose::eulerToMat(Eigen::Vector3d::Zero(), Eigen::Vector3d(0, 0, 180)));
    EXPECT_LT(lineAngleDegrees(needleAxisOf(*exact), Eigen::Vector3d::UnitZ()), 1e-9);
    auto spun = rotationRecording(tool, 30, 180.0, Eigen::Matrix3d::Identity(), SimulatedNoise(), rng);
    EXPECT_LT(lineAngleDegrees(needleAxisOf(*spun), tool.axis_Tool), 1e-6);
}

TEST_F(ToolCalibrationAlgorithmTest, NoTurnBetweenFirstAndLastPoseWarnsAndStillGivesARotation)
{
    // The second sequence's length is not checked: one sample means first = last.
    auto pivot = pivotingRecording(tool, 100, 30.0, noise, rng);
    auto rotation = rotationRecording(tool, 1, 0.0, Eigen::Matrix3d::Identity(), SimulatedNoise(), rng);
    LogExpectation expect(Log::Warning, "same orientation", 1);
    ToolCalibrationAlgorithm algorithm(pivot.get(), rotation.get());
    algorithm.compute();
    ASSERT_EQ(algorithm.status(), Algorithm::Success);
    expectRigid(algorithm.calibration());
    EXPECT_LT((algorithm.calibration().topRightCorner<3, 1>() - tool.tip_Tool).norm(), 0.5);
}

// ---------------------------------------------------------------------------------------------------------------
// Both sequences, and the 180-degree flip

TEST_F(ToolCalibrationAlgorithmTest, TwoSequencesComposePivotTranslationAndNeedleRotation)
{
    auto pivot = pivotingRecording(tool, 200, 30.0, noise, rng, true);
    const Eigen::Matrix3d start = Eigen::AngleAxisd(-0.4, Eigen::Vector3d::UnitY()).toRotationMatrix();
    auto rotation = rotationRecording(tool, 100, 120.0, start, noise, rng);

    ToolCalibrationAlgorithm pivotOnly(pivot.get(), nullptr);
    pivotOnly.compute();
    ToolCalibrationAlgorithm needleOnly(nullptr, rotation.get());
    needleOnly.compute();
    ToolCalibrationAlgorithm both(pivot.get(), rotation.get());
    both.compute();

    ASSERT_EQ(both.status(), Algorithm::Success);
    const Eigen::Matrix4d c = both.calibration();
    EXPECT_EQ(c, pivotOnly.calibration() * needleOnly.calibration());
    expectRigid(c);
    EXPECT_LT((c.topRightCorner<3, 1>() - tool.tip_Tool).norm(), 0.5);
    EXPECT_LT(lineAngleDegrees(c.block<3, 1>(0, 2), tool.axis_Tool), 0.5);
    EXPECT_EQ(pivot->calibration(), c);
    EXPECT_EQ(rotation->calibration(), c);
    EXPECT_LT((*both.origin() - tool.pivot_Tracker).norm(), 0.5);
    // The needle direction runs last, so its up direction wins over the fiducials'.
    EXPECT_EQ(both.directionUp(), needleOnly.directionUp());
    // The calibrated tip of every pivot pose lands on the pivot point.
    for (int i = 0; i < pivot->size(); i += 20)
        EXPECT_LT(((pivot->matrix(i) * c).topRightCorner<3, 1>() - tool.pivot_Tracker).norm(), 1.0);
}

TEST_F(ToolCalibrationAlgorithmTest, FlippingTwiceRestoresCalibrationFlagAndUpDirection)
{
    auto pivot = pivotingRecording(tool, 100, 30.0, noise, rng);
    auto rotation = rotationRecording(tool, 50, 90.0, Eigen::Matrix3d::Identity(), noise, rng);
    ToolCalibrationAlgorithm algorithm(pivot.get(), rotation.get());
    algorithm.compute();
    const Eigen::Matrix4d c = algorithm.calibration();
    const Eigen::Vector3d up = *algorithm.directionUp();

    algorithm.rotateCalibration180();
    EXPECT_TRUE(algorithm.flip());
    EXPECT_EQ(algorithm.calibration(), c * kTurn180AboutX) << "y and z reversed, the tip kept";
    EXPECT_EQ(pivot->calibration(), c * kTurn180AboutX);
    EXPECT_EQ(rotation->calibration(), c * kTurn180AboutX);
    EXPECT_EQ(*algorithm.directionUp(), -up);

    algorithm.rotateCalibration180();
    EXPECT_FALSE(algorithm.flip());
    EXPECT_EQ(algorithm.calibration(), c);
    EXPECT_EQ(pivot->calibration(), c);
    EXPECT_EQ(rotation->calibration(), c);
    EXPECT_EQ(*algorithm.directionUp(), up);
}

TEST_F(ToolCalibrationAlgorithmTest, ComputeWithFlipEndsRotatedAndClearsTheFlag)
{
    auto rotation = rotationRecording(tool, 50, 90.0, Eigen::Matrix3d::Identity(), noise, rng);
    ToolCalibrationAlgorithm plain(nullptr, rotation.get());
    plain.compute();

    ToolCalibrationAlgorithm flipped(nullptr, rotation.get());
    Properties properties;
    properties.setParam("flip", true);
    flipped.configure(&properties);
    flipped.compute();
    ASSERT_EQ(flipped.status(), Algorithm::Success);
    EXPECT_FALSE(flipped.flip());
    EXPECT_EQ(flipped.calibration(), plain.calibration() * kTurn180AboutX);
    EXPECT_EQ(rotation->calibration(), flipped.calibration());
    EXPECT_EQ(*flipped.directionUp(), -*plain.directionUp());

    // Arming the flip before compute, as the wizard does, has the same effect.
    ToolCalibrationAlgorithm armed(nullptr, rotation.get());
    armed.rotateCalibration180();
    armed.compute();
    EXPECT_EQ(armed.calibration(), flipped.calibration());
    EXPECT_FALSE(armed.flip());
}
