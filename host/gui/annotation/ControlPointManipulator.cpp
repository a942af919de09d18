#include "gui/annotation/ControlPointManipulator.h"

#include <cmath>

#include <QMouseEvent>

#include <Eigen/LU>

#include "gui/annotation/ViewPosition.h"
#include "gui/scene/GlPointBasedAnnotation.h"
#include "gui/scene/SceneDrawing.h"

namespace Kelvaros
{

void ControlPointManipulator::setEditable(bool editable)
{
    m_editable = editable;
    if (!editable)
        m_grabbed.reset();
}

GlPointBasedAnnotation* ControlPointManipulator::annotation() const
{
    return dynamic_cast<GlPointBasedAnnotation*>(target());
}

std::optional<int> ControlPointManipulator::pointNear(const GlPointBasedAnnotation& annotation,
                                                      const InteractiveView& view, const QPointF& position) const
{
    const double reach = 0.5 * annotation.pointSize() + kGrabMargin;
    std::optional<int> nearest;
    double nearestDistance = reach;
    const std::vector<Eigen::Vector3d>& points = annotation.points();
    for (int i = 0; i < int(points.size()); ++i)
    {
        const std::optional<QPointF> shown =
          ViewPosition::shownAt(view, SceneDrawing::toWorld(annotation.matrix(), points[size_t(i)]));
        if (!shown)
            continue;
        const QPointF offset = *shown - position;
        const double distance = std::hypot(offset.x(), offset.y());
        if (distance <= nearestDistance)
        {
            nearest = i;
            nearestDistance = distance;
        }
    }
    return nearest;
}

bool ControlPointManipulator::mousePress(QMouseEvent& event, InteractiveView& view)
{
    GlPointBasedAnnotation* target = annotation();
    if (!m_editable || !target || !target->visible() || event.button() != Qt::LeftButton ||
        event.modifiers() != Qt::NoModifier)
        return false;
    m_grabbed = pointNear(*target, view, event.localPos());
    if (!m_grabbed)
        return false;
    notify(ManipulatorEvent::Grabbed);
    return true;
}

bool ControlPointManipulator::mouseMove(QMouseEvent& event, InteractiveView& view)
{
    GlPointBasedAnnotation* target = annotation();
    if (!m_grabbed || !target || *m_grabbed >= int(target->points().size()))
        return false;
    std::vector<Eigen::Vector3d> points = target->points();
    Eigen::Vector3d& point = points[size_t(*m_grabbed)];
    const std::optional<Eigen::Vector3d> world =
      ViewPosition::dragPosition(view, event.localPos(), SceneDrawing::toWorld(target->matrix(), point));
    if (!world)
        return true;
    point = SceneDrawing::toWorld(target->matrix().inverse(), *world);
    target->setPoints(std::move(points));
    notify(ManipulatorEvent::Moved);
    return true;
}

bool ControlPointManipulator::mouseRelease(QMouseEvent&, InteractiveView&)
{
    if (!m_grabbed)
        return false;
    m_grabbed.reset();
    notify(ManipulatorEvent::Released);
    return true;
}

} // namespace Kelvaros
