#include "stream/TrackingInstrumentFiducialsData.h"

#include <algorithm>

namespace Kelvaros
{

uint64_t TrackingInstrumentFiducialsData::instrumentKey(const std::string& instrumentId)
{
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char byte : instrumentId)
    {
        hash ^= byte;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

void TrackingInstrumentFiducialsData::addFiducial(const Eigen::Vector3d& point, double value,
                                                  std::optional<uint64_t> instrumentKey)
{
    m_points.push_back(point);
    m_values.push_back(value);
    if (instrumentKey)
        m_instrumentKeys.push_back(*instrumentKey);
}

TrackingInstrumentFiducialsData TrackingInstrumentFiducialsData::forInstrument(uint64_t instrumentKey) const
{
    TrackingInstrumentFiducialsData result;
    const size_t n = std::min({ m_instrumentKeys.size(), m_points.size(), m_values.size() });
    for (size_t i = 0; i < n; ++i)
        if (m_instrumentKeys[i] == instrumentKey)
            result.addFiducial(m_points[i], m_values[i], instrumentKey);
    return result;
}

} // namespace Kelvaros
