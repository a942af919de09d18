#pragma once

#include <optional>

#include <QPointF>

#include <Eigen/Core>

#include "gui/scene/Manipulator.h"

namespace Kelvaros
{

class GlPointBasedAnnotation;

/// The default manipulator of annotations: a left press near a control point of its target (a line's end, a
/// spline's control point, a point) takes hold of it and the drag moves it, in the plane of a slice view or, in a
/// 3D view, parallel to the screen. Listeners hear Grabbed, Moved after each change and Released. Targets that
/// are not point-based, hidden targets and a manipulator that is not editable take no press. Main thread only.
class KELVAROS_API ControlPointManipulator : public Manipulator
{
public:
    /// How far from a control point's centre a press still takes it, in logical pixels beyond the handle radius.
    static constexpr double kGrabMargin = 4.0;

    bool mousePress(QMouseEvent& event, InteractiveView& view) override;
    bool mouseMove(QMouseEvent& event, InteractiveView& view) override;
    bool mouseRelease(QMouseEvent& event, InteractiveView& view) override;

    [[nodiscard]] bool editable() const { return m_editable; }
    void setEditable(bool editable);
    /// The control point being dragged; none between drags.
    [[nodiscard]] std::optional<int> grabbedPoint() const { return m_grabbed; }

private:
    [[nodiscard]] GlPointBasedAnnotation* annotation() const;
    /// The control point the view shows nearest to a widget position, within reach.
    [[nodiscard]] std::optional<int> pointNear(const GlPointBasedAnnotation& annotation, const InteractiveView& view,
                                               const QPointF& position) const;

    bool m_editable = true;
    std::optional<int> m_grabbed;
};

} // namespace Kelvaros
