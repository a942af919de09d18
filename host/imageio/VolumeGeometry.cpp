#include "imageio/VolumeGeometry.h"

#include <algorithm>
#include <cmath>

#include <Eigen/Geometry>
#include <fmt/format.h>

#include "lib/SharedImageSet.h"

namespace Kelvaros
{

namespace
{
const Eigen::Matrix3d kLpsToRas = Eigen::Vector3d(-1.0, -1.0, 1.0).asDiagonal();

/// LPS offset of the grid centre from voxel 0: D · diag(s) · (d - 1) / 2.
Eigen::Vector3d centreOffset_LPS(const Eigen::Matrix3d& direction, const Eigen::Vector3d& spacing,
                                 const Eigen::Vector3i& dimensions)
{
    const Eigen::Vector3d halfSteps = (dimensions.cast<double>().array() - 1.0) / 2.0;
    return direction * (spacing.array() * halfSteps.array()).matrix();
}
constexpr double kMinSpacing = 1e-6;
constexpr double kMaxSpacing = 1e4;
constexpr double kMaxOrigin = 1e7;
/// Loose enough for DICOM orientations printed with six decimals, tight enough to refuse any visible shear.
constexpr double kDirectionTolerance = 1e-4;

std::string whySpacingImplausible(const Eigen::Vector3d& spacing)
{
    for (int axis = 0; axis < 3; ++axis)
        if (!(spacing[axis] > kMinSpacing && spacing[axis] <= kMaxSpacing))
            return fmt::format("spacing {:g} mm along axis {} is out of range ({:g} to {:g} mm)", spacing[axis],
                               axis + 1, kMinSpacing, kMaxSpacing);
    return {};
}

std::string whyDirectionImplausible(const Eigen::Matrix3d& direction)
{
    if (!direction.allFinite())
        return "direction holds a value that is not a finite number";
    for (int axis = 0; axis < 3; ++axis)
        if (!(std::abs(direction.col(axis).norm() - 1.0) <= kDirectionTolerance))
            return fmt::format("direction column {} has length {:g}, not 1", axis + 1, direction.col(axis).norm());
    for (int first = 0; first < 3; ++first)
        for (int second = first + 1; second < 3; ++second)
        {
            const double cosine = direction.col(first).dot(direction.col(second));
            if (!(std::abs(cosine) <= kDirectionTolerance))
                return fmt::format("direction is not orthonormal (columns {} and {} at {:.1f}°)", first + 1, second + 1,
                                   std::acos(std::clamp(cosine, -1.0, 1.0)) * 180.0 / M_PI);
        }
    return {};
}
} // namespace

std::string VolumeGeometry::whyImplausible() const
{
    const std::string spacingReason = whySpacingImplausible(spacing);
    if (!spacingReason.empty())
        return spacingReason;
    if (!origin_LPS.allFinite() || !(origin_LPS.cwiseAbs().maxCoeff() < kMaxOrigin))
        return fmt::format("origin ({:g}, {:g}, {:g}) mm is not finite or beyond ±{:g} mm", origin_LPS.x(),
                           origin_LPS.y(), origin_LPS.z(), kMaxOrigin);
    return whyDirectionImplausible(direction_LPS);
}

Eigen::Vector3d VolumeGeometry::origin_RAS() const
{
    return kLpsToRas * origin_LPS;
}

Eigen::Matrix4d VolumeGeometry::imageToWorld() const
{
    Eigen::Matrix4d matrix = Eigen::Matrix4d::Identity();
    matrix.topLeftCorner<3, 3>() = kLpsToRas * direction_LPS;
    matrix.block<3, 1>(0, 3) = kLpsToRas * (origin_LPS + centreOffset_LPS(direction_LPS, spacing, dimensions));
    return matrix;
}

std::optional<VolumeGeometry> VolumeGeometry::fromImage(const SharedImageSet& image, std::string* error)
{
    const Eigen::Matrix4d matrix = image.matrix();
    const Eigen::Matrix3d rotation = matrix.topLeftCorner<3, 3>();
    const double orthonormality = (rotation.transpose() * rotation - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff();
    // The negated comparison also refuses NaN.
    if (!matrix.allFinite() || !(orthonormality <= 1e-6))
    {
        if (error)
            *error = "its placement scales or shears the image, which an image file cannot store";
        return std::nullopt;
    }
    VolumeGeometry geometry;
    geometry.dimensions = image.dimensions();
    geometry.spacing = image.spacing();
    geometry.direction_LPS = kLpsToRas * rotation;
    geometry.origin_LPS = kLpsToRas * matrix.block<3, 1>(0, 3) -
                          centreOffset_LPS(geometry.direction_LPS, geometry.spacing, geometry.dimensions);
    return geometry;
}

} // namespace Kelvaros
