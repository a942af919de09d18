#pragma once

#include <memory>

#include <QImage>

#include "gui/scene/GlOverlay.h"

namespace Kelvaros
{

namespace GL
{
class VertexBuffer;
}

/// What InteractiveButtonOverlay draws: a disc filling its rectangle and an icon in the middle. The icon is drawn
/// as one small coloured square per pixel of its downscaled image, through the host pipeline, so no texture
/// program is needed. Internal to KelvarosGui.
class ButtonOverlay : public GlOverlay
{
public:
    ButtonOverlay();
    ~ButtonOverlay() override;

    void setIcon(const QImage& icon);
    void render(const GL::Viewport& viewport) override;

private:
    void buildIcon(int size);

    QImage m_icon;
    std::unique_ptr<GL::VertexBuffer> m_disc;
    std::unique_ptr<GL::VertexBuffer> m_rim;
    std::unique_ptr<GL::VertexBuffer> m_iconSquares;
    int m_builtSize = 0;
};

} // namespace Kelvaros
