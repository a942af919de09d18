#pragma once

#include <Eigen/Core>

namespace Kelvaros::PoseQuaternion
{

/// Unit quaternion (w, x, y, z) of the rotation part of `pose`, with the sign the conversion gives (trace method with
/// the largest-diagonal fallback), normalised when its norm is positive. Internal to the host library.
[[nodiscard]] Eigen::Vector4d unitQuaternion(const Eigen::Matrix4d& pose);

/// Rotation matrix of the quaternion `wxyz` (w, x, y, z), expected unit.
[[nodiscard]] Eigen::Matrix3d rotation(const Eigen::Vector4d& wxyz);

} // namespace Kelvaros::PoseQuaternion
