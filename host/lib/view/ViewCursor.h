#pragma once

#include <optional>

#include <Eigen/Core>

#include "core/Export.h"
#include "core/Signal.h"
#include "lib/view/Slice.h"

namespace Kelvaros
{

/// The point the user last pointed at in the views (world, mm), shared by the views of a display: slice views
/// move their planes through it and every view marks it. Unset until first placed.
///
/// Main thread only (the signal is emitted on the thread that moves the cursor).
class KELVAROS_API ViewCursor
{
public:
    [[nodiscard]] const std::optional<Eigen::Vector3d>& position() const { return m_position; }
    /// Places the cursor and emits signalMoved; a point with a non-finite coordinate is ignored, and placing it
    /// where it already is emits nothing.
    void setPosition(const Eigen::Vector3d& point);

    /// `slice` moved along its normal only so that its plane passes through `point`: its orientation and what
    /// lies at the centre of the view within the plane (the user's pan) stay. A slice that already contains the
    /// point (to a micrometre) is returned as it is, so that the view clicked in does not move at all.
    [[nodiscard]] static Slice sliceThrough(const Slice& slice, const Eigen::Vector3d& point);

    /// The new position, after it is stored.
    SignalImpl<Eigen::Vector3d> signalMoved;

private:
    std::optional<Eigen::Vector3d> m_position;
};

} // namespace Kelvaros
