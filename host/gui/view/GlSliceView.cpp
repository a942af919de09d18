#include "gui/view/GlSliceView.h"

#include <algorithm>
#include <cmath>

#include <QOpenGLFunctions_3_3_Core>

#include <Eigen/LU>
#include <fmt/format.h>

#include "gl/Functions.h"
#include "gl/Pipeline.h"
#include "gl/StateGuard.h"
#include "gl/TextRenderer.h"
#include "gl/VertexBuffer.h"
#include "gui/scene/GlCrosshair.h"
#include "gui/view/LayerCache.h"
#include "gui/view/VolumeLayers.h"
#include "gui/view/VolumePlaneRenderer.h"
#include "gui/view/VolumeTexture.h"
#include "lib/ImageDisplayOptionsComponent.h"
#include "lib/SharedImageSet.h"
#include "lib/view/CursorReadout.h"

namespace Kelvaros
{
namespace
{
constexpr const char* kCategory = "GlSliceView";
/// Depth range (mm either side of the plane) of the orthographic projection: objects flattened onto the plane or
/// drawn near it must not be clipped.
constexpr double kDepthRange = 1e4;

/// Slice frame (y down, z away from the viewer) ↔ eye frame (y up, looking along -z).
Eigen::Matrix4d flipYZ()
{
    return Eigen::Vector4d(1, -1, -1, 1).asDiagonal();
}

Eigen::Matrix4d orthographic(double halfWidth, double halfHeight, double depth)
{
    Eigen::Matrix4d p = Eigen::Matrix4d::Identity();
    p(0, 0) = 1.0 / halfWidth;
    p(1, 1) = 1.0 / halfHeight;
    p(2, 2) = -1.0 / depth;
    return p;
}

/// 1, 2 or 5 times a power of ten, the largest not above `mm`.
double roundScaleLength(double mm)
{
    const double decade = std::pow(10.0, std::floor(std::log10(mm)));
    for (const double step : { 5.0, 2.0 })
        if (step * decade <= mm)
            return step * decade;
    return decade;
}

GL::Font decorationFont()
{
    GL::Font font;
    font.size = 13;
    font.bold = 1;
    font.color = { 0.95, 0.95, 0.6, 1.0 };
    return font;
}

/// The cursor a view marks: the position of its visible crosshair, if it shows one.
std::optional<Eigen::Vector3d> markedCursor(const GlView& view)
{
    for (const GlObject* object : view.objects())
        if (const auto* crosshair = dynamic_cast<const GlCrosshair*>(object); crosshair && crosshair->visible())
            return crosshair->position();
    return std::nullopt;
}

/// CursorReadout's lines in the bottom-left corner, about the adjusted volume (the one the window and level belong
/// to: chosen in the Layers panel, else the top one).
void renderCursorReadout(const GlSliceView& view, const GL::Viewport& viewport)
{
    GL::Font font = decorationFont();
    font.size = 11;
    font.bold = 0;
    constexpr double kLineHeight = 15;
    const std::vector<std::string> lines =
      CursorReadout::lines(view.slice(), markedCursor(view), view.adjustedVolume(), view.windowLevel());
    for (size_t i = 0; i < lines.size(); ++i)
        GL::TextRenderer::render(viewport, lines[i], { 6, 4 + kLineHeight * double(lines.size() - 1 - i) }, font,
                                 GL::TextRenderer::Left, GL::TextRenderer::Bottom);
}
} // namespace

GlSliceView::GlSliceView(Slice slice)
  : m_slice(std::move(slice)),
    m_layers(std::make_unique<VolumeLayers>([this] { requestRedraw(); })),
    m_imageCache(std::make_unique<LayerCache>(false))
{
}

GlSliceView::~GlSliceView() = default;

void GlSliceView::setSlice(const Slice& slice)
{
    m_slice = slice;
    requestRedraw();
}

void GlSliceView::setMmPerPixel(double mmPerPixel)
{
    if (!(mmPerPixel > 0))
        return;
    m_mmPerPixel = mmPerPixel;
    requestRedraw();
}

void GlSliceView::scroll(double mm)
{
    m_slice.setOrigin(m_slice.origin() + mm * m_slice.normal());
    requestRedraw();
}

void GlSliceView::pan(double dxPixels, double dyPixels)
{
    m_slice.setOrigin(m_slice.origin() - m_mmPerPixel * (dxPixels * m_slice.xAxis() - dyPixels * m_slice.yAxis()));
    requestRedraw();
}

void GlSliceView::zoomAbout(double factor, double x, double y, const GL::Viewport& viewport)
{
    if (!(factor > 0))
        return;
    const Eigen::Vector3d fixed = worldAt(x, y, viewport);
    m_mmPerPixel /= factor;
    m_slice.setOrigin(fixed - m_mmPerPixel * ((x - 0.5 * viewport.width) * m_slice.xAxis() -
                                              (y - 0.5 * viewport.height) * m_slice.yAxis()));
    requestRedraw();
}

Eigen::Vector3d GlSliceView::worldAt(double x, double y, const GL::Viewport& viewport) const
{
    return m_slice.origin() + m_mmPerPixel * ((x - 0.5 * viewport.width) * m_slice.xAxis() -
                                              (y - 0.5 * viewport.height) * m_slice.yAxis());
}

void GlSliceView::setWindowLevel(double window, double level)
{
    if (SharedImageSet* set = adjustedVolume())
        ImageDisplayOptionsComponent::of(*set).setWindowLevel(window, level);
}

double GlSliceView::window() const
{
    return windowLevel().first;
}

double GlSliceView::level() const
{
    return windowLevel().second;
}

std::pair<double, double> GlSliceView::windowLevel() const
{
    SharedImageSet* set = adjustedVolume();
    if (!set)
        return { 1.0, 0.5 };
    const ImageDisplayOptionsComponent& options = ImageDisplayOptionsComponent::of(*set);
    return { options.window(), options.level() };
}

void GlSliceView::setAdjustedVolume(const SharedImageSet* volume)
{
    m_adjustedVolume = volume;
}

SharedImageSet* GlSliceView::adjustedVolume() const
{
    return VolumeLayers::adjusted(visibleVolumes(), m_adjustedVolume);
}

void GlSliceView::setDecorationsVisible(bool visible)
{
    m_decorationsVisible = visible;
    requestRedraw();
}

void GlSliceView::setSliceThickness(double mm)
{
    if (!(mm > 0))
        return;
    m_sliceThickness = mm;
    requestRedraw();
}

void GlSliceView::setCameraMatrix(const Eigen::Matrix4d& cameraToWorld)
{
    m_slice.setPose(cameraToWorld * flipYZ());
    requestRedraw();
}

void GlSliceView::setVisibleData(std::vector<Data*> data)
{
    GlView::setVisibleData(std::move(data));
    m_layers->watch(visibleVolumes());
}

RenderInfo GlSliceView::renderInfo(const GL::Viewport& viewport) const
{
    RenderInfo info;
    info.viewState.viewport = viewport;
    info.viewState.modelView = flipYZ() * m_slice.pose().inverse();
    info.viewState.projection =
      orthographic(0.5 * viewport.width * m_mmPerPixel, 0.5 * viewport.height * m_mmPerPixel, kDepthRange);
    info.sliceView = true;
    info.slice = m_slice;
    info.sliceThickness = m_sliceThickness;
    info.mmPerPixel = m_mmPerPixel;
    return info;
}

GlSliceView::ImageLayers GlSliceView::imageLayers(const RenderInfo& info) const
{
    const GL::Viewport& vp = info.viewState.viewport;
    ImageLayers layers;
    layers.key = { double(vp.width), double(vp.height), m_mmPerPixel };
    layers.key.insert(layers.key.end(), backgroundColor().data(), backgroundColor().data() + 3);
    layers.key.insert(layers.key.end(), m_slice.pose().data(), m_slice.pose().data() + 16);
    // Bottom to top: each layer is blended over those before it with its own opacity.
    for (const VolumeLayers::Layer& layer : m_layers->acquire(visibleVolumes()))
    {
        VolumePlaneRenderer::Quad quad = VolumeLayers::quadOf(layer);
        quad.corners = { worldAt(0, 0, vp), worldAt(vp.width, 0, vp), worldAt(0, vp.height, vp),
                         worldAt(vp.width, vp.height, vp) };
        quad.clipFromWorld = info.viewState.projection * info.viewState.modelView;
        layers.key.insert(layers.key.end(), { double(layer.texture->generation()), quad.window, quad.level, quad.alpha,
                                              double(quad.colorMap) });
        layers.key.insert(layers.key.end(), quad.textureFromWorld.data(), quad.textureFromWorld.data() + 16);
        layers.quads.push_back(quad);
    }
    return layers;
}

bool GlSliceView::drawQuads(const std::vector<VolumePlaneRenderer::Quad>& quads)
{
    GL::StateGuard guard(GL::StateGuard::Depth);
    // The image is the background of everything else in the plane: it writes no depth.
    GL::currentFunctions(kCategory)->glDepthMask(GL_FALSE);
    return std::all_of(quads.begin(), quads.end(), [](const auto& quad) { return VolumePlaneRenderer::draw(quad); });
}

bool GlSliceView::renderKeptData(const RenderInfo& info)
{
    const ImageLayers layers = imageLayers(info);
    return !layers.quads.empty() && m_imageCache->draw(layers.key, info.viewState.viewport, backgroundColor(),
                                                       [&layers] { return drawQuads(layers.quads); });
}

void GlSliceView::renderData(const RenderInfo& info)
{
    drawQuads(imageLayers(info).quads);
}

void GlSliceView::renderDecorations(const RenderInfo& info)
{
    GlView::renderDecorations(info);
    if (!m_decorationsVisible)
        return;
    renderOrientationLabels(info.viewState.viewport);
    renderScaleBar(info);
    renderCursorReadout(*this, info.viewState.viewport);
}

void GlSliceView::renderOrientationLabels(const GL::Viewport& viewport) const
{
    using GL::TextRenderer;
    const double w = viewport.width;
    const double h = viewport.height;
    const auto text = [](const Eigen::Vector3d& direction) { return std::string(1, anatomicalLetter(direction)); };
    const GL::Font font = decorationFont();
    TextRenderer::render(viewport, text(m_slice.xAxis()), { w - 6, 0.5 * h }, font, TextRenderer::Right,
                         TextRenderer::Middle);
    TextRenderer::render(viewport, text(-m_slice.xAxis()), { 6, 0.5 * h }, font, TextRenderer::Left,
                         TextRenderer::Middle);
    TextRenderer::render(viewport, text(-m_slice.yAxis()), { 0.5 * w, h - 4 }, font, TextRenderer::Centre,
                         TextRenderer::Top);
    TextRenderer::render(viewport, text(m_slice.yAxis()), { 0.5 * w, 4 }, font, TextRenderer::Centre,
                         TextRenderer::Bottom);
}

void GlSliceView::renderScaleBar(const RenderInfo& info) const
{
    const GL::Viewport& viewport = info.viewState.viewport;
    const double lengthMm = roundScaleLength(0.2 * viewport.width * m_mmPerPixel);
    const double lengthPx = std::round(lengthMm / m_mmPerPixel);
    const double right = viewport.width - 20;
    const double y = 28;
    const std::vector<Eigen::Vector3d> points = {
        { right - lengthPx, y, 0 },     { right, y, 0 },     { right - lengthPx, y - 4, 0 },
        { right - lengthPx, y + 4, 0 }, { right, y - 4, 0 }, { right, y + 4, 0 },
    };
    GL::ViewState pixels(viewport);
    pixels.projection = GL::createOrtho2d(viewport.width, viewport.height);
    GL::StateGuard guard;
    GL::VertexBuffer bar;
    bar.setData(points);
    GL::Pipeline::enable(pixels, GL::Pipeline::UniformColor);
    GL::Pipeline::setColor(decorationFont().color);
    GL::Pipeline::setLineWidth(2.0);
    bar.draw(GL_LINES);
    GL::TextRenderer::render(viewport, fmt::format("{:g} mm", lengthMm), { right - 0.5 * lengthPx, y + 6 },
                             decorationFont(), GL::TextRenderer::Centre, GL::TextRenderer::Bottom);
}

char anatomicalLetter(const Eigen::Vector3d& direction)
{
    Eigen::Index axis = 0;
    direction.cwiseAbs().maxCoeff(&axis);
    return direction[axis] >= 0 ? "RAS"[axis] : "LPI"[axis];
}

} // namespace Kelvaros
