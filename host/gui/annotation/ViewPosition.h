#pragma once

#include <optional>

#include <QPointF>

#include <Eigen/Core>

#include "core/Export.h"
#include "gl/Viewport.h"
#include "gui/scene/RenderInfo.h"

namespace Kelvaros
{

class InteractiveView;

/// Where the mouse is in the world, and where a view shows a world point: what manipulators need to turn widget
/// positions (logical pixels, origin top-left, as Qt's mouse events give them) into millimetres and back.
/// Main thread only.
namespace ViewPosition
{

/// The view's framebuffer in device pixels.
[[nodiscard]] KELVAROS_API GL::Viewport viewport(const InteractiveView& view);
/// The frame description the view's objects get now.
[[nodiscard]] KELVAROS_API RenderInfo renderInfo(const InteractiveView& view);
/// The centre of the device pixel under a widget position, origin at the framebuffer's bottom-left.
[[nodiscard]] KELVAROS_API Eigen::Vector2d windowPosition(const InteractiveView& view, const QPointF& position);

/// The world point (mm) under a widget position: in a slice view the point of its plane; in a 3D view the
/// nearest point where the viewing ray meets one of the three planes through a visible volume (within its grid),
/// none when the ray misses them all.
[[nodiscard]] KELVAROS_API std::optional<Eigen::Vector3d> worldAt(const InteractiveView& view, const QPointF& position);
/// The world point under a widget position for dragging `grabbed`: in a slice view its plane, in a 3D view the
/// plane through `grabbed` facing the camera (none when the ray runs parallel to it).
[[nodiscard]] KELVAROS_API std::optional<Eigen::Vector3d> dragPosition(const InteractiveView& view,
                                                                       const QPointF& position,
                                                                       const Eigen::Vector3d& grabbed);
/// Where the view shows a world point, in widget coordinates; none when it does not show it (a slice view shows
/// only points within half its slice thickness of the plane; a 3D view none behind the camera).
[[nodiscard]] KELVAROS_API std::optional<QPointF> shownAt(const InteractiveView& view, const Eigen::Vector3d& world);

} // namespace ViewPosition
} // namespace Kelvaros
