#include "imageio/VolumeGeometry.h"

#include <Eigen/Geometry>

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
} // namespace

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
