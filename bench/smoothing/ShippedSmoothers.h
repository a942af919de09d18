#pragma once

// The smoothed stream's per-instrument smoothers (host numerics), each run on one instrument with the stream's clock
// handling, so that the filter-level studies measure the code the product ships.

#include <cstdint>
#include <memory>

#include "lib/numerics/KalmanPoseSmoother.h"
#include "lib/numerics/MovingAverageWindow.h"

#include "SmoothingScenarios.h"

namespace Kelvaros::Bench
{

/// The stream's Kalman mode on one instrument of quality 1, timed by its device timestamps (microseconds).
class KalmanSmoothing
{
public:
    explicit KalmanSmoothing(const KalmanPoseSmoother::Settings& settings) : m_settings(settings) {}

    Eigen::Matrix4d step(const Eigen::Matrix4d& pose, std::int64_t deviceTimestamp)
    {
        const auto interval = KalmanPoseSmoother::interval(m_lastTimestamp, deviceTimestamp);
        m_lastTimestamp = static_cast<std::uint64_t>(deviceTimestamp);
        return m_smoother.smooth(pose, 1.0, m_settings, interval).first;
    }

private:
    KalmanPoseSmoother::Settings m_settings;
    KalmanPoseSmoother m_smoother;
    std::uint64_t m_lastTimestamp = 0;
};

/// The stream's moving-average mode on one instrument of quality 1.
class MovingAverageSmoothing
{
public:
    explicit MovingAverageSmoothing(int interval) : m_interval(static_cast<std::size_t>(interval)) {}

    Eigen::Matrix4d step(const Eigen::Matrix4d& pose, std::int64_t)
    {
        const Eigen::Matrix4d mean = m_window.add(pose, 1.0, m_interval, m_ringPosition).first;
        m_ringPosition = MovingAverageWindow::advance(m_ringPosition, m_interval);
        return mean;
    }

private:
    std::size_t m_interval;
    MovingAverageWindow m_window;
    std::uint32_t m_ringPosition = 0;
};

/// A fresh smoother of the kinds above for each scenario.
template<typename Smoothing, typename Setting>
SmootherFactory smootherOf(const Setting& setting)
{
    return [setting]
    {
        auto smoothing = std::make_shared<Smoothing>(setting);
        return SmoothingStep([smoothing](const Pose& measured, int64_t t)
                             { return toPose(smoothing->step(toMatrix(measured), t)); });
    };
}

/// The Kalman mode with translationError 0.5 mm, angularError 1.0 and the given processSigma.
inline SmootherFactory kalmanSmoothing(double processSigma)
{
    return smootherOf<KalmanSmoothing>(KalmanPoseSmoother::Settings{ 0.5, 1.0, processSigma });
}

} // namespace Kelvaros::Bench
