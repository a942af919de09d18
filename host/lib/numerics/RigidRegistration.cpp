#include "RigidRegistration.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <Eigen/Eigenvalues>
#include <Eigen/SVD>

#include "core/Log.h"

namespace Kelvaros::RigidRegistration
{

namespace
{
const char* const kCategory = "RigidRegistration";

/// RMS distance from the best-fit line below this fraction of the RMS radius counts as collinear.
constexpr double kCollinearTolerance = 1e-6;
/// Spreads below this fraction of the coordinates' magnitude are rounding noise of the centring.
constexpr double kRoundingTolerance = 1e-12;

enum class Shape
{
    Spread,
    Coincident,
    Collinear
};

struct Configuration
{
    Eigen::Vector3d centroid = Eigen::Vector3d::Zero();
    /// Columns: principal axes, by increasing mean squared extent.
    Eigen::Matrix3d axes = Eigen::Matrix3d::Identity();
    /// Mean squared extent of the points along each principal axis.
    Eigen::Vector3d extent = Eigen::Vector3d::Zero();
    Shape shape = Shape::Spread;
};

Configuration analyse(const std::vector<Eigen::Vector3d>& points)
{
    Configuration c;
    const double n = static_cast<double>(points.size());
    double magnitude = 0.0;
    for (const auto& p : points)
    {
        c.centroid += p;
        magnitude = std::max(magnitude, p.cwiseAbs().maxCoeff());
    }
    c.centroid /= n;
    Eigen::Matrix3d scatter = Eigen::Matrix3d::Zero();
    for (const auto& p : points)
    {
        const Eigen::Vector3d d = p - c.centroid;
        scatter += d * d.transpose();
    }
    scatter /= n;
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eigen(scatter);
    c.axes = eigen.eigenvectors();
    c.extent = eigen.eigenvalues().cwiseMax(0.0);

    const double radius = std::sqrt(scatter.trace());
    const double floor = kRoundingTolerance * magnitude;
    if (!(radius > floor))
    {
        c.shape = Shape::Coincident;
        return c;
    }
    // The small eigenvalues carry absolute errors of order eps * largest, so the distance from the principal line is
    // measured directly on the points rather than read off them.
    const Eigen::Vector3d direction = c.axes.col(2);
    double offLine = 0.0;
    for (const auto& p : points)
    {
        const Eigen::Vector3d d = p - c.centroid;
        offLine += (d - d.dot(direction) * direction).squaredNorm();
    }
    offLine = std::sqrt(offLine / n);
    if (offLine <= kCollinearTolerance * radius + floor)
        c.shape = Shape::Collinear;
    return c;
}

bool allFinite(const std::vector<Eigen::Vector3d>& points, std::size_t& bad)
{
    for (std::size_t i = 0; i < points.size(); ++i)
    {
        if (!points[i].allFinite())
        {
            bad = i;
            return false;
        }
    }
    return true;
}

bool checkShape(const Configuration& c, const char* which)
{
    if (c.shape == Shape::Coincident)
    {
        Log::logf(Log::Warning, kCategory, "Cannot fit a rigid transform: the {} points are coincident", which);
        return false;
    }
    if (c.shape == Shape::Collinear)
    {
        Log::logf(Log::Warning, kCategory,
                  "Cannot fit a rigid transform: the {} points are collinear (rotation about their line undetermined)",
                  which);
        return false;
    }
    return true;
}
} // namespace

std::optional<Eigen::Matrix4d> fitRigid(const std::vector<Eigen::Vector3d>& source,
                                        const std::vector<Eigen::Vector3d>& target, double* rmsError)
{
    if (source.size() != target.size())
    {
        Log::logf(Log::Warning, kCategory, "Cannot fit a rigid transform: {} source points but {} target points",
                  source.size(), target.size());
        return std::nullopt;
    }
    if (source.size() < 3)
    {
        Log::logf(Log::Warning, kCategory, "Cannot fit a rigid transform: need at least 3 point pairs, got {}",
                  source.size());
        return std::nullopt;
    }
    std::size_t bad = 0;
    if (!allFinite(source, bad) || !allFinite(target, bad))
    {
        Log::logf(Log::Warning, kCategory, "Cannot fit a rigid transform: point pair {} is not finite", bad);
        return std::nullopt;
    }
    const Configuration from = analyse(source);
    const Configuration to = analyse(target);
    if (!checkShape(from, "source") || !checkShape(to, "target"))
        return std::nullopt;

    // min sum |R s_i + t - t_i|^2 gives t = t_mean - R s_mean; with centred points s', t' what is left is
    // const - 2 sum t'_i^T R s'_i = const - 2 trace(R H), H = sum s'_i t'_i^T. With H = U S V^T, trace(V^T R U S) is
    // largest over SO(3) for R = V D U^T, D = diag(1, 1, sign det(V U^T)) (Arun 1987, Umeyama 1991): when the
    // unconstrained optimum V U^T is a reflection, flipping the direction of the smallest singular value costs least.
    Eigen::Matrix3d h = Eigen::Matrix3d::Zero();
    for (std::size_t i = 0; i < source.size(); ++i)
        h += (source[i] - from.centroid) * (target[i] - to.centroid).transpose();
    const Eigen::JacobiSVD<Eigen::Matrix3d> svd(h, Eigen::ComputeFullU | Eigen::ComputeFullV);
    const Eigen::Vector3d sigma = svd.singularValues();
    // Rank 2 suffices (planar sets): the third direction follows from the other two and det R = +1.
    if (!(sigma[1] > 1e-9 * sigma[0]))
    {
        Log::log(Log::Warning, kCategory,
                 "Cannot fit a rigid transform: the point pairs do not determine a rotation (cross-covariance rank "
                 "below 2)");
        return std::nullopt;
    }
    Eigen::Matrix3d d = Eigen::Matrix3d::Identity();
    if ((svd.matrixV() * svd.matrixU().transpose()).determinant() < 0.0)
        d(2, 2) = -1.0;
    const Eigen::Matrix3d rotation = svd.matrixV() * d * svd.matrixU().transpose();

    Eigen::Matrix4d transform = Eigen::Matrix4d::Identity();
    transform.topLeftCorner<3, 3>() = rotation;
    transform.topRightCorner<3, 1>() = to.centroid - rotation * from.centroid;
    if (rmsError)
        *rmsError = rmsResidual(transform, source, target);
    return transform;
}

double rmsResidual(const Eigen::Matrix4d& transform, const std::vector<Eigen::Vector3d>& source,
                   const std::vector<Eigen::Vector3d>& target)
{
    if (source.size() != target.size() || source.empty())
        return std::numeric_limits<double>::quiet_NaN();
    const Eigen::Matrix3d rotation = transform.topLeftCorner<3, 3>();
    const Eigen::Vector3d translation = transform.topRightCorner<3, 1>();
    double sum = 0.0;
    for (std::size_t i = 0; i < source.size(); ++i)
        sum += (rotation * source[i] + translation - target[i]).squaredNorm();
    return std::sqrt(sum / static_cast<double>(source.size()));
}

std::optional<double> predictedTre(const std::vector<Eigen::Vector3d>& fiducials, double fle,
                                   const Eigen::Vector3d& point)
{
    if (fiducials.size() < 3)
    {
        Log::logf(Log::Warning, kCategory,
                  "Cannot predict the target registration error: need at least 3 fiducials, "
                  "got {}",
                  fiducials.size());
        return std::nullopt;
    }
    std::size_t bad = 0;
    if (!allFinite(fiducials, bad) || !point.allFinite() || !(fle >= 0.0) || !std::isfinite(fle))
    {
        Log::log(Log::Warning, kCategory,
                 "Cannot predict the target registration error: fiducials, target point and FLE must be finite, FLE "
                 "not negative");
        return std::nullopt;
    }
    const Configuration c = analyse(fiducials);
    if (c.shape != Shape::Spread)
    {
        Log::log(Log::Warning, kCategory,
                 "Cannot predict the target registration error: the fiducials are collinear or coincident");
        return std::nullopt;
    }
    // f_k^2 (mean squared distance of the fiducials from axis k) = sum of the extents along the other two axes;
    // d_k^2 = |r - centroid|^2 minus its squared projection on axis k.
    const Eigen::Vector3d r = point - c.centroid;
    const double total = c.extent.sum();
    double sum = 0.0;
    for (int k = 0; k < 3; ++k)
    {
        const double fk2 = total - c.extent[k];
        const double along = r.dot(c.axes.col(k));
        const double dk2 = std::max(0.0, r.squaredNorm() - along * along);
        sum += dk2 / fk2;
    }
    const double n = static_cast<double>(fiducials.size());
    return std::sqrt(fle * fle / n * (1.0 + sum / 3.0));
}

std::optional<double> predictedTreAtCentroid(const std::vector<Eigen::Vector3d>& fiducials, double fle)
{
    if (fiducials.empty())
        return predictedTre(fiducials, fle, Eigen::Vector3d::Zero());
    Eigen::Vector3d centroid = Eigen::Vector3d::Zero();
    for (const auto& p : fiducials)
        centroid += p;
    centroid /= static_cast<double>(fiducials.size());
    return predictedTre(fiducials, fle, centroid);
}

double expectedFre(double fle, std::size_t count)
{
    if (count < 3 || !(fle >= 0.0) || !std::isfinite(fle))
        return std::numeric_limits<double>::quiet_NaN();
    const double n = static_cast<double>(count);
    return fle * std::sqrt(1.0 - 2.0 / n);
}

double estimateFle(double fre, std::size_t count)
{
    if (count < 3 || !(fre >= 0.0) || !std::isfinite(fre))
        return std::numeric_limits<double>::quiet_NaN();
    const double n = static_cast<double>(count);
    return fre * std::sqrt(n / (n - 2.0));
}

} // namespace Kelvaros::RigidRegistration
