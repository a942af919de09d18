#include "gl/OffscreenRenderer.h"

#include <cstdlib>

#include <QBuffer>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLFunctions>

#include "core/AtomicFile.h"
#include "core/Log.h"

namespace Kelvaros::GL
{
namespace
{
constexpr const char* kCategory = "OffscreenRenderer";

QSurfaceFormat coreFormat()
{
    QSurfaceFormat format;
    format.setRenderableType(QSurfaceFormat::OpenGL);
    format.setVersion(3, 3);
    format.setProfile(QSurfaceFormat::CoreProfile);
    format.setDepthBufferSize(24);
    format.setStencilBufferSize(8);
    return format;
}

bool isCore33(const QSurfaceFormat& format)
{
    return format.version() >= qMakePair(3, 3) && format.profile() == QSurfaceFormat::CoreProfile;
}
} // namespace

OffscreenRenderer::OffscreenRenderer(int width, int height, int samples)
  : m_width(width),
    m_height(height),
    m_surface(std::make_unique<QOffscreenSurface>()),
    m_context(std::make_unique<QOpenGLContext>())
{
    m_surface->setFormat(coreFormat());
    m_surface->create();
    m_context->setFormat(coreFormat());
    if (!m_surface->isValid() || !m_context->create() || !isCore33(m_context->format()) ||
        !m_context->makeCurrent(m_surface.get()))
    {
        const char* display = std::getenv("DISPLAY");
        Log::logf(Log::Error, kCategory, "cannot create an OpenGL 3.3 core context (DISPLAY={})",
                  display ? display : "unset");
        return;
    }
    QOpenGLFramebufferObjectFormat format;
    format.setAttachment(QOpenGLFramebufferObject::CombinedDepthStencil);
    format.setSamples(samples);
    auto framebuffer = std::make_unique<QOpenGLFramebufferObject>(width, height, format);
    if (!framebuffer->isValid())
    {
        Log::logf(Log::Error, kCategory, "cannot create a {}x{} framebuffer with {} samples", width, height, samples);
        return;
    }
    m_framebuffer = std::move(framebuffer);
    m_framebuffer->bind();
    // The default viewport is the size of the surface, which is not the framebuffer's.
    m_context->functions()->glViewport(0, 0, width, height);
}

OffscreenRenderer::~OffscreenRenderer()
{
    // Current while the context goes, so that what the host keeps per context can delete its objects.
    if (m_context->isValid() && m_context->makeCurrent(m_surface.get()))
    {
        m_framebuffer.reset();
        m_context.reset();
    }
}

bool OffscreenRenderer::makeCurrent()
{
    if (!isValid() || !m_context->makeCurrent(m_surface.get()))
        return false;
    return m_framebuffer->bind();
}

void OffscreenRenderer::doneCurrent()
{
    m_context->doneCurrent();
}

Viewport OffscreenRenderer::viewport() const
{
    return { 0, 0, m_width, m_height };
}

QImage OffscreenRenderer::toImage()
{
    if (!makeCurrent())
        return {};
    return m_framebuffer->toImage();
}

bool OffscreenRenderer::savePng(const QString& path)
{
    return writePng(toImage(), path);
}

bool OffscreenRenderer::writePng(const QImage& image, const QString& path)
{
    QByteArray png;
    QBuffer buffer(&png);
    std::string error = path.toStdString() + ": cannot write: no image";
    if (!image.isNull() && buffer.open(QIODevice::WriteOnly) && image.save(&buffer, "PNG") &&
        AtomicFile::writeFile(path.toStdString(), std::string_view(png.constData(), size_t(png.size())), &error))
        return true;
    Log::log(Log::Error, kCategory, error);
    return false;
}

} // namespace Kelvaros::GL
