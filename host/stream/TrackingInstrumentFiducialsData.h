#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"
#include "lib/DataComponent.h"

namespace Kelvaros
{

/// Raw fiducials (single markers) that a tracker measured in one sample; a component of the sample.
///
/// Three parallel lists: the fiducial points (tracker space, mm), one value per fiducial (a quality the device
/// reports; greater than 0 for a usable measurement), and optionally the key of the instrument each fiducial
/// belongs to. The key list is either as long as the point list or empty (the device does not attribute its
/// fiducials). Consumers should read only min(sizes) entries.
///
/// Not synchronised: built by one thread, then read-only inside a published sample.
class KELVAROS_API TrackingInstrumentFiducialsData : public DataComponentBase<TrackingInstrumentFiducialsData>
{
public:
    [[nodiscard]] std::string id() const override { return "TrackingInstrumentFiducials"; }

    /// The key of an instrument: the 64-bit FNV-1a hash of the bytes of its TrackerID::ID (offset basis
    /// 0xcbf29ce484222325, prime 0x100000001b3). Stable across runs and platforms.
    [[nodiscard]] static uint64_t instrumentKey(const std::string& instrumentId);

    /// Appends one fiducial; give a key to every fiducial or to none.
    void addFiducial(const Eigen::Vector3d& point, double value, std::optional<uint64_t> instrumentKey = {});

    [[nodiscard]] const std::vector<uint64_t>& instrumentKeys() const { return m_instrumentKeys; }
    [[nodiscard]] std::vector<uint64_t>& instrumentKeys() { return m_instrumentKeys; }
    [[nodiscard]] const std::vector<Eigen::Vector3d>& points() const { return m_points; }
    [[nodiscard]] std::vector<Eigen::Vector3d>& points() { return m_points; }
    [[nodiscard]] const std::vector<double>& values() const { return m_values; }
    [[nodiscard]] std::vector<double>& values() { return m_values; }

    /// Number of fiducials (the point count).
    [[nodiscard]] size_t size() const { return m_points.size(); }
    [[nodiscard]] bool empty() const { return m_points.empty(); }
    [[nodiscard]] bool hasInstrumentKeys() const { return !m_instrumentKeys.empty(); }

    /// The fiducials that carry this instrument key (with their keys). Empty when the fiducials have no keys.
    [[nodiscard]] TrackingInstrumentFiducialsData forInstrument(uint64_t instrumentKey) const;

private:
    std::vector<uint64_t> m_instrumentKeys;
    std::vector<Eigen::Vector3d> m_points;
    std::vector<double> m_values;
};

} // namespace Kelvaros
