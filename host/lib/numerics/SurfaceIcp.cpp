#include "lib/numerics/SurfaceIcp.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include <Eigen/Eigenvalues>
#include <fmt/format.h>

#include "core/Log.h"
#include "lib/geometry/MeshClosestPoint.h"

namespace Kelvaros::SurfaceIcp
{

namespace
{

constexpr const char* kCategory = "SurfaceIcp";

using Matrix6d = Eigen::Matrix<double, 6, 6>;
using Vector6d = Eigen::Matrix<double, 6, 1>;

struct Pair
{
    Eigen::Vector3d moved;
    Eigen::Vector3d surface;
    Eigen::Vector3d normal;
    double distance;
};

struct Step
{
    Eigen::Isometry3d motion;
    double angle;
    double shift;
};

struct NormalEquations
{
    Matrix6d lhs = Matrix6d::Zero();
    Vector6d rhs = Vector6d::Zero();
    Eigen::Vector3d centre = Eigen::Vector3d::Zero();
    /// RMS radius of the points about the centre: the length that makes the rotation's unknowns millimetres.
    double scale = 0.0;
};

std::vector<Pair> pairUp(const std::vector<Eigen::Vector3d>& points, const MeshClosestPoint& surface,
                         const Eigen::Isometry3d& transform)
{
    std::vector<Pair> pairs;
    pairs.reserve(points.size());
    for (const Eigen::Vector3d& p : points)
    {
        const Eigen::Vector3d moved = transform * p;
        const MeshClosestPoint::Hit hit = surface.query(moved);
        if (hit.found)
            pairs.push_back({ moved, hit.point, hit.smoothNormal, hit.distance });
    }
    return pairs;
}

double rmsOf(const std::vector<Pair>& pairs)
{
    double sum = 0.0;
    for (const Pair& pair : pairs)
        sum += pair.distance * pair.distance;
    return pairs.empty() ? std::numeric_limits<double>::quiet_NaN() : std::sqrt(sum / double(pairs.size()));
}

double inlierLimit(const std::vector<Pair>& pairs, const Options& options)
{
    std::vector<double> distances(pairs.size());
    std::transform(pairs.begin(), pairs.end(), distances.begin(), [](const Pair& pair) { return pair.distance; });
    if (distances.empty())
        return options.outlierFloor;
    const auto middle = distances.begin() + std::ptrdiff_t(distances.size() / 2);
    std::nth_element(distances.begin(), middle, distances.end());
    return std::max(options.outlierFactor * *middle, options.outlierFloor);
}

std::vector<bool> inlierMask(const std::vector<Pair>& pairs, const Options& options)
{
    const double limit = inlierLimit(pairs, options);
    std::vector<bool> mask(pairs.size());
    std::transform(pairs.begin(), pairs.end(), mask.begin(),
                   [limit](const Pair& pair) { return pair.distance <= limit; });
    return mask;
}

template<typename T>
std::vector<T> selected(const std::vector<T>& items, const std::vector<bool>& mask)
{
    std::vector<T> kept;
    for (std::size_t i = 0; i < items.size(); ++i)
        if (mask[i])
            kept.push_back(items[i]);
    return kept;
}

NormalEquations pointToPlane(const std::vector<Pair>& pairs)
{
    NormalEquations equations;
    for (const Pair& pair : pairs)
        equations.centre += pair.moved;
    equations.centre /= double(pairs.size());
    double spread = 0.0;
    for (const Pair& pair : pairs)
        spread += (pair.moved - equations.centre).squaredNorm();
    equations.scale = std::sqrt(spread / double(pairs.size()));
    if (!(equations.scale > 0.0))
        return equations;
    for (const Pair& pair : pairs)
    {
        Vector6d row;
        row.head<3>() = (pair.moved - equations.centre).cross(pair.normal) / equations.scale;
        row.tail<3>() = pair.normal;
        const double residual = pair.normal.dot(pair.moved - pair.surface);
        equations.lhs += row * row.transpose();
        equations.rhs += row * residual;
    }
    return equations;
}

Vector6d eigenvaluesOf(const Matrix6d& lhs)
{
    Eigen::SelfAdjointEigenSolver<Matrix6d> solver(lhs, Eigen::EigenvaluesOnly);
    return solver.info() == Eigen::Success ? Vector6d(solver.eigenvalues()) : Vector6d::Zero();
}

double conditioningOf(const Vector6d& eigenvalues)
{
    const double largest = eigenvalues.maxCoeff();
    return largest > 0.0 ? std::max(eigenvalues.minCoeff(), 0.0) / largest : 0.0;
}

/// Along the free motions, the step that turns least, then shifts least: a sphere's skin fixes where its centre is
/// but not how it is turned, so the start's orientation stays and only its position moves. (The plain least-norm
/// step in the centroid's coordinates would trade part of a shift for a turn about the centroid.)
constexpr double kShiftWeight = 1e-2;

Vector6d leastTurn(const Vector6d& step, const Eigen::MatrixXd& free)
{
    if (free.cols() == 0)
        return step;
    Vector6d weights;
    weights << 1.0, 1.0, 1.0, kShiftWeight, kShiftWeight, kShiftWeight;
    const Eigen::MatrixXd weighted = free.transpose() * weights.asDiagonal();
    const Eigen::VectorXd along = (weighted * free).ldlt().solve(weighted * step);
    return step - free * along;
}

/// The least-squares step within the motions the surface determines (eigenvalue at least minimumConditioning of
/// the largest); along the others as leastTurn chooses.
std::optional<Step> planeStep(const NormalEquations& equations, double minimumConditioning)
{
    const Eigen::SelfAdjointEigenSolver<Matrix6d> solver(equations.lhs);
    if (solver.info() != Eigen::Success)
        return std::nullopt;
    const Vector6d& eigenvalues = solver.eigenvalues();
    Vector6d x = Vector6d::Zero();
    Eigen::MatrixXd free(6, 0);
    for (Eigen::Index i = 0; i < 6; ++i)
    {
        const Vector6d direction = solver.eigenvectors().col(i);
        if (eigenvalues[i] > 0.0 && eigenvalues[i] >= minimumConditioning * eigenvalues.maxCoeff())
            x -= direction * direction.dot(equations.rhs) / eigenvalues[i];
        else
        {
            free.conservativeResize(Eigen::NoChange, free.cols() + 1);
            free.col(free.cols() - 1) = direction;
        }
    }
    x = leastTurn(x, free);
    if (!x.allFinite())
        return std::nullopt;
    const Eigen::Vector3d rotation = x.head<3>() / equations.scale;
    const double angle = rotation.norm();
    const Eigen::Matrix3d turn =
      angle > 0.0 ? Eigen::AngleAxisd(angle, rotation / angle).toRotationMatrix() : Eigen::Matrix3d::Identity();
    Eigen::Isometry3d motion = Eigen::Isometry3d::Identity();
    motion.linear() = turn;
    motion.translation() = equations.centre + x.tail<3>() - turn * equations.centre;
    return Step{ motion, angle, x.tail<3>().norm() };
}

std::string whyRefused(const std::vector<Eigen::Vector3d>& points, const MeshClosestPoint& surface,
                       const Eigen::Isometry3d& transform, const Options& options)
{
    if (surface.empty())
        return "There is no surface to match the points to.";
    if (points.size() < options.minimumPoints)
        return fmt::format("{} points are too few to refine a registration on a surface; at least {} are needed.",
                           points.size(), options.minimumPoints);
    if (!std::all_of(points.begin(), points.end(), [](const Eigen::Vector3d& p) { return p.allFinite(); }))
        return "A surface point is not a finite number.";
    if (!transform.matrix().allFinite())
        return "The registration to refine is not a finite transform.";
    if (options.maxIterations < 1 || options.minimumPoints < 3 || !(options.outlierFactor > 0.0) ||
        !(options.outlierFloor >= 0.0) || !(options.minimumConditioning >= 0.0 && options.minimumConditioning < 1.0))
        return "The surface fit's options are out of range.";
    return {};
}

/// Fills in the judgement at the final transform and the text for the user.
void conclude(Result& result, const std::vector<Eigen::Vector3d>& points, const MeshClosestPoint& surface,
              const Eigen::Isometry3d& initial, const Options& options)
{
    const std::vector<Pair> before = pairUp(points, surface, initial);
    const std::vector<Pair> after = pairUp(points, surface, result.trackerToImage);
    const std::vector<bool> mask = inlierMask(after, options);
    const std::vector<Pair> inliers = selected(after, mask);
    result.rmsBefore = rmsOf(before);
    result.rmsAfter = rmsOf(after);
    result.rmsInliersBefore = rmsOf(selected(before, mask));
    result.rmsInliersAfter = rmsOf(inliers);
    result.inlierCount = inliers.size();
    const Vector6d eigenvalues = eigenvaluesOf(pointToPlane(inliers).lhs);
    result.conditioning = conditioningOf(eigenvalues);
    result.unconstrained = result.conditioning < options.minimumConditioning;

    std::vector<std::string> doubts;
    if (!result.error.empty())
        doubts.push_back(result.error);
    if (result.unconstrained)
    {
        const auto free = (eigenvalues.array() < options.minimumConditioning * eigenvalues.maxCoeff()).count();
        doubts.push_back(fmt::format("The surface under the points leaves {} of the six motions undetermined "
                                     "(conditioning {:.1e}); the registration keeps its start along those.",
                                     free, result.conditioning));
    }
    // A start already at the optimum may come out a rounding's worth farther; that is no doubt.
    if (result.rmsInliersAfter > 1.01 * result.rmsInliersBefore + 1e-6)
        doubts.push_back(fmt::format("The points moved away from the surface (RMS {:.2f} mm before, {:.2f} mm after).",
                                     result.rmsInliersBefore, result.rmsInliersAfter));
    if (!result.converged && result.error.empty())
        doubts.push_back(fmt::format("The fit did not settle within {} iterations.", options.maxIterations));
    result.error.clear();
    for (const std::string& doubt : doubts)
        result.error += (result.error.empty() ? "" : " ") + doubt;
    if (!result.error.empty())
        Log::log(Log::Warning, kCategory, result.error);
}

/// One ICP iteration from `transform`; an empty step with `error` set when the pairs cannot give one.
std::optional<Step> iterate(const std::vector<Eigen::Vector3d>& points, const MeshClosestPoint& surface,
                            const Eigen::Isometry3d& transform, const Options& options, std::string& error)
{
    const std::vector<Pair> pairs = pairUp(points, surface, transform);
    const std::vector<Pair> inliers = selected(pairs, inlierMask(pairs, options));
    if (inliers.size() < options.minimumPoints)
    {
        error = fmt::format("Only {} of {} points lie near the surface.", inliers.size(), points.size());
        return std::nullopt;
    }
    const NormalEquations equations = pointToPlane(inliers);
    if (!(equations.scale > 1e-6))
    {
        error = "The points lie all at one place.";
        return std::nullopt;
    }
    std::optional<Step> step = planeStep(equations, options.minimumConditioning);
    if (!step)
        error = "The points and their closest surface points give no rigid fit.";
    return step;
}

bool settled(const Step& step, const Options& options)
{
    return step.angle < options.rotationTolerance && step.shift < options.translationTolerance;
}

/// A pair at the outlier limit, or a closest point on the border of two triangles, can make the fit alternate
/// between two states a few micrometres apart; back where it was two iterations before, it has settled.
bool settled(const Eigen::Isometry3d& twoBack, const Eigen::Isometry3d& now, const std::vector<Eigen::Vector3d>& points,
             const Options& options)
{
    Eigen::Vector3d centre = Eigen::Vector3d::Zero();
    for (const Eigen::Vector3d& p : points)
        centre += p;
    centre = now * (centre / double(points.size()));
    const Eigen::Isometry3d back = twoBack * now.inverse();
    return settled({ back, Eigen::AngleAxisd(back.linear()).angle(), (back * centre - centre).norm() }, options);
}

} // namespace

Result refine(const std::vector<Eigen::Vector3d>& points_Tracker, const MeshClosestPoint& surface_Image,
              const Eigen::Isometry3d& trackerToImage, const Options& options)
{
    Result result;
    result.trackerToImage = trackerToImage;
    result.error = whyRefused(points_Tracker, surface_Image, trackerToImage, options);
    if (!result.error.empty())
    {
        Log::log(Log::Error, kCategory, result.error);
        return result;
    }
    std::string error;
    Eigen::Isometry3d twoBack = result.trackerToImage;
    Eigen::Isometry3d oneBack = result.trackerToImage;
    while (result.iterations < options.maxIterations)
    {
        const std::optional<Step> step = iterate(points_Tracker, surface_Image, result.trackerToImage, options, error);
        if (!step)
            break;
        result.trackerToImage = step->motion * result.trackerToImage;
        ++result.iterations;
        if (settled(*step, options) || settled(twoBack, result.trackerToImage, points_Tracker, options))
        {
            result.converged = true;
            break;
        }
        twoBack = std::exchange(oneBack, result.trackerToImage);
    }
    result.error = error;
    conclude(result, points_Tracker, surface_Image, trackerToImage, options);
    return result;
}

} // namespace Kelvaros::SurfaceIcp
