#include "MovingAverageWindow.h"

#include <algorithm>

#include "PoseQuaternion.h"

namespace Kelvaros
{

std::pair<Eigen::Matrix4d, double> MovingAverageWindow::add(const Eigen::Matrix4d& pose, double quality,
                                                            std::size_t interval, std::uint32_t& ringPosition)
{
    const bool first = m_poses.empty();
    if (m_poses.size() >= interval)
    {
        const std::size_t slot = std::min(interval - 1, std::size_t(ringPosition));
        ringPosition = static_cast<std::uint32_t>(slot);
        m_poses[slot] = pose;
        m_qualities[slot] = quality;
        m_rotations[slot] = PoseQuaternion::unitQuaternion(pose);
    }
    else
    {
        m_poses.push_back(pose);
        m_qualities.push_back(quality);
        m_rotations.push_back(PoseQuaternion::unitQuaternion(pose));
    }
    if (first)
        return { pose, quality };
    return mean();
}

std::uint32_t MovingAverageWindow::advance(std::uint32_t ringPosition, std::size_t interval)
{
    return static_cast<std::uint32_t>((std::size_t(ringPosition) + 1) % interval);
}

std::pair<Eigen::Matrix4d, double> MovingAverageWindow::mean() const
{
    // Quality-weighted mean. q and -q are the same rotation, so each quaternion is first flipped into the hemisphere
    // of entry 0; the normalised weighted sum is then the chordal mean, which for the small spread of a smoothing
    // window is the rotation average to second order.
    const Eigen::Vector4d& reference = m_rotations[0];
    Eigen::Vector3d translationSum = Eigen::Vector3d::Zero();
    Eigen::Vector4d quaternionSum = Eigen::Vector4d::Zero();
    double weightSum = 0.0;
    for (std::size_t j = 0; j < m_poses.size(); ++j)
    {
        const double weight = m_qualities[j];
        translationSum += weight * m_poses[j].topRightCorner<3, 1>();
        if (m_rotations[j].dot(reference) > 0.0)
            quaternionSum += weight * m_rotations[j];
        else
            quaternionSum -= weight * m_rotations[j];
        weightSum += weight;
    }

    Eigen::Matrix4d average = Eigen::Matrix4d::Identity();
    if (weightSum > 0.0)
    {
        average.topLeftCorner<3, 3>() = PoseQuaternion::rotation(quaternionSum.normalized());
        average.topRightCorner<3, 1>() = translationSum / weightSum;
    }
    return { average, weightSum / static_cast<double>(m_poses.size()) };
}

} // namespace Kelvaros
