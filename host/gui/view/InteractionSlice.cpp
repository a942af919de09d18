#include "gui/view/InteractionSlice.h"

#include <cmath>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>
#include <QWidget>

#include "gui/view/GlSliceView.h"
#include "lib/SharedImageSet.h"
#include "lib/view/ViewCursor.h"

namespace Kelvaros
{

InteractionSlice::InteractionSlice(GlSliceView& view, const QWidget& widget) : m_view(view), m_widget(widget) {}

double InteractionSlice::scrollStep() const
{
    const std::vector<SharedImageSet*> volumes = m_view.visibleVolumes();
    return volumes.empty() ? 1.0 : volumes.front()->spacing().minCoeff();
}

double InteractionSlice::pixelRatio() const
{
    return m_widget.devicePixelRatioF();
}

bool InteractionSlice::mousePress(QMouseEvent& event)
{
    if (event.button() == Qt::MiddleButton)
        m_drag = Drag::Pan;
    else if (event.button() == Qt::RightButton)
        m_drag = Drag::WindowLevel;
    else if (event.button() == Qt::LeftButton && m_cursor)
    {
        m_drag = Drag::Cursor;
        placeCursor(event.pos());
    }
    else
        return false;
    m_last = event.pos();
    return true;
}

void InteractionSlice::placeCursor(const QPoint& position)
{
    const double ratio = pixelRatio();
    const GL::Viewport viewport{ 0, 0, int(m_widget.width() * ratio), int(m_widget.height() * ratio) };
    m_cursor->setPosition(
      m_view.worldAt((position.x() + 0.5) * ratio, (m_widget.height() - position.y() - 0.5) * ratio, viewport));
}

bool InteractionSlice::mouseMove(QMouseEvent& event)
{
    if (m_drag == Drag::None)
        return false;
    const QPoint delta = event.pos() - m_last;
    m_last = event.pos();
    if (m_drag == Drag::Cursor)
    {
        // The cursor may have been taken away during the drag.
        if (m_cursor)
            placeCursor(event.pos());
    }
    else if (m_drag == Drag::Pan)
        m_view.pan(delta.x() * pixelRatio(), -delta.y() * pixelRatio());
    else
    {
        // A drag across the whole widget spans the current window once.
        const double scale = m_view.window() / std::max(1, m_widget.width());
        m_view.setWindowLevel(m_view.window() + delta.x() * scale, m_view.level() - delta.y() * scale);
    }
    return true;
}

bool InteractionSlice::mouseRelease(QMouseEvent&)
{
    const bool used = m_drag != Drag::None;
    m_drag = Drag::None;
    return used;
}

bool InteractionSlice::wheel(QWheelEvent& event)
{
    const double notches = event.angleDelta().y() / 120.0;
    if (event.modifiers() & Qt::ControlModifier)
    {
        const double ratio = pixelRatio();
        const GL::Viewport viewport{ 0, 0, int(m_widget.width() * ratio), int(m_widget.height() * ratio) };
        const QPointF at = event.position();
        m_view.zoomAbout(std::pow(1.1, notches), at.x() * ratio, (m_widget.height() - at.y()) * ratio, viewport);
    }
    else
        m_view.scroll(notches * scrollStep());
    return true;
}

bool InteractionSlice::keyPress(QKeyEvent& event)
{
    if (event.key() != Qt::Key_PageUp && event.key() != Qt::Key_PageDown)
        return false;
    m_view.scroll(event.key() == Qt::Key_PageUp ? -scrollStep() : scrollStep());
    return true;
}

} // namespace Kelvaros
