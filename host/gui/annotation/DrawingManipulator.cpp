#include "gui/annotation/DrawingManipulator.h"

#include <QKeyEvent>
#include <QMouseEvent>

#include "gui/annotation/ViewPosition.h"
#include "gui/scene/GlLine.h"
#include "gui/scene/GlSpline.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/InteractiveView.h"

namespace Kelvaros
{

namespace
{

/// Colours that stand out from grey anatomy: yellow measuring lines, as measuring tools draw them, and green
/// paths, so that a path and a line across it are told apart, labels included.
const Eigen::Vector3d kLineColor(1.0, 0.85, 0.1);
const Eigen::Vector3d kSplineColor(0.3, 0.9, 0.4);

std::unique_ptr<GlPointBasedAnnotation> makeShape(DrawingManipulator::Shape shape)
{
    std::unique_ptr<GlPointBasedAnnotation> annotation;
    if (shape == DrawingManipulator::Shape::Line)
    {
        annotation = std::make_unique<GlLine>("Line");
        annotation->setColor(kLineColor);
    }
    else
    {
        annotation = std::make_unique<GlSpline>("Spline");
        annotation->setColor(kSplineColor);
    }
    return annotation;
}

} // namespace

DrawingManipulator::DrawingManipulator(Shape shape, DisplayWidgetMulti& display, FinishCallback finish)
  : m_shape(shape), m_display(display), m_finish(std::move(finish)), m_preview(makeShape(shape))
{
    m_display.viewGroup(0)->addObject(m_preview.get());
    for (InteractiveView* view : m_display.views())
        view->addManipulator(this);
}

DrawingManipulator::~DrawingManipulator()
{
    if (m_preview)
        m_display.viewGroup(0)->removeObject(m_preview.get());
}

const std::vector<Eigen::Vector3d>& DrawingManipulator::points() const
{
    return m_preview->points();
}

bool DrawingManipulator::mousePress(QMouseEvent& event, InteractiveView& view)
{
    if (event.button() != Qt::LeftButton || event.modifiers() != Qt::NoModifier)
        return false;
    const std::optional<Eigen::Vector3d> world = ViewPosition::worldAt(view, event.localPos());
    if (!world)
        return false;
    std::vector<Eigen::Vector3d> points = m_preview->points();
    points.push_back(*world);
    m_preview->setPoints(std::move(points));
    if (m_shape == Shape::Line && m_preview->points().size() == 2)
        finish(true);
    return true;
}

bool DrawingManipulator::mouseDoubleClick(QMouseEvent& event, InteractiveView&)
{
    // The double click's first press placed the last point already.
    if (event.button() != Qt::LeftButton || m_shape != Shape::Spline || m_preview->points().size() < 2)
        return false;
    finish(true);
    return true;
}

bool DrawingManipulator::keyPress(QKeyEvent& event, InteractiveView&)
{
    if (event.key() == Qt::Key_Escape)
        finish(false);
    else if ((event.key() == Qt::Key_Return || event.key() == Qt::Key_Enter) && m_shape == Shape::Spline &&
             m_preview->points().size() >= 2)
        finish(true);
    else
        return false;
    return true;
}

void DrawingManipulator::finish(bool keep)
{
    m_display.viewGroup(0)->removeObject(m_preview.get());
    std::unique_ptr<GlPointBasedAnnotation> drawn = keep ? std::move(m_preview) : nullptr;
    // Copied out: the callback may destroy this object, and the callable with it.
    const FinishCallback callback = m_finish;
    callback(std::move(drawn));
}

} // namespace Kelvaros
