#pragma once

#include <cstddef>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"

namespace Kelvaros::Geometry
{

/// Result of a pivot calibration (see fitSpherePivotingPoses). Lengths in millimetres.
struct KELVAROS_API SpherePivotResult
{
    /// False when the poses cannot determine the tip: fewer than 3 usable poses, no rotation, or rotations about a
    /// single axis only. The vectors are then zero and the statistics 0; nothing is NaN.
    bool valid = false;
    /// The fixed tip point in tracker coordinates.
    Eigen::Vector3d pivotPoint = Eigen::Vector3d::Zero();
    /// The tip in the tool's tracked frame: pose * tipOffset = pivotPoint for every pose.
    Eigen::Vector3d tipOffset = Eigen::Vector3d::Zero();
    /// Distances |R_i · tipOffset + t_i - pivotPoint| of the kept poses: how far each pose puts the tip from the
    /// pivot point.
    double minResidual = 0.0;
    double meanResidual = 0.0;
    double maxResidual = 0.0;
    double rmsResidual = 0.0;
    /// Estimated covariance of tipOffset (mm², tool frame), from the residuals; the square root of its trace,
    /// tipOffsetStdDev, is the expected RMS error of the tip offset. Errors that follow one another in the
    /// recording (a tip slipping in its dimple, a tracker error that changes slowly) count as fewer independent
    /// ones: the estimate is widened by their integrated autocorrelation time. Below 10 poses the errors are taken
    /// as independent.
    Eigen::Matrix3d tipOffsetCovariance = Eigen::Matrix3d::Zero();
    double tipOffsetStdDev = 0.0;
    /// Expected RMS error of pivotPoint (mm), widened alike.
    double pivotPointStdDev = 0.0;
    /// How many independent looks at the tip the kept poses amount to: their number divided by that
    /// autocorrelation time. Close to inliers when the poses err independently (white tracker noise); a few when
    /// the errors wander through the whole recording, and then tipOffsetStdDev cannot be trusted.
    double independentPoses = 0.0;
    /// Number of poses the result rests on.
    std::size_t inliers = 0;
    /// Indices (into the input) of the poses left out: gross outliers and poses with non-finite entries. Ascending.
    std::vector<std::size_t> rejected;
};

/// Pivot calibration: the tool was pivoted about its fixed tip, so every pose (R_i, t_i) (tool tracked frame →
/// tracker, millimetres) maps one tool point, the tip offset p, to one tracker point, the pivot point q:
/// R_i p + t_i = q. Returns p and q.
///
/// The estimator is a feasible generalised least squares fit with gross-outlier rejection; it reaches the
/// Cramér–Rao bound of the marker noise within a few per cent on typical recordings (see the calibration
/// benchmark) and is exact on noise-free poses. Poses with non-finite entries are ignored and listed as rejected.
/// Outlier rejection needs at least 8 poses, the noise-model weighting at least 10; below that the fit is the
/// plain least squares solution. Degenerate input gives valid = false (no log message: the caller decides).
/// Pure function; callable from any thread. Cost: linear in the number of poses (about 25 ms for 10,000 and
/// 150 ms for 60,000 on one core); judging the errors' correlation along the recording adds at most a few million
/// products however long it is.
[[nodiscard]] KELVAROS_API SpherePivotResult fitSpherePivotingPoses(const std::vector<Eigen::Matrix4d>& poses);

/// Result of fitRotationAxis. Angles in radians.
struct KELVAROS_API RotationAxisResult
{
    /// False with fewer than 2 usable poses or when the orientation never changes (no axis is defined).
    bool valid = false;
    /// Unit axis in the tool's tracked frame. Its sign is undetermined by the data; it is chosen to point into the
    /// tool's +z half-space (for an axis perpendicular to z: +x, then +y).
    Eigen::Vector3d axis = Eigen::Vector3d::UnitZ();
    /// Unit direction in tracker coordinates onto which the poses map the axis (R_i · axis ≈ direction).
    Eigen::Vector3d direction = Eigen::Vector3d::UnitZ();
    /// Angles between R_i · axis and direction over the kept poses: how far each pose tilts the axis.
    double rmsResidualAngle = 0.0;
    double maxResidualAngle = 0.0;
    /// Estimated standard deviation of the axis direction (radians), from the residual scatter. Residuals that
    /// follow one another in the recording (a hand's slow wobble) count as fewer independent ones: the estimate
    /// is widened by the residuals' integrated autocorrelation time.
    double axisStdDev = 0.0;
    /// How many independent looks at the axis the kept poses amount to: their number divided by that
    /// autocorrelation time. Close to inliers for tracker noise alone; a few when the axis drifts through the
    /// recording (a pivoting motion, say), and then axisStdDev cannot be trusted.
    double independentPoses = 0.0;
    /// Range of the spin about the axis covered by the kept poses in their recorded order (radians; may exceed
    /// 2 pi for several turns). Under about 0.5 rad the axis is poorly determined.
    double spinAngle = 0.0;
    std::size_t inliers = 0;
    /// Indices of the poses left out (outliers, non-finite entries). Ascending.
    std::vector<std::size_t> rejected;
};

/// Needle-axis calibration from a recording of the tool turned about its own needle: the axis is the tool-frame
/// direction a that every pose maps to (nearly) the same tracker direction d. Least squares over all poses,
/// minimising sum |R_i a - d|² over unit a and d; the solution is the leading singular vector pair of sum R_i.
/// Translations are ignored. Gross outliers are rejected from 8 poses on. Pure function; any thread.
[[nodiscard]] KELVAROS_API RotationAxisResult fitRotationAxis(const std::vector<Eigen::Matrix4d>& poses);

} // namespace Kelvaros::Geometry
