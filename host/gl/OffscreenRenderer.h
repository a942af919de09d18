#pragma once

#include <memory>

#include <QImage>
#include <QString>

#include "core/Export.h"
#include "gl/Viewport.h"

class QOffscreenSurface;
class QOpenGLContext;
class QOpenGLFramebufferObject;

namespace Kelvaros::GL
{

/// An OpenGL 3.3 core context of its own with a framebuffer of a fixed size, for drawing without a window (tests,
/// screenshots). Construct, destroy and use it on the thread of the QGuiApplication, which must exist.
class KELVAROS_API OffscreenRenderer
{
public:
    /// `samples` 0 for single-sampled pixels, or e.g. 4 for multisampling (resolved by toImage).
    /// On success the context is current with the framebuffer bound and the viewport covering it; on failure
    /// isValid() is false and the cause is in the log (Error).
    OffscreenRenderer(int width, int height, int samples = 0);
    ~OffscreenRenderer();
    OffscreenRenderer(const OffscreenRenderer&) = delete;
    OffscreenRenderer& operator=(const OffscreenRenderer&) = delete;

    [[nodiscard]] bool isValid() const { return m_framebuffer != nullptr; }
    /// Makes the context current and binds the framebuffer; false when not valid.
    bool makeCurrent();
    void doneCurrent();
    [[nodiscard]] QOpenGLContext* context() const { return m_context.get(); }
    /// The whole framebuffer.
    [[nodiscard]] Viewport viewport() const;

    /// The framebuffer's pixels (top row first, as QImage stores them); a null image when not valid.
    [[nodiscard]] QImage toImage();
    /// Writes toImage() as PNG; the file is replaced atomically. False (Error in the log) on failure.
    bool savePng(const QString& path);
    /// Writes an image as PNG through AtomicFile: an old file survives a failed write, a device or pipe is written
    /// in place. False (Error in the log, with the path and the reason) on failure.
    static bool writePng(const QImage& image, const QString& path);

private:
    int m_width;
    int m_height;
    std::unique_ptr<QOffscreenSurface> m_surface;
    std::unique_ptr<QOpenGLContext> m_context;
    std::unique_ptr<QOpenGLFramebufferObject> m_framebuffer;
};

} // namespace Kelvaros::GL
