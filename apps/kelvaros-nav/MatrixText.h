#pragma once

#include <string>

#include <Eigen/Core>

namespace Kelvaros::Nav
{

/// A 4x4 matrix as four indented rows with fixed decimals, the way the tool prints every transform.
std::string matrixText(const Eigen::Matrix4d& matrix, int decimals = 4);

/// "x y z" with fixed decimals.
std::string vectorText(const Eigen::Vector3d& vector, int decimals = 3);

} // namespace Kelvaros::Nav
