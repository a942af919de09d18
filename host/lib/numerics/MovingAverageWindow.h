#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"

namespace Kelvaros
{

/// The quality-weighted moving average of one instrument's poses as the smoothed tracking stream runs it (moving-
/// average mode). The stream keeps one per instrument position; the smoothing benchmarks run the same class.
///
/// The window fills up to `interval` entries, then overwrites one slot per sample at a ring position that its owner
/// keeps and advances (the stream shares one position between all its windows). A window longer than the interval
/// (the interval was lowered without a reset) keeps its extra entries; only the slot the ring has reached, or the
/// last one inside the interval, is overwritten.
///
/// Not thread-safe: one owner calls it from one thread at a time.
class KELVAROS_API MovingAverageWindow
{
public:
    /// Adds `pose` (rigid, mm) with weight `quality` and returns the window's mean pose and mean quality. The first
    /// entry is returned as given. `interval` (at least 1) is the window length; `ringPosition` the slot to overwrite
    /// once the window is full, clamped here to the interval. A window whose weights are all 0 gives the identity with
    /// quality 0.
    [[nodiscard]] std::pair<Eigen::Matrix4d, double> add(const Eigen::Matrix4d& pose, double quality,
                                                         std::size_t interval, std::uint32_t& ringPosition);

    /// The ring position for the next sample (`interval` at least 1).
    [[nodiscard]] static std::uint32_t advance(std::uint32_t ringPosition, std::size_t interval);

private:
    [[nodiscard]] std::pair<Eigen::Matrix4d, double> mean() const;

    std::vector<Eigen::Matrix4d> m_poses;
    std::vector<double> m_qualities;
    // Unit quaternion (w, x, y, z) of each entry, converted once when the entry is stored rather than for every entry
    // of the window at every sample.
    std::vector<Eigen::Vector4d> m_rotations;
};

} // namespace Kelvaros
