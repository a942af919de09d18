#pragma once

#include <Eigen/Core>

#include "core/Export.h"

namespace Kelvaros::Math
{

/// Applies a 4x4 homogeneous affine matrix (column vectors, translation in the fourth column) to a 3-point:
/// returns A * point + t, where A is the upper-left 3x3 block and t the fourth column. The last row is taken to be
/// (0, 0, 0, 1) and is not read, so no projective division happens. Units are those of the matrix's translation
/// (millimetres throughout the host). Pure function; callable from any thread.
[[nodiscard]] KELVAROS_API Eigen::Vector3d transformPointAffine(const Eigen::Matrix4d& matrix,
                                                                const Eigen::Vector3d& point);

/// Applies only the linear part (upper-left 3x3 block) of a 4x4 affine matrix to a direction or displacement;
/// translation does not act on directions. The result is not normalised. Callable from any thread.
[[nodiscard]] KELVAROS_API Eigen::Vector3d transformVectorAffine(const Eigen::Matrix4d& matrix,
                                                                 const Eigen::Vector3d& vector);

} // namespace Kelvaros::Math
