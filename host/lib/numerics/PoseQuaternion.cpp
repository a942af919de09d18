#include "PoseQuaternion.h"

#include <Eigen/Geometry>

namespace Kelvaros::PoseQuaternion
{

Eigen::Vector4d unitQuaternion(const Eigen::Matrix4d& pose)
{
    Eigen::Quaterniond q(Eigen::Matrix3d(pose.topLeftCorner<3, 3>()));
    const double norm = q.norm();
    if (norm > 0.0)
        q.coeffs() /= norm;
    return Eigen::Vector4d(q.w(), q.x(), q.y(), q.z());
}

Eigen::Matrix3d rotation(const Eigen::Vector4d& wxyz)
{
    return Eigen::Quaterniond(wxyz[0], wxyz[1], wxyz[2], wxyz[3]).toRotationMatrix();
}

} // namespace Kelvaros::PoseQuaternion
