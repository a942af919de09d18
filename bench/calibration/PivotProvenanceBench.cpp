// Does the pivot calibration know how good it is? Over many seeds of the simulated tracker's pivot scenario (default
// settings: 0.1 mm marker noise, 1 % dropouts), the pointer is calibrated by the tool calibration algorithm, and
// the tip error it predicts for itself (its provenance) is set against the true error: the RMS over seeds of the
// predicted error against the RMS of |tip - true tip|. A ratio within 25 % of 1 lets a user trust the figure the
// calibration panel shows.
//
// Cases (bench/support/SimulatedToolRecording.h), 12 s recordings (two sweeps of the breathing cone) unless said:
//  - white: the simulator's marker noise alone; also over 200 s (12,000 poses);
//  - slip: the tip slides in its dimple, 0.3 mm RMS per horizontal coordinate, correlation time 0.5 s; also over
//    60 s, with a correlation time of 2 s (a sixth of the recording), and a slip of 0.05 mm (small beside the
//    white noise, whose tip scatter is about 0.3 mm: the slow part hardly shows at short lags);
//  - drift: every marker carries a slowly varying error of 0.1 mm RMS per coordinate, correlation time 0.5 s;
//  - both slip and drift, correlation time 1 s.
// The errors of neighbouring poses then follow one another; a prediction that counts every pose as an independent
// look at the tip is too small by the square root of their correlation time (5 to 8 times here). The share of
// independent poses the fit reports (independentPoses / inliers) is printed alongside.
//
// Also: the tip error an ordinary least-squares fit predicts for itself the textbook way, s² (AᵀA)⁻¹ with
// s² = RSS / (3N - 6), for white noise. That assumes tip noise of the same size in every direction, which a
// marker-based tracker's is not (rotation noise times the lever arm dominates across the shaft). And the cost of a
// 60,000-pose fit (median of 5), white and with slip.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "core/Log.h"
#include "lib/numerics/Geometry.h"
#include "stream/TrackingSequence.h"
#include "stream/sources/TrackingSimulator.h"

#include "SimulatedToolRecording.h"
#include "calibration/ToolCalibrationAlgorithm.h"

namespace
{
using namespace Kelvaros;

constexpr int kSeeds = 300;
constexpr int kLongSeeds = 100;
constexpr int kFrames = 720; // 12 s at 60 Hz

std::vector<Eigen::Matrix4d> posesOf(const TrackingSequence& sequence)
{
    std::vector<Eigen::Matrix4d> poses;
    poses.reserve(size_t(sequence.size()));
    for (int i = 0; i < sequence.size(); ++i)
        poses.push_back(sequence.matrix(i));
    return poses;
}

/// The ordinary least-squares pivot fit: its tip and the error it predicts, sqrt(trace) of the tip block of
/// s² (AᵀA)⁻¹.
struct OrdinaryFit
{
    Eigen::Vector3d tip;
    double predicted;
};

OrdinaryFit ordinaryFit(const std::vector<Eigen::Matrix4d>& poses)
{
    using Matrix6d = Eigen::Matrix<double, 6, 6>;
    using Vector6d = Eigen::Matrix<double, 6, 1>;
    const double n = double(poses.size());
    Matrix6d normal = Matrix6d::Zero();
    Vector6d right = Vector6d::Zero();
    Eigen::Matrix<double, 3, 6> a;
    for (const Eigen::Matrix4d& pose : poses)
    {
        a << pose.topLeftCorner<3, 3>(), -Eigen::Matrix3d::Identity();
        normal += a.transpose() * a;
        right -= a.transpose() * pose.topRightCorner<3, 1>();
    }
    const Matrix6d inverse = normal.inverse();
    const Vector6d x = inverse * right;
    double rss = 0.0;
    for (const Eigen::Matrix4d& pose : poses)
    {
        a << pose.topLeftCorner<3, 3>(), -Eigen::Matrix3d::Identity();
        rss += (a * x + pose.topRightCorner<3, 1>()).squaredNorm();
    }
    return { x.head<3>(), std::sqrt(rss / (3.0 * n - 6.0) * inverse.topLeftCorner<3, 3>().trace()) };
}

/// Squared sums over the seeds of one case.
struct TipFigures
{
    int runs = 0;
    int refused = 0;
    double squaredError = 0.0;
    double squaredPredicted = 0.0;
    double independentShare = 0.0;
    double squaredOrdinaryError = 0.0;
    double squaredOrdinaryPredicted = 0.0;

    [[nodiscard]] double rmsError() const { return std::sqrt(squaredError / runs); }
    [[nodiscard]] double rmsPredicted() const { return std::sqrt(squaredPredicted / runs); }
    [[nodiscard]] double ratio() const { return std::sqrt(squaredPredicted / squaredError); }
    [[nodiscard]] double ordinaryRatio() const { return std::sqrt(squaredOrdinaryPredicted / squaredOrdinaryError); }
};

struct Case
{
    const char* name;
    Bench::RecordingSettings settings;
    int seeds;
};

TipFigures run(const Case& c)
{
    const Eigen::Vector3d trueTip = TrackingSimulator::groundTruth().tool(c.settings.tool)->tipOffset_Tool;
    TipFigures figures;
    for (int seed = 1; seed <= c.seeds; ++seed)
    {
        Bench::RecordingSettings settings = c.settings;
        settings.seed = uint64_t(seed);
        auto sequence = Bench::simulatedRecording(settings);
        ToolCalibrationAlgorithm calibration(std::vector<TrackingSequence*>{ sequence.get() });
        calibration.compute();
        if (calibration.status() != Algorithm::Success || !calibration.provenance())
        {
            ++figures.refused;
            continue;
        }
        ++figures.runs;
        const double predicted = *calibration.provenance()->predictedTipErrorMm;
        figures.squaredError += (calibration.calibration().topRightCorner<3, 1>() - trueTip).squaredNorm();
        figures.squaredPredicted += predicted * predicted;
        const std::vector<Eigen::Matrix4d> poses = posesOf(*sequence);
        const Geometry::SpherePivotResult fit = Geometry::fitSpherePivotingPoses(poses);
        figures.independentShare += fit.independentPoses / double(fit.inliers);
        const OrdinaryFit ordinary = ordinaryFit(poses);
        figures.squaredOrdinaryError += (ordinary.tip - trueTip).squaredNorm();
        figures.squaredOrdinaryPredicted += ordinary.predicted * ordinary.predicted;
    }
    std::printf("%-30s %4d runs, %2d refused: tip error RMS %.4f mm, predicted RMS %.4f mm, ratio %.3f, "
                "independent poses %.3f of the kept\n",
                c.name, figures.runs, figures.refused, figures.rmsError(), figures.rmsPredicted(), figures.ratio(),
                figures.independentShare / figures.runs);
    return figures;
}

/// Median wall time of a fit of the poses, in milliseconds.
double fitMilliseconds(const std::vector<Eigen::Matrix4d>& poses)
{
    std::vector<double> times;
    for (int repeat = 0; repeat < 5; ++repeat)
    {
        const auto start = std::chrono::steady_clock::now();
        const Geometry::SpherePivotResult fit = Geometry::fitSpherePivotingPoses(poses);
        const auto stop = std::chrono::steady_clock::now();
        if (!fit.valid)
            std::printf("the 60,000-pose fit failed\n");
        times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
    std::nth_element(times.begin(), times.begin() + 2, times.end());
    return times[2];
}
} // namespace

int main()
{
    Log::g_globalLevel = Log::Warning;
    using Scenario = TrackingSimulator::Scenario;
    const Bench::RecordingSettings white{ Scenario::Pivot, "Pointer", 1, kFrames };
    Bench::RecordingSettings whiteLong = white;
    whiteLong.frames = 12000;
    Bench::RecordingSettings slip = white;
    slip.tipSlipMm = 0.3;
    Bench::RecordingSettings slipLong = slip;
    slipLong.frames = 3600;
    Bench::RecordingSettings slipSlow = slip;
    slipSlow.slowErrorSeconds = 2.0;
    Bench::RecordingSettings slipSmall = slip;
    slipSmall.tipSlipMm = 0.05;
    Bench::RecordingSettings drift = white;
    drift.trackerDriftMm = 0.1;
    Bench::RecordingSettings both = slip;
    both.trackerDriftMm = 0.1;
    both.slowErrorSeconds = 1.0;

    const TipFigures whiteFigures = run({ "white", white, kSeeds });
    const TipFigures whiteLongFigures = run({ "white, 200 s", whiteLong, kLongSeeds });
    const TipFigures slipFigures = run({ "slip", slip, kSeeds });
    const TipFigures slipLongFigures = run({ "slip, 60 s", slipLong, kLongSeeds });
    const TipFigures slipSlowFigures = run({ "slip correlated over 2 s", slipSlow, kSeeds });
    const TipFigures slipSmallFigures = run({ "slip of 0.05 mm", slipSmall, kSeeds });
    const TipFigures driftFigures = run({ "drift", drift, kSeeds });
    const TipFigures bothFigures = run({ "slip and drift over 1 s", both, kSeeds });

    Bench::RecordingSettings costly = slip;
    costly.frames = 60600; // 60,000 tracked poses after the 1 % dropouts
    std::vector<Eigen::Matrix4d> poses = posesOf(*Bench::simulatedRecording(costly));
    poses.resize(std::min<size_t>(poses.size(), 60000));
    const double slipMs = fitMilliseconds(poses);
    costly.tipSlipMm = 0.0;
    poses = posesOf(*Bench::simulatedRecording(costly));
    poses.resize(std::min<size_t>(poses.size(), 60000));
    const double whiteMs = fitMilliseconds(poses);
    std::printf("fit of %zu poses: %.1f ms white, %.1f ms with slip\n", poses.size(), whiteMs, slipMs);

    std::printf("FIGURE pivot_ordinary_predicted_over_true_ratio %.3f ratio\n", whiteFigures.ordinaryRatio());
    std::printf("FIGURE pivot_predicted_tip_error_mm %.4f mm\n", whiteFigures.rmsPredicted());
    std::printf("FIGURE pivot_true_tip_error_rms_mm %.4f mm\n", whiteFigures.rmsError());
    std::printf("FIGURE pivot_predicted_over_true_ratio %.3f ratio\n", whiteFigures.ratio());
    std::printf("FIGURE pivot_white_200s_predicted_over_true_ratio %.3f ratio\n", whiteLongFigures.ratio());
    std::printf("FIGURE pivot_slip_predicted_over_true_ratio %.3f ratio\n", slipFigures.ratio());
    std::printf("FIGURE pivot_slip_true_tip_error_rms_mm %.4f mm\n", slipFigures.rmsError());
    std::printf("FIGURE pivot_slip_60s_predicted_over_true_ratio %.3f ratio\n", slipLongFigures.ratio());
    std::printf("FIGURE pivot_slip_2s_predicted_over_true_ratio %.3f ratio\n", slipSlowFigures.ratio());
    std::printf("FIGURE pivot_small_slip_predicted_over_true_ratio %.3f ratio\n", slipSmallFigures.ratio());
    std::printf("FIGURE pivot_drift_predicted_over_true_ratio %.3f ratio\n", driftFigures.ratio());
    std::printf("FIGURE pivot_drift_true_tip_error_rms_mm %.4f mm\n", driftFigures.rmsError());
    std::printf("FIGURE pivot_slip_drift_predicted_over_true_ratio %.3f ratio\n", bothFigures.ratio());
    std::printf("FIGURE pivot_fit_60000_poses_ms %.1f ms\n", whiteMs);
    std::printf("FIGURE pivot_fit_60000_poses_slip_ms %.1f ms\n", slipMs);
    return 0;
}
