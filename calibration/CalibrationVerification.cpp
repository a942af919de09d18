#include "calibration/CalibrationVerification.h"

#include <numeric>
#include <utility>

#include <Eigen/LU>

#include "stream/TrackingStreamData.h"

namespace Kelvaros
{
namespace
{
/// The instrument's pose (tool → tracker) when the sample holds a usable measurement of it.
std::optional<Eigen::Matrix4d> seenPose(const TrackingStreamData& sample, const std::string& id)
{
    const std::optional<TrackingInstrument> instrument = sample.instrument(id);
    if (!instrument || !instrument->tracked || instrument->quality <= 0.0)
        return std::nullopt;
    return instrument->matrix;
}

template<typename T>
void keepLast(std::deque<T>& window, const T& value)
{
    window.push_back(value);
    if (window.size() > CalibrationVerification::kSmoothingWindow)
        window.pop_front();
}

template<typename T>
T mean(const std::deque<T>& window, T zero)
{
    return std::accumulate(window.begin(), window.end(), zero) / double(window.size());
}

/// Tracker → reference; identity for the tracker frame itself.
std::optional<Eigen::Matrix4d> trackerToReference(const TrackingStreamData& sample, const std::string& referenceId)
{
    if (referenceId.empty())
        return Eigen::Matrix4d::Identity();
    const std::optional<Eigen::Matrix4d> referenceToTracker = seenPose(sample, referenceId);
    if (!referenceToTracker)
        return std::nullopt;
    return Eigen::Matrix4d(referenceToTracker->inverse());
}
} // namespace

CalibrationVerification::CalibrationVerification(Settings settings) : m_settings(std::move(settings)) {}

void CalibrationVerification::setSettings(Settings settings)
{
    m_settings = std::move(settings);
    restartSmoothing();
}

std::optional<Eigen::Matrix4d> CalibrationVerification::calibratedToolToReference(const TrackingStreamData& sample,
                                                                                  const std::string& toolId,
                                                                                  const Eigen::Matrix4d& calibration,
                                                                                  const std::string& referenceId)
{
    const std::optional<Eigen::Matrix4d> toolToTracker = seenPose(sample, toolId);
    const std::optional<Eigen::Matrix4d> toReference = trackerToReference(sample, referenceId);
    if (!toolToTracker || !toReference)
        return std::nullopt;
    return Eigen::Matrix4d(*toReference * *toolToTracker * calibration);
}

CalibrationVerification::Result CalibrationVerification::evaluate(const TrackingStreamData& sample,
                                                                  const std::string& toolId,
                                                                  const Eigen::Matrix4d& calibration) const
{
    Result result;
    if (const auto toolToReference = calibratedToolToReference(sample, toolId, calibration, m_settings.referenceId))
        result.tip_Reference = Eigen::Vector3d(toolToReference->topRightCorner<3, 1>());

    if (!m_settings.divot_Reference)
        result.state = State::NoDivot;
    else if (!seenPose(sample, toolId))
        result.state = State::ToolNotSeen;
    else if (!result.tip_Reference)
        result.state = State::ReferenceNotSeen;
    else
    {
        result.state = State::Measured;
        result.distanceMm = (*result.tip_Reference - *m_settings.divot_Reference).norm();
        result.passed = result.distanceMm <= m_settings.passMarkMm;
    }
    return result;
}

CalibrationVerification::Result CalibrationVerification::evaluateSmoothed(const TrackingStreamData& sample,
                                                                          const std::string& toolId,
                                                                          const Eigen::Matrix4d& calibration)
{
    Result result = evaluate(sample, toolId, calibration);
    if (result.tip_Reference)
        keepLast(m_tips, *result.tip_Reference);
    else
        m_tips.clear();
    if (result.state != State::Measured)
    {
        m_distances.clear();
        return result;
    }
    keepLast(m_distances, result.distanceMm);
    result.distanceMm = mean(m_distances, 0.0);
    result.passed = result.distanceMm <= m_settings.passMarkMm;
    return result;
}

void CalibrationVerification::restartSmoothing()
{
    m_distances.clear();
    m_tips.clear();
}

bool CalibrationVerification::setDivotFromTip()
{
    if (m_tips.empty())
        return false;
    m_settings.divot_Reference = mean(m_tips, Eigen::Vector3d::Zero().eval());
    // The tips stay valid: they do not depend on the divot.
    m_distances.clear();
    return true;
}

} // namespace Kelvaros
