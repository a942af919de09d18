#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include <Eigen/Core>
#include <Eigen/Geometry>

#include "core/Export.h"

namespace Kelvaros
{

class MeshClosestPoint;

/// Refines a rigid tracker → image registration by matching points swept with the pointer over an exposed surface
/// to the same surface extracted from the image: rigid ICP, point-to-plane.
///
/// Pairs and outliers: every iteration pairs each point with its closest surface point and leaves out pairs farther
/// apart than max(outlierFactor × median distance, outlierFloor). The median is unmoved by up to half the points
/// being wrong (a sweep that slipped off the surface, a tracking glitch); for Gaussian noise across the surface three
/// medians are two standard deviations, so few genuine pairs drop out; the floor stops the rule from cutting into
/// the noise once the fit is good and the median has shrunk to a fraction of a millimetre, where surface extraction
/// alone errs by a part of a voxel, and it is what rules at the end of a good fit.
///
/// Step: point-to-plane least squares linearised in a small rotation about the inliers' centroid; the rotation's
/// unknowns are scaled by the inliers' RMS radius so that all six are millimetres and the 6x6 normal equations'
/// eigenvalues compare; solved through their eigen-decomposition, which also shows the free motions (below); the
/// exact rotation of the solved angle is applied. The fit has settled when a step is below both tolerances, or when
/// it comes back within them to where it was two iterations before (a pair at the outlier limit can make it
/// alternate).
///
/// Degeneracy: a surface patch need not pin the fit. A plane leaves both in-plane translations and the rotation
/// about its normal free, a sphere every rotation about its centre, a cylinder the slide along and the turn about
/// its axis. The normal equations show this as eigenvalues near zero (an ellipsoid close to a sphere, or a sphere
/// cut into voxels, as small but not zero ones). A motion whose eigenvalue is below minimumConditioning of the
/// largest counts as free: the step is solved only within the determined motions, and along the free ones it is
/// the one that turns least, then shifts least. So a round skin corrects where the body is and keeps the start's
/// (the landmark registration's) orientation rather than drifting with the noise, and the result is reported
/// `unconstrained` with a warning that says how many motions the surface leaves to the start. (A point-to-point step
/// would be defined there too, but would move along the free motions by whatever its pairs happen to suggest.)
///
/// Pure functions, callable from any thread; never throw. Refused input logs one Error, an untrustworthy result one
/// Warning (category "SurfaceIcp"); either text is also in Result::error.
namespace SurfaceIcp
{

struct Options
{
    int maxIterations = 50;
    /// Converged when an iteration moves the inliers' centroid less than this (mm) and turns less than
    /// rotationTolerance (rad).
    double translationTolerance = 1e-4;
    double rotationTolerance = 1e-5;
    double outlierFactor = 3.0;
    /// mm
    double outlierFloor = 2.0;
    /// Fewer points (or inliers) than this do not sample a surface well enough to refine anything.
    std::size_t minimumPoints = 20;
    /// Smallest over largest eigenvalue of the scaled normal equations below which a motion counts as free: its
    /// standard deviation would be more than ten times that of the best determined one.
    double minimumConditioning = 1e-2;
};

struct Result
{
    /// The refined transform; the initial one when the input is refused.
    Eigen::Isometry3d trackerToImage = Eigen::Isometry3d::Identity();
    /// RMS distance to the surface of all points, at the initial and the refined transform (mm).
    double rmsBefore = std::numeric_limits<double>::quiet_NaN();
    double rmsAfter = std::numeric_limits<double>::quiet_NaN();
    /// The same over the final inliers only, so that before and after compare the same points.
    double rmsInliersBefore = std::numeric_limits<double>::quiet_NaN();
    double rmsInliersAfter = std::numeric_limits<double>::quiet_NaN();
    int iterations = 0;
    std::size_t inlierCount = 0;
    bool converged = false;
    /// The surface under the points leaves a motion free (see the namespace comment).
    bool unconstrained = false;
    /// Smallest over largest eigenvalue of the normal equations at the refined transform.
    double conditioning = 0.0;
    /// Empty when the result can be trusted; otherwise why not, in sentences for the user: refused input (fewer
    /// than minimumPoints points, a point or the transform not finite, no surface, options out of range), too few
    /// points near the surface, free motions, an RMS over the final inliers more than 1 % larger than at the start,
    /// or no convergence.
    std::string error;
};

/// Refines `trackerToImage` so that the points (tracker space) lie on the surface (image space).
KELVAROS_API Result refine(const std::vector<Eigen::Vector3d>& points_Tracker, const MeshClosestPoint& surface_Image,
                           const Eigen::Isometry3d& trackerToImage, const Options& options = {});

} // namespace SurfaceIcp

} // namespace Kelvaros
