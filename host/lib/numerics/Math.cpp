#include "lib/numerics/Math.h"

#include <algorithm>
#include <cmath>

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

Eigen::Vector3d normalizedOrZero(const Eigen::Vector3d& v)
{
    const double squaredLength = v.squaredNorm();
    return squaredLength > 0.0 ? Eigen::Vector3d(v / std::sqrt(squaredLength)) : v;
}

std::vector<Eigen::Vector3d> generateUniqueColors(int count, bool avoidSignalColors)
{
    constexpr double kGoldenRatioConjugate = 0.6180339887498949;
    constexpr double kSaturation = 0.75;
    constexpr double kValue = 0.95;
    // Hue as a fraction of the circle; the allowed arc is walked by golden-ratio steps of its own length, which
    // keeps the spread of the full circle.
    const double hueStart = avoidSignalColors ? 95.0 / 360.0 : 0.0;
    const double hueSpan = avoidSignalColors ? (295.0 - 95.0) / 360.0 : 1.0;
    std::vector<Eigen::Vector3d> colors;
    for (int i = 0; i < count; ++i)
    {
        const double hue = hueStart + hueSpan * std::fmod(i * kGoldenRatioConjugate, 1.0);
        // HSV to RGB: each channel rises and falls linearly over its sixth of the hue circle.
        const auto channel = [&](double n)
        {
            const double k = std::fmod(n + hue * 6.0, 6.0);
            return kValue - kValue * kSaturation * std::max(0.0, std::min({ k, 4.0 - k, 1.0 }));
        };
        colors.emplace_back(channel(5.0), channel(3.0), channel(1.0));
    }
    return colors;
}

} // namespace Kelvaros::Math
