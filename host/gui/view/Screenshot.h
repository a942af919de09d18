#pragma once

#include <functional>

#include <QImage>
#include <QSize>
#include <QString>

#include "core/Export.h"
#include "gl/Viewport.h"

namespace Kelvaros
{

/// Offscreen rendering in the application's shared OpenGL context group, so that what views keep on the GPU
/// (volume textures, buffers) is reused rather than uploaded again. Main thread only.
class KELVAROS_API Screenshot
{
public:
    /// Calls `draw` with a viewport covering a framebuffer of `size` pixels (a 3.3 core context current, the
    /// framebuffer bound and cleared to black) and returns the pixels; a null image (Error in the log) when no
    /// context or framebuffer could be made.
    [[nodiscard]] static QImage render(const QSize& size, const std::function<void(const GL::Viewport&)>& draw);
    /// Writes a PNG through AtomicFile (see GL::OffscreenRenderer::writePng); false (Error in the log) on failure.
    static bool savePng(const QImage& image, const QString& path);
};

} // namespace Kelvaros
