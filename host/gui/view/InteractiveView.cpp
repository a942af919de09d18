#include "gui/view/InteractiveView.h"

#include <algorithm>
#include <utility>

#include <QCoreApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QSurfaceFormat>
#include <QTimer>

#include "gui/scene/Manipulator.h"
#include "gui/view/FrameClock.h"
#include "gui/view/GlView.h"
#include "gui/view/Interaction.h"
#include "gui/view/Screenshot.h"

namespace Kelvaros
{

InteractiveView::InteractiveView(std::unique_ptr<GlView> glView, QWidget* parent)
  : QOpenGLWidget(parent), m_glView(std::move(glView))
{
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(64, 64);
    m_redrawConnection = m_glView->signalRedrawNeeded.connect([this] { requestUpdate(); });
}

InteractiveView::~InteractiveView()
{
    m_redrawConnection.disconnect();
    for (auto& [manipulator, connection] : m_manipulatorConnections)
        connection.disconnect();
    // GPU objects the view holds (volume textures) are released with the context current where possible.
    makeCurrent();
    m_glView.reset();
    doneCurrent();
}

void InteractiveView::prepareApplication()
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QSurfaceFormat format = QSurfaceFormat::defaultFormat();
    format.setRenderableType(QSurfaceFormat::OpenGL);
    format.setVersion(3, 3);
    format.setProfile(QSurfaceFormat::CoreProfile);
    format.setDepthBufferSize(24);
    format.setStencilBufferSize(8);
    QSurfaceFormat::setDefaultFormat(format);
}

void InteractiveView::setInteractionHandler(std::unique_ptr<Interaction> interaction)
{
    m_interaction = std::move(interaction);
}

void InteractiveView::addManipulator(Manipulator* manipulator)
{
    if (!manipulator || m_manipulatorConnections.count(manipulator))
        return;
    m_manipulators.push_back(manipulator);
    m_manipulatorConnections[manipulator] =
      manipulator->signalDestroyed.connect([this](const Manipulator* gone) { removeManipulator(gone); });
}

void InteractiveView::removeManipulator(const Manipulator* manipulator)
{
    const auto found = m_manipulatorConnections.find(manipulator);
    if (found == m_manipulatorConnections.end())
        return;
    found->second.disconnect();
    m_manipulatorConnections.erase(found);
    m_manipulators.erase(std::find(m_manipulators.begin(), m_manipulators.end(), manipulator));
    if (m_grabbed == manipulator)
        m_grabbed = nullptr;
}

void InteractiveView::requestUpdate()
{
    if (m_updatePending)
        return;
    m_updatePending = true;
    // A frame clock paced its frame already; waiting again would split the views that show its sample across paints.
    if (FrameClock::isInFrame())
    {
        update();
        return;
    }
    // Wait out the rest of the display frame since the last paint, so that a burst of requests (one per tracking
    // sample, say) costs one paint per frame.
    const QScreen* display = screen();
    const double frameMs = 1000.0 / std::max(display ? display->refreshRate() : 60.0, 1.0);
    const qint64 elapsed = m_sinceLastPaint.isValid() ? m_sinceLastPaint.elapsed() : qint64(frameMs);
    const int delay = int(std::max(0.0, frameMs - double(elapsed)));
    // A paint that came first by another way (an expose, a direct update) already showed what was asked for.
    QTimer::singleShot(delay, this,
                       [this]
                       {
                           if (m_updatePending)
                               update();
                       });
}

void InteractiveView::setVisibleData(const DataList& data)
{
    GUI::View::setVisibleData(data);
    m_glView->setVisibleData(data.items());
}

QImage InteractiveView::renderToImage(const QSize& size) const
{
    return Screenshot::render(size, [this](const GL::Viewport& viewport) { m_glView->render(viewport); });
}

void InteractiveView::paintGL()
{
    m_updatePending = false;
    m_sinceLastPaint.start();
    ++m_paintCount;
    const qreal ratio = devicePixelRatioF();
    m_glView->render(GL::Viewport{ 0, 0, int(width() * ratio), int(height() * ratio) });
    emit painted();
}

void InteractiveView::mousePressEvent(QMouseEvent* event)
{
    const qreal ratio = devicePixelRatioF();
    const int x = int(event->pos().x() * ratio);
    const int y = int((height() - 1 - event->pos().y()) * ratio);
    if (m_glView->pressOverlays(x, y, int(width() * ratio), int(height() * ratio)))
        return;
    if (offerToManipulators([&](Manipulator& m) { return m.mousePress(*event, *this); }, &m_grabbed))
        return;
    if (!m_interaction || !m_interaction->mousePress(*event))
        QOpenGLWidget::mousePressEvent(event);
}

void InteractiveView::mouseMoveEvent(QMouseEvent* event)
{
    if (m_grabbed && m_grabbed->mouseMove(*event, *this))
        return;
    if (!m_interaction || !m_interaction->mouseMove(*event))
        QOpenGLWidget::mouseMoveEvent(event);
}

void InteractiveView::mouseReleaseEvent(QMouseEvent* event)
{
    if (Manipulator* grabbed = std::exchange(m_grabbed, nullptr); grabbed && grabbed->mouseRelease(*event, *this))
        return;
    if (!m_interaction || !m_interaction->mouseRelease(*event))
        QOpenGLWidget::mouseReleaseEvent(event);
}

void InteractiveView::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (!offerToManipulators([&](Manipulator& m) { return m.mouseDoubleClick(*event, *this); }))
        QOpenGLWidget::mouseDoubleClickEvent(event);
}

void InteractiveView::wheelEvent(QWheelEvent* event)
{
    if (!m_interaction || !m_interaction->wheel(*event))
        QOpenGLWidget::wheelEvent(event);
}

void InteractiveView::keyPressEvent(QKeyEvent* event)
{
    if (offerToManipulators([&](Manipulator& m) { return m.keyPress(*event, *this); }))
        return;
    if (!m_interaction || !m_interaction->keyPress(*event))
        QOpenGLWidget::keyPressEvent(event);
}

bool InteractiveView::offerToManipulators(const std::function<bool(Manipulator&)>& offer, Manipulator** taker)
{
    // A manipulator may add or remove manipulators, itself included, while it handles the event (a drawing that
    // ends): only those still registered are asked, and one that is gone takes no drag.
    const std::vector<Manipulator*> candidates = m_manipulators;
    for (auto it = candidates.rbegin(); it != candidates.rend(); ++it)
        if (m_manipulatorConnections.count(*it) && offer(**it))
        {
            if (taker)
                *taker = m_manipulatorConnections.count(*it) ? *it : nullptr;
            return true;
        }
    return false;
}

} // namespace Kelvaros
