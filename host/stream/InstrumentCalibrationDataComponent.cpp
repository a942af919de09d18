#include "stream/InstrumentCalibrationDataComponent.h"

#include "lib/Data.h"

namespace Kelvaros
{

InstrumentCalibrationDataComponent::InstrumentCalibrationDataComponent(const InstrumentCalibrationDataComponent& other)
  : DataComponentBase<InstrumentCalibrationDataComponent>(other)
{
    std::lock_guard<std::mutex> lock(other.m_mutex);
    m_calibrations = other.m_calibrations;
}

InstrumentCalibrationDataComponent& InstrumentCalibrationDataComponent::operator=(
  const InstrumentCalibrationDataComponent& other)
{
    if (this == &other)
        return *this;
    // Copy under the source's lock only, then swap in under ours: never holding both avoids a lock-order
    // inversion when two components are assigned to each other on two threads.
    std::map<std::string, Calibration> copy;
    {
        std::lock_guard<std::mutex> lock(other.m_mutex);
        copy = other.m_calibrations;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calibrations.swap(copy);
    return *this;
}

InstrumentCalibrationDataComponent::~InstrumentCalibrationDataComponent() = default;

Eigen::Matrix4d InstrumentCalibrationDataComponent::matrixOf(const Data& data, const std::string& instrumentId)
{
    if (const auto* component = data.components().get<InstrumentCalibrationDataComponent>())
        if (const auto stored = component->calibration(instrumentId))
            return stored->matrix;
    return Eigen::Matrix4d::Identity();
}

std::optional<InstrumentCalibrationDataComponent::Calibration> InstrumentCalibrationDataComponent::calibration(
  const std::string& instrumentId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_calibrations.find(instrumentId);
    if (it == m_calibrations.end())
        return std::nullopt;
    return it->second;
}

void InstrumentCalibrationDataComponent::setCalibration(const std::string& instrumentId, const Calibration& calibration)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calibrations[instrumentId] = calibration;
}

void InstrumentCalibrationDataComponent::setCalibration(const std::string& instrumentId, const Eigen::Matrix4d& matrix,
                                                        double value)
{
    setCalibration(instrumentId, Calibration{ matrix, value });
}

bool InstrumentCalibrationDataComponent::removeCalibration(const std::string& instrumentId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calibrations.erase(instrumentId) > 0;
}

std::vector<std::string> InstrumentCalibrationDataComponent::instrumentIds() const
{
    std::vector<std::string> ids;
    std::lock_guard<std::mutex> lock(m_mutex);
    ids.reserve(m_calibrations.size());
    for (const auto& entry : m_calibrations)
        ids.push_back(entry.first);
    return ids;
}

} // namespace Kelvaros
