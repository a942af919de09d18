#include "lib/numerics/Math.h"

namespace Kelvaros::Math
{

Eigen::Vector3d transformPointAffine(const Eigen::Matrix4d& matrix, const Eigen::Vector3d& point)
{
    return matrix.topLeftCorner<3, 3>() * point + matrix.topRightCorner<3, 1>();
}

Eigen::Vector3d transformVectorAffine(const Eigen::Matrix4d& matrix, const Eigen::Vector3d& vector)
{
    return matrix.topLeftCorner<3, 3>() * vector;
}

} // namespace Kelvaros::Math
