#include "calibration/ToolCalibrationAlgorithm.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <locale>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <QDateTime>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "core/Log.h"
#include "core/Properties.h"
#include "lib/numerics/Pose.h"
#include "stream/InstrumentCalibrationDataComponent.h"

#include "CalibrationSimulation.h"
#include "LogExpectation.h"
#include "PivotCramerRaoBound.h"
#include "SimulatedToolRecording.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
const Eigen::Matrix4d kTurn180AboutX = Eigen::Vector4d(1, -1, -1, 1).asDiagonal();
/// A calibration that no step of the algorithm produces, to see whether a sequence was touched.
const Eigen::Matrix4d kSentinel = pose(Eigen::Vector3d(1, 2, 3), 0.3, Eigen::Vector3d(1, 2, 3));

void expectRigid(const Eigen::Matrix4d& m)
{
    const Eigen::Matrix3d r = m.topLeftCorner<3, 3>();
    EXPECT_LT((r.transpose() * r - Eigen::Matrix3d::Identity()).norm(), 1e-12);
    EXPECT_NEAR(r.determinant(), 1.0, 1e-12);
    EXPECT_EQ(m.row(3), Eigen::RowVector4d(0, 0, 0, 1));
}

std::string loggedMessageStartingWith(const std::string& prefix)
{
    for (const Log::Record& record : capturedLog())
        if (record.category == "ToolCalibrationAlgorithm" && record.message.rfind(prefix, 0) == 0)
            return record.message;
    return "<none>";
}

class LogLevelGuard
{
public:
    explicit LogLevelGuard(int level) : m_saved(Log::g_globalLevel) { Log::g_globalLevel = level; }
    ~LogLevelGuard() { Log::g_globalLevel = m_saved; }

private:
    int m_saved;
};

/// Counts the floating-point numbers that streams format: a stream takes the global locale when it is built, and
/// Eigen's matrix output formats every coefficient through it.
struct CountingNumberFormatter : std::num_put<char>
{
    static inline int count = 0;
    iter_type do_put(iter_type out, std::ios_base& stream, char fill, double value) const override
    {
        ++count;
        return std::num_put<char>::do_put(out, stream, fill, value);
    }
};

class ToolCalibrationAlgorithmTest : public ::testing::Test
{
protected:
    SimulatedTool tool;
    SimulatedNoise noise{ 0.1, 0.2 };
    std::mt19937_64 rng{ 20240611 };
};
} // namespace

TEST_F(ToolCalibrationAlgorithmTest, RefusedInputTouchesNothingAndAnUnknownTypeLeavesTheIdentity)
{
    auto good = pivotingRecording(tool, 60, 30.0, noise, rng);
    auto single = pivotingRecording(tool, 1, 30.0, noise, rng);
    auto empty = emptyRecording(tool);
    const std::vector<std::vector<TrackingSequence*>> refused{ {},
                                                               { single.get() },
                                                               { nullptr, good.get() },
                                                               { good.get(), nullptr },
                                                               { good.get(), empty.get() },
                                                               { good.get(), good.get(), good.get() } };
    for (TrackingSequence* s : { good.get(), single.get(), empty.get() })
        s->setCalibration(kSentinel);
    Properties flipOn;
    flipOn.setParam("flip", true);
    for (const std::vector<TrackingSequence*>& sequences : refused)
    {
        LogExpectation expect(Log::Error, "Input tracking sequence requirements not fulfilled!", 1);
        ToolCalibrationAlgorithm algorithm(sequences);
        algorithm.configure(&flipOn);
        algorithm.compute();
        EXPECT_EQ(algorithm.status(), ToolCalibrationAlgorithm::StatusInvalidInput) << sequences.size();
        EXPECT_TRUE(algorithm.flip()) << "a refused compute leaves the pending flip";
    }
    for (TrackingSequence* s : { good.get(), single.get(), empty.get() })
        EXPECT_EQ(s->calibration(), kSentinel);

    LogExpectation expect(Log::Error, "Unknown calibration type!", 1);
    ToolCalibrationAlgorithm unknown(std::vector<TrackingSequence*>{ good.get() });
    unknown.setCalibrationType(ToolCalibrationAlgorithm::CalibrationType(2));
    unknown.rotateCalibration180(); // arms the flip, turning the recording's earlier calibration on the way
    unknown.compute();
    EXPECT_EQ(unknown.status(), ToolCalibrationAlgorithm::StatusUnknownType);
    EXPECT_EQ(good->calibration(), Eigen::Matrix4d::Identity()) << "reset before the type was looked at";
    EXPECT_EQ(unknown.calibration(), Eigen::Matrix4d::Identity()) << "no stale, turned calibration after a failure";
}

// The fit weights the tip residuals by their estimated covariance and removes the bias that noisy orientations
// cause along the shaft. Both matter most in a narrow cone, where the depth of the tip is weakly determined.
TEST_F(ToolCalibrationAlgorithmTest, NarrowConePivotIsUnbiasedAlongTheShaftAndNearTheCramerRaoBound)
{
    constexpr int kRecordings = 200;
    const SimulatedNoise trackerNoise{ 0.3, 0.1 };
    // Tip residual in the tool frame: rotation noise times the lever arm across the shaft, translation noise in
    // every direction.
    const Eigen::Matrix3d lever = Bench::skew(tool.tip_Tool);
    const double rotationSigma = trackerNoise.rotationDegrees * kDegree;
    const Eigen::Matrix3d tipCovariance = rotationSigma * rotationSigma * lever * lever.transpose() +
                                          std::pow(trackerNoise.positionMm, 2) * Eigen::Matrix3d::Identity();

    LogLevelGuard quiet(Log::Warning);
    double alongShaft = 0.0;
    double squaredError = 0.0;
    double squaredBound = 0.0;
    for (int r = 0; r < kRecordings; ++r)
    {
        auto recording = pivotingRecording(tool, 100, 15.0, trackerNoise, rng);
        ToolCalibrationAlgorithm algorithm(std::vector<TrackingSequence*>{ recording.get() });
        algorithm.compute();
        ASSERT_EQ(algorithm.status(), Algorithm::Success);
        const Eigen::Vector3d error = algorithm.calibration().topRightCorner<3, 1>() - tool.tip_Tool;
        alongShaft += error.dot(tool.tip_Tool.normalized());
        squaredError += error.squaredNorm();
        // The measured orientations stand in for the true ones: they differ by the 0.3 degree noise only.
        std::vector<Eigen::Matrix3d> rotations;
        for (int i = 0; i < recording->size(); ++i)
            rotations.push_back(recording->matrix(i).topLeftCorner<3, 3>());
        squaredBound += Bench::tipOffsetMeanSquaredBound(Bench::pivotPoseInformation(rotations, tipCovariance));
    }
    const double bound = std::sqrt(squaredBound / kRecordings);
    // The mean of 200 errors scatters by about bound / sqrt(200); without the bias correction the mean is five
    // times that. The ordinary least-squares fit is 30 to 50 per cent above the bound here, the weighted one within
    // a few per cent (up to 17 per cent with other seeds, as the squared error has a long tail).
    EXPECT_LT(std::abs(alongShaft / kRecordings), 2.5 * bound / std::sqrt(kRecordings)) << "bound " << bound;
    EXPECT_LT(std::sqrt(squaredError / kRecordings), 1.2 * bound);
}

// Turned about one axis only (spun about its needle, or swung in one plane), a noisy recording lets the fit
// return some tip on that axis with small residuals; it must fail instead.
TEST_F(ToolCalibrationAlgorithmTest, TurningAboutOneAxisOnlyFailsDespiteTheNoise)
{
    for (const Eigen::Vector3d& about : { tool.axis_Tool, Eigen::Vector3d(Eigen::Vector3d::UnitX()) })
    {
        auto turned = emptyRecording(tool);
        for (int i = 0; i < 120; ++i)
            turned->add(measuredPose(tool, Eigen::AngleAxisd(i * 3 * kDegree, about).toRotationMatrix(), noise, rng),
                        i);
        LogExpectation failed(Log::Error, "Pivot calibration failed", 1);
        ToolCalibrationAlgorithm algorithm(std::vector<TrackingSequence*>{ turned.get() });
        algorithm.compute();
        EXPECT_EQ(algorithm.status(), ToolCalibrationAlgorithm::StatusCalibrationFailed) << about.transpose();
    }
}

TEST_F(ToolCalibrationAlgorithmTest, UpDirectionAveragesTheToolsOwnMeasuredFiducialsFromTheFirstSampleOn)
{
    auto sequence = pivotingRecording(tool, 80, 30.0, noise, rng, true);
    const uint64_t own = TrackingInstrumentFiducialsData::instrumentKey(tool.id);
    const Eigen::Vector3d far(5000, -3000, 100);
    auto fiducialsOf = [&](int i)
    { return sequence->elementwiseComponents().element(i).get<TrackingInstrumentFiducialsData>(); };
    for (int i = 0; i < sequence->size(); ++i)
    {
        // None of these may count: another instrument's marker, own markers without a usable measurement.
        fiducialsOf(i)->addFiducial(far, 1.0, TrackingInstrumentFiducialsData::instrumentKey(tool.id + " "));
        for (double unusable : { 0.0, -1.0, std::numeric_limits<double>::quiet_NaN() })
            fiducialsOf(i)->addFiducial(far, unusable, own);
        fiducialsOf(i)->addFiducial(Eigen::Vector3d::Constant(std::numeric_limits<double>::quiet_NaN()), 1.0, own);
    }
    // A value list shorter than the others: only the common length is read (the sanitizer build checks it).
    fiducialsOf(1)->points().push_back(far);
    fiducialsOf(1)->instrumentKeys().push_back(own);

    ToolCalibrationAlgorithm algorithm(std::vector<TrackingSequence*>{ sequence.get() });
    algorithm.compute();
    ASSERT_EQ(algorithm.status(), Algorithm::Success);
    ASSERT_TRUE(algorithm.origin() && algorithm.directionUp());
    // Ground truth: the markers stand above the tip of the upright tool; any far point counted would tip it over.
    EXPECT_GT(algorithm.directionUp()->z(), 0.98);

    // Later samples still carry fiducials (pointing elsewhere now), but the first does not: no new direction.
    const Eigen::Vector3d earlier = *algorithm.directionUp();
    for (int i = 1; i < sequence->size(); ++i)
        std::fill(fiducialsOf(i)->points().begin(), fiducialsOf(i)->points().end(), tool.pivot_Tracker - far);
    sequence->elementwiseComponents().element(0).remove(typeid(TrackingInstrumentFiducialsData));
    algorithm.compute();
    EXPECT_EQ(*algorithm.directionUp(), earlier);
}

TEST_F(ToolCalibrationAlgorithmTest, DegenerateTurnsStillGiveARigidFrameAboutTheNeedle)
{
    // Noise-free half turns; about x the axis is (±1, 0, 0), where axis × x vanishes.
    for (const Eigen::Vector3d& axis :
         { Eigen::Vector3d(Eigen::Vector3d::UnitZ()), Eigen::Vector3d(Eigen::Vector3d::UnitX()),
           Eigen::Vector3d(-Eigen::Vector3d::UnitX()) })
    {
        auto rotation = emptyRecording(tool);
        for (int i = 0; i < 20; ++i)
            rotation->add(makePose(Eigen::AngleAxisd(kPi * i / 19, axis).toRotationMatrix(), Eigen::Vector3d::Zero()),
                          i);
        ToolCalibrationAlgorithm algorithm(nullptr, rotation.get());
        algorithm.compute();
        ASSERT_EQ(algorithm.status(), Algorithm::Success) << algorithm.statusMessage();
        expectRigid(algorithm.calibration());
        EXPECT_LT(lineAngleDegrees(algorithm.calibration().block<3, 1>(0, 2), axis), 1e-9) << axis.transpose();
    }
}

TEST_F(ToolCalibrationAlgorithmTest, TwoSequencesGiveTipFromThePivotAndAxisFromTheNeedleAndFlipAboutX)
{
    // The same spin on a tool with its tip below and one with its tip above the markers: the spin alone cannot
    // tell up from down, the tip can, and the calibrated z must point from the tip towards the markers in both.
    const Eigen::Matrix3d start = Eigen::AngleAxisd(0.7, Eigen::Vector3d(0.3, -1, 0.4).normalized()).toRotationMatrix();
    tool.tip_Tool.z() = 160.0;
    tool.axis_Tool = -tool.axis_Tool;
    auto pivot = pivotingRecording(tool, 200, 30.0, noise, rng, true);
    auto rotation = rotationRecording(tool, 100, 200.0, start, noise, rng);
    ToolCalibrationAlgorithm upsideDown(pivot.get(), rotation.get());
    upsideDown.compute();
    EXPECT_LT(upsideDown.calibration().col(2).head<3>().dot(tool.tip_Tool), 0.0);

    tool = SimulatedTool();
    pivot = pivotingRecording(tool, 200, 30.0, noise, rng, true);
    rotation = rotationRecording(tool, 100, 200.0, start, noise, rng);
    ToolCalibrationAlgorithm algorithm(pivot.get(), rotation.get());
    algorithm.compute();

    ASSERT_EQ(algorithm.status(), Algorithm::Success);
    const Eigen::Matrix4d c = algorithm.calibration();
    expectRigid(c);
    EXPECT_LT((c.topRightCorner<3, 1>() - tool.tip_Tool).norm(), 0.5);
    EXPECT_LT(lineAngleDegrees(c.block<3, 1>(0, 2), tool.axis_Tool), 0.5);
    EXPECT_LT(c.col(2).head<3>().dot(tool.tip_Tool), 0.0);
    EXPECT_LT((*algorithm.origin() - tool.pivot_Tracker).norm(), 0.5);
    // Up is the needle in tracker space at the rotation's first sample: the needle direction runs last, so it
    // wins over the pivot recording's fiducials.
    const Eigen::Vector3d up = *algorithm.directionUp();
    EXPECT_LT((up - rotation->matrix(0).topLeftCorner<3, 3>() * c.block<3, 1>(0, 2)).norm(), 1e-12);

    // The flip turns about the calibrated x-axis, keeping the tip; flipping twice restores.
    for (bool flipped : { true, false })
    {
        algorithm.rotateCalibration180();
        const Eigen::Matrix4d expected = flipped ? Eigen::Matrix4d(c * kTurn180AboutX) : c;
        EXPECT_EQ(algorithm.flip(), flipped);
        EXPECT_EQ(algorithm.calibration(), expected);
        EXPECT_EQ(pivot->calibration(), expected);
        EXPECT_EQ(rotation->calibration(), expected);
        EXPECT_EQ(*algorithm.directionUp(), flipped ? Eigen::Vector3d(-up) : up);
    }
}

TEST_F(ToolCalibrationAlgorithmTest, InfoTextsAreBuiltOnlyWhenTheLogTakesThem)
{
    auto pivot = pivotingRecording(tool, 60, 30.0, noise, rng);
    auto rotation = rotationRecording(tool, 50, 200.0, Eigen::Matrix3d::Identity(), noise, rng);
    const std::locale saved = std::locale::global(std::locale(std::locale(), new CountingNumberFormatter));
    for (int level : { Log::Info, Log::Warning })
    {
        LogLevelGuard guard(level);
        CountingNumberFormatter::count = 0;
        ToolCalibrationAlgorithm algorithm(pivot.get(), rotation.get());
        algorithm.rotateCalibration180();
        algorithm.compute();
        EXPECT_EQ(algorithm.status(), Algorithm::Success);
        EXPECT_EQ(CountingNumberFormatter::count > 0, level == Log::Info) << CountingNumberFormatter::count;
    }
    std::locale::global(saved);
    EXPECT_EQ(loggedMessageStartingWith("Performing pivot"), "Performing pivot calibration with 60 samples.");
    EXPECT_NE(loggedMessageStartingWith("Reproj errors. Mean: ").find(", min: "), std::string::npos);
    const std::string final = loggedMessageStartingWith("Final calibration matrix: \n");
    EXPECT_EQ(std::count(final.begin(), final.end(), '\n'), 4) << final;
}

TEST_F(ToolCalibrationAlgorithmTest, ProvenanceTellsMethodPosesRangeAndResidualsAndTheSequencesKeepIt)
{
    // Position noise alone puts the tip off the pivot by sigma in each axis, sqrt(3) sigma in all.
    const SimulatedNoise positionNoise{ 0.0, 0.2 };
    auto pivot = pivotingRecording(tool, 200, 30.0, positionNoise, rng);
    auto rotation = rotationRecording(tool, 40, 200.0, Eigen::Matrix3d::Identity(), positionNoise, rng);
    struct Case
    {
        TrackingSequence* pivot;
        TrackingSequence* rotation;
        const char* method;
    };
    for (const Case& c : { Case{ pivot.get(), nullptr, "pivot" }, Case{ nullptr, rotation.get(), "axis" },
                           Case{ pivot.get(), rotation.get(), "pivot+axis" } })
    {
        SCOPED_TRACE(c.method);
        ToolCalibrationAlgorithm algorithm(c.pivot, c.rotation);
        algorithm.compute();
        ASSERT_EQ(algorithm.status(), Algorithm::Success);
        const auto provenance = algorithm.provenance();
        ASSERT_TRUE(provenance);
        EXPECT_EQ(provenance->method, c.method);
        EXPECT_TRUE(QDateTime::fromString(QString::fromStdString(provenance->dateTime), Qt::ISODate).isValid() &&
                    std::regex_search(provenance->dateTime, std::regex("T\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$")))
          << provenance->dateTime;
        if (c.pivot)
        {
            EXPECT_EQ(provenance->poseCount, 200);
            // Tilted up to 30 degrees every way, the shaft (5 degrees off the tool's z) spreads over about 60.
            EXPECT_GT(*provenance->angularRangeDegrees, 55.0);
            EXPECT_LT(*provenance->angularRangeDegrees, 70.0);
            EXPECT_NEAR(*provenance->residualRmsMm, 0.2 * std::sqrt(3.0), 0.03);
            EXPECT_GT(*provenance->residualMaxMm, *provenance->residualRmsMm);
            EXPECT_GT(*provenance->predictedTipErrorMm, 0.0);
        }
        else
        {
            // Every pose enters the axis, the turn about it is the range.
            EXPECT_EQ(provenance->poseCount, 40);
            EXPECT_NEAR(*provenance->angularRangeDegrees, 200.0, 1e-6);
            EXPECT_FALSE(provenance->residualRmsMm || provenance->residualMaxMm || provenance->predictedTipErrorMm);
        }
        // The orientations carry no noise: the axis keeps its direction exactly and knows it.
        EXPECT_EQ(provenance->axisSpinDegrees.has_value(), c.rotation != nullptr);
        if (c.rotation)
        {
            EXPECT_TRUE(std::abs(*provenance->axisSpinDegrees - 200.0) < 1e-6 &&
                        *provenance->axisTiltRmsDegrees < 1e-6 && *provenance->predictedAxisErrorDegrees < 1e-6);
        }
        for (TrackingSequence* sequence : { c.pivot, c.rotation })
        {
            if (!sequence)
                continue;
            const auto stored =
              sequence->components().get<InstrumentCalibrationDataComponent>()->entry(sequence->trackerID().ID());
            ASSERT_TRUE(stored);
            EXPECT_EQ(stored->calibration.matrix, algorithm.calibration());
            EXPECT_EQ(stored->provenance, provenance);
        }
    }
}

// The simulated tracker's spin gives the needle axis within half a degree of the truth, also with a hand's wobble of
// two degrees, and an error prediction of that size; its pivot recording given as the spin fails, saying why, and
// stores nothing. Long, it tilts the axis by 7 degrees; short, by about 3, but its axis drifts steadily.
TEST_F(ToolCalibrationAlgorithmTest, OnlyASteadyTurnAboutOneAxisGivesTheNeedleAxis)
{
    using Scenario = TrackingSimulator::Scenario;
    for (const char* id : { "Needle", "Pointer" })
    {
        SCOPED_TRACE(id);
        const Eigen::Vector3d axis = TrackingSimulator::groundTruth().tool(id)->axis_Tool;
        auto pivot = Bench::simulatedRecording({ Scenario::Pivot, id, 1, 720 });
        for (double wobble : { 0.0, 2.0 })
        {
            auto spin = Bench::simulatedRecording({ Scenario::Spin, id, 2, 600, 0, 0.1, wobble });
            ToolCalibrationAlgorithm algorithm(pivot.get(), spin.get());
            algorithm.compute();
            ASSERT_EQ(algorithm.status(), Algorithm::Success) << algorithm.statusMessage();
            const double error = lineAngleDegrees(algorithm.calibration().block<3, 1>(0, 2), axis);
            const auto provenance = *algorithm.provenance();
            EXPECT_LT(error, 0.5) << wobble;
            EXPECT_LT(error, 3.0 * *provenance.predictedAxisErrorDegrees) << wobble;
            EXPECT_GT(error, 0.1 * *provenance.predictedAxisErrorDegrees) << wobble;
            EXPECT_NEAR(*provenance.axisTiltRmsDegrees, std::max(wobble, 0.1), 0.1) << wobble;
            EXPECT_NEAR(*provenance.axisSpinDegrees, 1200.0, 5.0) << "10 s at a turn every 3 s";
        }
        for (const auto& [frames, reason] : { std::pair(720, "The tool did not turn about one axis: the axis that fits "
                                                             "the poses best tilted by"),
                                              std::pair(120, "The tool did not turn steadily about one axis") })
        {
            auto pivotAsSpin = Bench::simulatedRecording({ Scenario::Pivot, id, 3, frames });
            LogExpectation refused(Log::Error, reason, 1);
            ToolCalibrationAlgorithm algorithm(pivot.get(), pivotAsSpin.get());
            algorithm.compute();
            EXPECT_EQ(algorithm.status(), ToolCalibrationAlgorithm::StatusCalibrationFailed);
            EXPECT_EQ(algorithm.statusMessage().rfind(reason, 0), 0u) << algorithm.statusMessage();
            EXPECT_NE(algorithm.statusMessage().find("turn the tool about its own axis"), std::string::npos);
            EXPECT_EQ(pivotAsSpin->calibration(), Eigen::Matrix4d::Identity());
            EXPECT_FALSE(pivotAsSpin->components().get<InstrumentCalibrationDataComponent>());
        }
    }
}

// Each way a calibration can fail tells the user what happened and what to do, beside the log's own texts.
TEST_F(ToolCalibrationAlgorithmTest, EveryFailureSaysWhatHappenedAndWhatToDo)
{
    auto pivot = pivotingRecording(tool, 60, 30.0, noise, rng);
    auto single = pivotingRecording(tool, 1, 30.0, noise, rng);
    auto shortTurn = rotationRecording(tool, 5, 200.0, Eigen::Matrix3d::Identity(), noise, rng);
    auto smallTurn = rotationRecording(tool, 60, 120.0, Eigen::Matrix3d::Identity(), noise, rng);
    auto spunAboutItsAxis = rotationRecording(tool, 60, 200.0, Eigen::Matrix3d::Identity(), noise, rng);
    const struct
    {
        std::vector<TrackingSequence*> sequences;
        int type;
        int status;
        const char* says;
    } cases[] = {
        { {}, 2, ToolCalibrationAlgorithm::StatusInvalidInput, "takes one or two recordings" },
        { { single.get() }, 0, ToolCalibrationAlgorithm::StatusInvalidInput, "The pivot recording holds 1 pose;" },
        { { pivot.get() }, 2, ToolCalibrationAlgorithm::StatusUnknownType, "Calibration type 2 is unknown" },
        { { spunAboutItsAxis.get() },
          0,
          ToolCalibrationAlgorithm::StatusCalibrationFailed,
          "Pivot calibration failed: the tool was tilted by only" },
        { { shortTurn.get() },
          1,
          ToolCalibrationAlgorithm::StatusCalibrationFailed,
          "The rotation recording holds 5 poses, fewer than the 10" },
        { { smallTurn.get() },
          1,
          ToolCalibrationAlgorithm::StatusCalibrationFailed,
          "The tool turned by only 120° about its needle; finding the axis needs at least 180°" },
    };
    for (const auto& c : cases)
    {
        LogExpectation logged(Log::Error, "", -1);
        ToolCalibrationAlgorithm algorithm(c.sequences);
        algorithm.setCalibrationType(ToolCalibrationAlgorithm::CalibrationType(c.type));
        algorithm.compute();
        EXPECT_EQ(algorithm.status(), c.status) << c.says;
        EXPECT_NE(algorithm.statusMessage().find(c.says), std::string::npos) << algorithm.statusMessage();
        EXPECT_EQ(algorithm.statusMessage().back(), '.') << "a sentence, ending with what to do";
    }
}
