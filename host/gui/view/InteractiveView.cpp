#include "gui/view/InteractiveView.h"

#include <algorithm>

#include <QCoreApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QSurfaceFormat>
#include <QTimer>

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

void InteractiveView::requestUpdate()
{
    if (m_updatePending)
        return;
    m_updatePending = true;
    // Wait out the rest of the display frame since the last paint, so that a burst of requests (one per tracking
    // sample, say) costs one paint per frame.
    const QScreen* display = screen();
    const double frameMs = 1000.0 / std::max(display ? display->refreshRate() : 60.0, 1.0);
    const qint64 elapsed = m_sinceLastPaint.isValid() ? m_sinceLastPaint.elapsed() : qint64(frameMs);
    const int delay = int(std::max(0.0, frameMs - double(elapsed)));
    QTimer::singleShot(delay, this, [this] { update(); });
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
    if (!m_interaction || !m_interaction->mousePress(*event))
        QOpenGLWidget::mousePressEvent(event);
}

void InteractiveView::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_interaction || !m_interaction->mouseMove(*event))
        QOpenGLWidget::mouseMoveEvent(event);
}

void InteractiveView::mouseReleaseEvent(QMouseEvent* event)
{
    if (!m_interaction || !m_interaction->mouseRelease(*event))
        QOpenGLWidget::mouseReleaseEvent(event);
}

void InteractiveView::wheelEvent(QWheelEvent* event)
{
    if (!m_interaction || !m_interaction->wheel(*event))
        QOpenGLWidget::wheelEvent(event);
}

void InteractiveView::keyPressEvent(QKeyEvent* event)
{
    if (!m_interaction || !m_interaction->keyPress(*event))
        QOpenGLWidget::keyPressEvent(event);
}

} // namespace Kelvaros
