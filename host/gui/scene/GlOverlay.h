#pragma once

#include "core/Export.h"
#include "gl/Viewport.h"

namespace Kelvaros
{

/// Something drawn flat over a view in a rectangle of its own (pixels), such as a button or a targeting display.
/// The view places it (InteractiveOverlay) between its minimal size and its size hint. Main thread only.
class KELVAROS_API GlOverlay
{
public:
    GlOverlay(int sizeHintWidth, int sizeHintHeight, int minimalWidth, int minimalHeight);
    virtual ~GlOverlay();
    GlOverlay(const GlOverlay&) = delete;
    GlOverlay& operator=(const GlOverlay&) = delete;

    void setVisible(bool visible) { m_visible = visible; }
    [[nodiscard]] bool visible() const { return m_visible; }
    /// The size it would like, in pixels.
    void setSizeHint(int width, int height);
    [[nodiscard]] int sizeHintWidth() const { return m_sizeHintWidth; }
    [[nodiscard]] int sizeHintHeight() const { return m_sizeHintHeight; }
    /// The size below which it cannot be drawn sensibly, in pixels.
    void setMinimalSizeHint(int width, int height);
    [[nodiscard]] int minimalSizeHintWidth() const { return m_minimalWidth; }
    [[nodiscard]] int minimalSizeHintHeight() const { return m_minimalHeight; }

    /// Draws into `viewport`, its own rectangle of the framebuffer, with the context current. Restore any OpenGL
    /// state changed (GL::StateGuard).
    virtual void render(const GL::Viewport& viewport) = 0;
    /// Called before drawing when what it shows may have changed; nothing by default.
    virtual void update();

private:
    bool m_visible = true;
    int m_sizeHintWidth;
    int m_sizeHintHeight;
    int m_minimalWidth;
    int m_minimalHeight;
};

} // namespace Kelvaros
