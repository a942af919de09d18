#include "KalmanPoseSmoother.h"

#include <cmath>

#include "PoseQuaternion.h"

namespace Kelvaros
{

KalmanPoseSmoother::Interval KalmanPoseSmoother::interval(std::uint64_t previousTimestamp, std::int64_t timestamp)
{
    Interval interval;
    if (previousTimestamp != 0)
    {
        interval.elapsed = timestamp > static_cast<std::int64_t>(previousTimestamp);
        if (interval.elapsed)
            interval.dt = static_cast<double>(static_cast<std::uint64_t>(timestamp) - previousTimestamp);
    }
    return interval;
}

KalmanPoseSmoother::Variances KalmanPoseSmoother::variances(const Settings& settings, double dt)
{
    // Process sigmas scaled by 1/dt^2 with measurement sigmas e: the filters' tracking index sqrt(q) dt^2 / sqrt(r) is
    // then processSigma whatever the rate, so one setting behaves alike at 60 Hz and at 400 Hz.
    const double translationError = settings.translationError;
    const double angularError = settings.angularError / 100.0;
    const double positionSigma = translationError / (dt * dt) * settings.processSigma;
    const double rotationSigma = angularError / (dt * dt) * settings.processSigma;
    return { positionSigma * positionSigma, rotationSigma * rotationSigma, translationError * translationError,
             angularError * angularError };
}

void KalmanPoseSmoother::start(const Eigen::Matrix4d& pose, double quality, const Variances& variances)
{
    m_position.init(pose.topRightCorner<3, 1>(), variances.positionProcess);
    m_position.setMeasurementVariance(variances.positionMeasurement);
    m_orientation.init(PoseQuaternion::unitQuaternion(pose), variances.rotationProcess);
    m_orientation.setMeasurementVariance(variances.rotationMeasurement);
    m_quality = quality;
    m_started = true;
}

std::pair<Eigen::Matrix4d, double> KalmanPoseSmoother::smooth(const Eigen::Matrix4d& pose, double quality,
                                                              const Settings& settings, const Interval& interval)
{
    const Variances v = variances(settings, interval.dt);
    if (!m_started)
    {
        start(pose, quality, v);
        return { pose, quality };
    }
    const bool measured = quality != 0.0;
    const double step = interval.elapsed ? interval.dt : 0.0;

    if (interval.elapsed)
        m_position.processVariance = v.positionProcess;
    m_position.setMeasurementVariance(v.positionMeasurement);
    const Eigen::Vector3d p =
      measured ? m_position.update(Eigen::Vector3d(pose.topRightCorner<3, 1>()), step) : m_position.update(step);

    if (interval.elapsed)
        m_orientation.processVariance = v.rotationProcess;
    m_orientation.setMeasurementVariance(v.rotationMeasurement);
    const Eigen::Vector4d u =
      measured ? m_orientation.update(PoseQuaternion::unitQuaternion(pose), step) : m_orientation.update(step);

    Eigen::Matrix4d smoothed = pose;
    smoothed.topLeftCorner<3, 3>() = PoseQuaternion::rotation(u);
    smoothed.topRightCorner<3, 1>() = p;
    m_quality = std::sqrt((m_quality * m_quality + quality * quality) * 0.5);
    return { smoothed, m_quality };
}

} // namespace Kelvaros
