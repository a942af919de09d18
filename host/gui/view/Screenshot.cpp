#include "gui/view/Screenshot.h"

#include <memory>

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLFunctions>

#include "core/Log.h"
#include "gl/OffscreenRenderer.h"

namespace Kelvaros
{
namespace
{
constexpr const char* kCategory = "Screenshot";

QSurfaceFormat coreFormat()
{
    QSurfaceFormat format = QSurfaceFormat::defaultFormat();
    format.setRenderableType(QSurfaceFormat::OpenGL);
    format.setVersion(3, 3);
    format.setProfile(QSurfaceFormat::CoreProfile);
    format.setDepthBufferSize(24);
    return format;
}
} // namespace

QImage Screenshot::render(const QSize& size, const std::function<void(const GL::Viewport&)>& draw)
{
    QOffscreenSurface surface;
    surface.setFormat(coreFormat());
    surface.create();
    auto context = std::make_unique<QOpenGLContext>();
    context->setFormat(coreFormat());
    context->setShareContext(QOpenGLContext::globalShareContext());
    if (size.isEmpty() || !context->create() || !context->makeCurrent(&surface))
    {
        Log::logf(Log::Error, kCategory, "cannot make an OpenGL context for a {}x{} image", size.width(),
                  size.height());
        return {};
    }
    QImage image;
    {
        QOpenGLFramebufferObject framebuffer(size, QOpenGLFramebufferObject::CombinedDepthStencil);
        if (framebuffer.isValid() && framebuffer.bind())
        {
            QOpenGLFunctions* f = context->functions();
            f->glViewport(0, 0, size.width(), size.height());
            f->glClearColor(0, 0, 0, 1);
            f->glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
            draw(GL::Viewport{ 0, 0, size.width(), size.height() });
            image = framebuffer.toImage().convertToFormat(QImage::Format_RGB32);
        }
        else
            Log::logf(Log::Error, kCategory, "cannot make a {}x{} framebuffer", size.width(), size.height());
    }
    // Destroyed while current, so that what was kept per context can delete its objects.
    context.reset();
    return image;
}

bool Screenshot::savePng(const QImage& image, const QString& path)
{
    return GL::OffscreenRenderer::writePng(image, path);
}

} // namespace Kelvaros
