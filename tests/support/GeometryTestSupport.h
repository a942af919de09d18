#pragma once

#include <random>
#include <vector>

#include <Eigen/Geometry>

namespace Kelvaros::Testing
{

/// A random rigid transform: uniform rotation (normalised Gaussian quaternion), translation within ±`reach` mm
/// per axis.
inline Eigen::Matrix4d randomRigid(std::mt19937& rng, double reach = 200.0)
{
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> shift(-reach, reach);
    Eigen::Quaterniond q(normal(rng), normal(rng), normal(rng), normal(rng));
    q.normalize();
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topLeftCorner<3, 3>() = q.toRotationMatrix();
    m.topRightCorner<3, 1>() = Eigen::Vector3d(shift(rng), shift(rng), shift(rng));
    return m;
}

inline Eigen::Matrix4d translation(const Eigen::Vector3d& t)
{
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topRightCorner<3, 1>() = t;
    return m;
}

inline Eigen::Vector3d apply(const Eigen::Matrix4d& m, const Eigen::Vector3d& p)
{
    return (m * p.homogeneous()).head<3>();
}

/// `count` points spread over a box of ±`half` mm.
inline std::vector<Eigen::Vector3d> randomPoints(std::mt19937& rng, int count, double half = 80.0)
{
    std::uniform_real_distribution<double> u(-half, half);
    std::vector<Eigen::Vector3d> points;
    for (int i = 0; i < count; ++i)
        points.emplace_back(u(rng), u(rng), u(rng));
    return points;
}

} // namespace Kelvaros::Testing
