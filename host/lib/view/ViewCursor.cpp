#include "lib/view/ViewCursor.h"

#include <cmath>

namespace Kelvaros
{
namespace
{
/// Rounding of a click's world point is far below this; a real offset between planes is far above.
constexpr double kInPlaneMm = 1e-3;
} // namespace

void ViewCursor::setPosition(const Eigen::Vector3d& point)
{
    if (!point.allFinite() || m_position == point)
        return;
    m_position = point;
    signalMoved.emitSignal(point);
}

Slice ViewCursor::sliceThrough(const Slice& slice, const Eigen::Vector3d& point)
{
    const double distance = slice.signedDistance(point);
    if (!std::isfinite(distance) || std::abs(distance) < kInPlaneMm)
        return slice;
    Slice moved = slice;
    moved.setOrigin(slice.origin() + distance * slice.normal());
    return moved;
}

} // namespace Kelvaros
