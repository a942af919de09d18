#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"

namespace Kelvaros
{

/// Paired-point rigid registration and its error model.
///
/// Error terms follow Fitzpatrick, West and Maurer (IEEE TMI 1998): FLE is the fiducial localisation error, the RMS
/// length (3D, not per axis) of the isotropic, independent, zero-mean error of one fiducial position; FRE the RMS
/// residual of the fitted fiducials; TRE the error of the registration at a point that is not a fiducial. All
/// lengths are in millimetres (or whatever common unit the points are in).
///
/// All functions are pure and may be called from any thread. Refused input logs one Warning with the category
/// "RigidRegistration" and returns an empty optional.
namespace RigidRegistration
{

/// Least-squares rigid transform T (rotation and translation, no scale) with T * source_i ~ target_i, i.e. mapping
/// source coordinates into target coordinates, minimising sum |R s_i + t - t_i|^2 (Arun / Umeyama: SVD of the
/// centred cross-covariance, with the sign fix that turns a reflection into the best proper rotation). Works for any
/// rotation, including ones near 180 degrees.
///
/// Refused (empty result, Warning logged): different counts, fewer than 3 pairs, non-finite coordinates, a source or
/// target set whose points are coincident or collinear (rotation about their line undetermined), or point sets whose
/// cross-covariance has rank below 2 for any other reason. "Collinear" means: RMS distance from the best-fit line
/// below 1e-6 of the set's RMS radius (plus a floor relative to the coordinates' magnitude).
///
/// `rmsError`, when given, receives the RMS fiducial registration error sqrt(mean |T s_i - t_i|^2) in the points'
/// unit (millimetres); it is left untouched on refusal.
KELVAROS_API std::optional<Eigen::Matrix4d> fitRigid(const std::vector<Eigen::Vector3d>& source,
                                                     const std::vector<Eigen::Vector3d>& target,
                                                     double* rmsError = nullptr);

/// RMS residual sqrt(mean |T s_i - t_i|^2) of a given transform on paired points; NaN when the counts differ or are 0.
KELVAROS_API double rmsResidual(const Eigen::Matrix4d& transform, const std::vector<Eigen::Vector3d>& source,
                                const std::vector<Eigen::Vector3d>& target);

/// Predicted RMS target registration error at `point` for a fit on `fiducials` with localisation error `fle`:
/// TRE^2(r) = FLE^2 / N * (1 + 1/3 sum_k d_k^2 / f_k^2), with d_k the distance of r from the k-th principal axis of the
/// fiducial configuration (through its centroid) and f_k the RMS distance of the fiducials from that axis.
/// `fiducials` are in the space where `point` is given (either side of the fit: the formula is invariant under rigid
/// motion). First-order in FLE / configuration size. Refused: fewer than 3 fiducials, non-finite input, negative FLE,
/// or a collinear configuration (the prediction is unbounded off the line).
KELVAROS_API std::optional<double> predictedTre(const std::vector<Eigen::Vector3d>& fiducials, double fle,
                                                const Eigen::Vector3d& point);

/// Predicted RMS TRE at the fiducials' centroid: FLE / sqrt(N). Refused as `predictedTre`.
KELVAROS_API std::optional<double> predictedTreAtCentroid(const std::vector<Eigen::Vector3d>& fiducials, double fle);

/// Expected RMS FRE for `count` fiducials: FLE * sqrt(1 - 2 / N). NaN when count < 3 or fle is negative or not finite.
KELVAROS_API double expectedFre(double fle, std::size_t count);

/// FLE estimated from an observed RMS FRE: FLE^2 ~ FRE^2 N / (N - 2). One registration gives a noisy estimate (FRE^2
/// has about 3N - 6 degrees of freedom). NaN when count < 3 or fre is negative or not finite.
KELVAROS_API double estimateFle(double fre, std::size_t count);

} // namespace RigidRegistration

} // namespace Kelvaros
