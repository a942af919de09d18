#pragma once

#include <cstdint>
#include <string>

#include <Eigen/Core>

#include "core/Export.h"
#include "stream/TrackerID.h"

namespace Kelvaros
{

/// One tracked tool in one sample. A plain copyable record (aggregate: `TrackingInstrument{id, pose, quality,
/// timestamp, tracked}`); samples hand out copies, so it needs no lock.
struct KELVAROS_API TrackingInstrument
{
    /// Which instrument this is; consumers match on id.ID().
    TrackerID id;
    /// Pose of the tool: tool frame → tracker space, 4x4 homogeneous, translation in millimetres.
    Eigen::Matrix4d matrix = Eigen::Matrix4d::Identity();
    /// Tracking quality reported by the device; 0 = no usable measurement, 1 = best. Each consumer applies
    /// its own threshold.
    double quality = 0.0;
    /// Device timestamp of this measurement: microseconds of the device's clock (0 = unknown).
    int64_t timestamp = 0;
    /// False when the device could not see the tool; the pose is then the last known or meaningless.
    bool tracked = false;

    /// Shorthand for id.ID().
    [[nodiscard]] const std::string& ID() const { return id.ID(); }
    /// Shorthand for id.name().
    [[nodiscard]] const std::string& name() const { return id.name(); }
};

} // namespace Kelvaros
