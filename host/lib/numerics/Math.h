#pragma once

#include <vector>

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

/// v / |v|, or v unchanged when its squared length is 0 (a zero vector stays zero instead of becoming NaN).
/// Callable from any thread.
[[nodiscard]] KELVAROS_API Eigen::Vector3d normalizedOrZero(const Eigen::Vector3d& v);

/// `count` well-separated opaque RGB colours (components in [0, 1]) for telling objects apart: hues step by the
/// golden ratio of the colour circle (each new hue falls into one of the largest gaps left so far) at fixed saturation
/// 0.75 and value 0.95. Deterministic: the first k colours are the same for every count >= k. With `avoidSignalColors`
/// the hues stay within green, cyan, blue and violet (95 to 295 degrees), clear of the red and yellow that mark a tool
/// as not seen and seen. Empty for count <= 0. Callable from any thread.
[[nodiscard]] KELVAROS_API std::vector<Eigen::Vector3d> generateUniqueColors(int count, bool avoidSignalColors);

} // namespace Kelvaros::Math
