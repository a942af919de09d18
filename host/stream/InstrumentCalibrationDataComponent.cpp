#include "stream/InstrumentCalibrationDataComponent.h"

#include <utility>

#include "lib/Data.h"

namespace Kelvaros
{

InstrumentCalibrationDataComponent::InstrumentCalibrationDataComponent(const InstrumentCalibrationDataComponent& other)
  : DataComponentBase<InstrumentCalibrationDataComponent>(other)
{
    std::lock_guard<std::mutex> lock(other.m_mutex);
    m_slots = other.m_slots;
}

InstrumentCalibrationDataComponent& InstrumentCalibrationDataComponent::operator=(
  const InstrumentCalibrationDataComponent& other)
{
    if (this == &other)
        return *this;
    // Copy under the source's lock only, then swap in under ours: never holding both avoids a lock-order
    // inversion when two components are assigned to each other on two threads.
    std::map<std::string, Slot> copy;
    {
        std::lock_guard<std::mutex> lock(other.m_mutex);
        copy = other.m_slots;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_slots.swap(copy);
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
    const std::optional<Entry> current = entry(instrumentId);
    if (!current)
        return std::nullopt;
    return current->calibration;
}

void InstrumentCalibrationDataComponent::setCalibration(const std::string& instrumentId, const Calibration& calibration,
                                                        const std::optional<Provenance>& provenance)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_slots[instrumentId].current = Entry{ calibration, provenance };
}

void InstrumentCalibrationDataComponent::setCalibration(const std::string& instrumentId, const Eigen::Matrix4d& matrix,
                                                        double value)
{
    setCalibration(instrumentId, Calibration{ matrix, value });
}

bool InstrumentCalibrationDataComponent::removeCalibration(const std::string& instrumentId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_slots.find(instrumentId);
    if (it == m_slots.end() || !it->second.current)
        return false;
    it->second.current.reset();
    eraseIfEmpty(it);
    return true;
}

std::optional<InstrumentCalibrationDataComponent::Entry> InstrumentCalibrationDataComponent::entry(
  const std::string& instrumentId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_slots.find(instrumentId);
    return it == m_slots.end() ? std::nullopt : it->second.current;
}

std::optional<InstrumentCalibrationDataComponent::Provenance> InstrumentCalibrationDataComponent::provenance(
  const std::string& instrumentId) const
{
    const std::optional<Entry> current = entry(instrumentId);
    return current ? current->provenance : std::nullopt;
}

std::optional<InstrumentCalibrationDataComponent::Entry> InstrumentCalibrationDataComponent::previous(
  const std::string& instrumentId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_slots.find(instrumentId);
    return it == m_slots.end() ? std::nullopt : it->second.previous;
}

void InstrumentCalibrationDataComponent::setPrevious(const std::string& instrumentId,
                                                     const std::optional<Entry>& previous)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_slots.emplace(instrumentId, Slot()).first;
    it->second.previous = previous;
    eraseIfEmpty(it);
}

bool InstrumentCalibrationDataComponent::restorePrevious(const std::string& instrumentId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_slots.find(instrumentId);
    if (it == m_slots.end() || !it->second.previous)
        return false;
    std::swap(it->second.current, it->second.previous);
    return true;
}

std::vector<std::string> InstrumentCalibrationDataComponent::instrumentIds() const
{
    std::vector<std::string> ids;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& slot : m_slots)
        if (slot.second.current)
            ids.push_back(slot.first);
    return ids;
}

void InstrumentCalibrationDataComponent::eraseIfEmpty(std::map<std::string, Slot>::iterator slot)
{
    if (!slot->second.current && !slot->second.previous)
        m_slots.erase(slot);
}

bool InstrumentCalibrationDataComponent::Provenance::operator==(const Provenance& other) const
{
    return dateTime == other.dateTime && method == other.method && poseCount == other.poseCount &&
           angularRangeDegrees == other.angularRangeDegrees && residualRmsMm == other.residualRmsMm &&
           residualMaxMm == other.residualMaxMm && predictedTipErrorMm == other.predictedTipErrorMm &&
           predictedAxisErrorDegrees == other.predictedAxisErrorDegrees &&
           axisTiltRmsDegrees == other.axisTiltRmsDegrees && axisSpinDegrees == other.axisSpinDegrees;
}

} // namespace Kelvaros
