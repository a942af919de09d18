#pragma once

// The smoothed stream's Kalman and moving-average modes, driven exactly as the stream drives them, for the
// filter-level smoothing studies: device timestamps in microseconds, dt = t - previous t (1.0 for the first sample),
// s_pos = translationError / dt^2 * processSigma, s_rot = (angularError / 100) / dt^2 * processSigma, process
// variances s^2, measurement variances translationError^2 and (angularError / 100)^2, the first sample used for init
// and passed through. The moving average is the stream's quality-weighted window with its ring position and its
// sign-aligned quaternion sum.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include <Eigen/Core>
#include <Eigen/Geometry>

#include "lib/numerics/KalmanPosition.h"
#include "lib/numerics/KalmanQuaternion.h"

#include "SmoothingScenarios.h"

namespace Kelvaros::Bench
{

/// Unit quaternion of a pose matrix's rotation as (w, x, y, z), the way the stream converts it (sign as it comes).
Eigen::Vector4d matrixQuaternion(const Eigen::Matrix4d& m)
{
    Eigen::Quaterniond q(Eigen::Matrix3d(m.topLeftCorner<3, 3>()));
    if (q.norm() > 0.0)
        q.normalize();
    return Eigen::Vector4d(q.w(), q.x(), q.y(), q.z());
}

/// One instrument's smoothing as the stream does it; returns the emitted pose matrix.
class Smoother
{
public:
    virtual ~Smoother() = default;
    virtual Eigen::Matrix4d step(const Eigen::Matrix4d& pose, double quality, std::uint64_t deviceTimestamp) = 0;
};

class KalmanSmoother : public Smoother
{
public:
    KalmanSmoother(double translationError, double angularErrorDegrees, double processSigma)
      : m_translationError(translationError), m_angularError(angularErrorDegrees), m_processSigma(processSigma)
    {
    }

    Eigen::Matrix4d step(const Eigen::Matrix4d& pose, double quality, std::uint64_t t) override
    {
        const double dt = m_lastTimestamp == 0 ? 1.0 : static_cast<double>(t - m_lastTimestamp);
        m_lastTimestamp = t;
        const double sPos = m_translationError / (dt * dt) * m_processSigma;
        const double sRot = (m_angularError / 100.0) / (dt * dt) * m_processSigma;
        const double rPos = m_translationError * m_translationError;
        const double rRot = (m_angularError / 100.0) * (m_angularError / 100.0);
        const Eigen::Vector3d translation = pose.topRightCorner<3, 1>();
        if (!m_position)
        {
            m_position = std::make_unique<KalmanPosition>();
            m_position->init(translation, sPos * sPos);
            m_position->processVariance = sPos * sPos;
            m_position->setMeasurementVariance(rPos);
            m_rotation = std::make_unique<KalmanQuaternion>();
            m_rotation->init(matrixQuaternion(pose), sRot * sRot);
            m_rotation->processVariance = sRot * sRot;
            m_rotation->setMeasurementVariance(rRot);
            return pose;
        }
        m_position->processVariance = sPos * sPos;
        m_position->setMeasurementVariance(rPos);
        const Eigen::Vector3d p = quality == 0.0 ? m_position->update(dt) : m_position->update(translation, dt);
        m_rotation->processVariance = sRot * sRot;
        m_rotation->setMeasurementVariance(rRot);
        const Eigen::Vector4d u =
          quality == 0.0 ? m_rotation->update(dt) : m_rotation->update(matrixQuaternion(pose), dt);
        Eigen::Matrix4d out = pose;
        out.topLeftCorner<3, 3>() = Eigen::Quaterniond(u[0], u[1], u[2], u[3]).toRotationMatrix();
        out.topRightCorner<3, 1>() = p;
        return out;
    }

private:
    double m_translationError;
    double m_angularError;
    double m_processSigma;
    std::uint64_t m_lastTimestamp = 0;
    std::unique_ptr<KalmanPosition> m_position;
    std::unique_ptr<KalmanQuaternion> m_rotation;
};

class MovingAverageSmoother : public Smoother
{
public:
    explicit MovingAverageSmoother(int interval) : m_interval(static_cast<std::size_t>(interval)) {}

    Eigen::Matrix4d step(const Eigen::Matrix4d& pose, double quality, std::uint64_t) override
    {
        const Eigen::Matrix4d out = average(pose, quality);
        m_windowPosition = (m_windowPosition + 1) % m_interval;
        return out;
    }

private:
    Eigen::Matrix4d average(const Eigen::Matrix4d& pose, double quality)
    {
        if (!m_started)
        {
            m_started = true;
            m_poses.push_back(pose);
            m_qualities.push_back(quality);
            return pose;
        }
        if (m_poses.size() >= m_interval)
        {
            const std::size_t k = std::min(m_interval - 1, m_windowPosition);
            m_windowPosition = k;
            m_poses[k] = pose;
            m_qualities[k] = quality;
        }
        else
        {
            m_poses.push_back(pose);
            m_qualities.push_back(quality);
        }
        const Eigen::Vector4d reference = matrixQuaternion(m_poses[0]);
        Eigen::Vector3d translationSum = Eigen::Vector3d::Zero();
        Eigen::Vector4d quaternionSum = Eigen::Vector4d::Zero();
        double weightSum = 0.0;
        for (std::size_t j = 0; j < m_poses.size(); ++j)
        {
            const double w = m_qualities[j];
            translationSum += w * m_poses[j].topRightCorner<3, 1>();
            const Eigen::Vector4d q = matrixQuaternion(m_poses[j]);
            quaternionSum += q.dot(reference) > 0.0 ? Eigen::Vector4d(w * q) : Eigen::Vector4d(-w * q);
            weightSum += w;
        }
        if (weightSum <= 0.0)
            return Eigen::Matrix4d::Identity();
        const Eigen::Vector4d q = quaternionSum.normalized();
        Eigen::Matrix4d out = Eigen::Matrix4d::Identity();
        out.topLeftCorner<3, 3>() = Eigen::Quaterniond(q[0], q[1], q[2], q[3]).toRotationMatrix();
        out.topRightCorner<3, 1>() = translationSum / weightSum;
        return out;
    }

    std::size_t m_interval;
    std::size_t m_windowPosition = 0;
    bool m_started = false;
    std::vector<Eigen::Matrix4d> m_poses;
    std::vector<double> m_qualities;
};

/// A smoother of the kind above as the scenarios drive it.
template<typename SmootherClass, typename... Args>
Bench::SmootherFactory smootherOf(Args... args)
{
    return [=]
    {
        auto smoother = std::make_shared<SmootherClass>(args...);
        return Bench::SmoothingStep(
          [smoother](const Bench::Pose& measured, int64_t t)
          { return Bench::toPose(smoother->step(Bench::toMatrix(measured), 1.0, static_cast<std::uint64_t>(t))); });
    };
}

} // namespace Kelvaros::Bench
