#include "gui/view/GlVolumeView.h"

#include <algorithm>
#include <cmath>

#include <qopengl.h>

#include <Eigen/LU>

#include "gl/Pipeline.h"
#include "gl/StateGuard.h"
#include "gl/VertexBuffer.h"
#include "gui/view/LayerCache.h"
#include "gui/view/VolumeLayers.h"
#include "gui/view/VolumePlaneRenderer.h"
#include "gui/view/VolumeTexture.h"
#include "lib/ImageDisplayOptionsComponent.h"
#include "lib/SharedImageSet.h"

namespace Kelvaros
{
namespace
{
/// Corners of the plane through the grid's centre perpendicular to image axis `normal`, in image coordinates.
std::array<Eigen::Vector3d, 4> centralPlane(const Eigen::Vector3d& halfExtent, int normal)
{
    const int u = (normal + 1) % 3;
    const int v = (normal + 2) % 3;
    std::array<Eigen::Vector3d, 4> corners;
    for (int i = 0; i < 4; ++i)
    {
        corners[size_t(i)].setZero();
        corners[size_t(i)][u] = (i & 1 ? 1 : -1) * halfExtent[u];
        corners[size_t(i)][v] = (i & 2 ? 1 : -1) * halfExtent[v];
    }
    return corners;
}
} // namespace

GlVolumeView::GlVolumeView()
  : m_layers(std::make_unique<VolumeLayers>([this] { requestRedraw(); })),
    m_dataCache(std::make_unique<LayerCache>(true))
{
}

GlVolumeView::~GlVolumeView() = default;

void GlVolumeView::setCamera(const Camera& camera)
{
    m_camera = camera;
    requestRedraw();
}

void GlVolumeView::setCameraMatrix(const Eigen::Matrix4d& cameraToWorld)
{
    m_camera.setMatrix(cameraToWorld);
    requestRedraw();
}

void GlVolumeView::showBox(const Eigen::AlignedBox3d& box, const Eigen::Vector3d& viewDirection,
                           const Eigen::Vector3d& up)
{
    if (box.isEmpty() || viewDirection.norm() <= 0)
        return;
    // The box's bounding sphere fills the smaller side of the view: tan(half angle) = 0.5 / focal length.
    const double radius = std::max(0.5 * box.diagonal().norm(), 1.0);
    const double halfTan = 0.5 / std::max(m_camera.focalLength().x(), m_camera.focalLength().y());
    const double distance = radius * std::sqrt(1.0 + 1.0 / (halfTan * halfTan));
    m_camera.setLookAt(box.center() - distance * viewDirection.normalized(), box.center(), up);
    requestRedraw();
}

void GlVolumeView::setWindowLevel(double window, double level)
{
    if (SharedImageSet* set = VolumeLayers::adjusted(visibleVolumes(), nullptr))
        ImageDisplayOptionsComponent::of(*set).setWindowLevel(window, level);
}

void GlVolumeView::setVisibleData(std::vector<Data*> data)
{
    GlView::setVisibleData(std::move(data));
    m_layers->watch(visibleVolumes());
}

RenderInfo GlVolumeView::renderInfo(const GL::Viewport& viewport) const
{
    // Clipping planes just around the scene: its box's depth range seen from the eye, with a margin.
    const Eigen::Matrix4d view = m_camera.viewMatrix();
    double nearest = 1.0;
    double farthest = 2.0 * m_camera.distance() + 1.0;
    if (const Eigen::AlignedBox3d box = sceneBounds(); !box.isEmpty())
    {
        const Eigen::Vector3d middle = (view * box.center().homogeneous()).head<3>();
        const double radius = 0.5 * box.diagonal().norm() + 1.0;
        nearest = -middle.z() - radius;
        farthest = std::max(farthest, -middle.z() + radius);
    }
    nearest = std::max(nearest, farthest * 1e-4);
    RenderInfo info;
    info.viewState.viewport = viewport;
    info.viewState.modelView = view;
    info.viewState.projection = m_camera.projectionMatrix(viewport, nearest, farthest);
    info.mmPerPixel = m_camera.mmPerPixelAtCentre(viewport);
    return info;
}

bool GlVolumeView::renderKeptData(const RenderInfo& info)
{
    const std::vector<VolumeLayers::Layer>& layers = m_layers->acquire(visibleVolumes());
    if (layers.empty())
        return false;
    const GL::Viewport& vp = info.viewState.viewport;
    std::vector<double> key = { double(vp.width), double(vp.height) };
    const auto append = [&key](const auto& values)
    { key.insert(key.end(), values.data(), values.data() + values.size()); };
    append(backgroundColor());
    append(info.viewState.modelView);
    append(info.viewState.projection);
    for (const Slice& plane : m_planes)
        append(plane.pose());
    for (const VolumeLayers::Layer& layer : layers)
    {
        const VolumePlaneRenderer::Quad quad = VolumeLayers::quadOf(layer);
        key.insert(key.end(),
                   { double(layer.texture->generation()), quad.window, quad.level, quad.alpha, double(quad.colorMap) });
        append(quad.textureFromWorld);
        append(layer.set->matrix(-1));
        append(layer.set->extent());
    }
    // The cached picture is drawn at the origin of its own target.
    RenderInfo cached = info;
    cached.viewState.viewport = GL::Viewport{ 0, 0, vp.width, vp.height };
    return m_dataCache->draw(key, vp, backgroundColor(), [&] { return drawLayersOf(layers, cached); });
}

void GlVolumeView::renderData(const RenderInfo& info)
{
    const std::vector<VolumeLayers::Layer>& layers = m_layers->acquire(visibleVolumes());
    if (!layers.empty())
        drawLayersOf(layers, info);
}

bool GlVolumeView::drawLayersOf(const std::vector<VolumeLayers::Layer>& layers, const RenderInfo& info) const
{
    bool drawn = true;
    for (const VolumeLayers::Layer& layer : layers)
    {
        renderOutline(*layer.set, info);
        VolumePlaneRenderer::Quad quad = VolumeLayers::quadOf(layer);
        quad.clipFromWorld = info.viewState.projection * info.viewState.modelView;
        for (const std::array<Eigen::Vector3d, 4>& corners : planeQuads(*layer.set))
        {
            quad.corners = corners;
            drawn = VolumePlaneRenderer::draw(quad) && drawn;
        }
    }
    return drawn;
}

void GlVolumeView::setVolumePlanes(const std::vector<Slice>& planes)
{
    const auto samePose = [](const Slice& a, const Slice& b) { return a.pose() == b.pose(); };
    if (planes.size() == m_planes.size() && std::equal(planes.begin(), planes.end(), m_planes.begin(), samePose))
        return;
    m_planes = planes;
    requestRedraw();
}

std::vector<std::array<Eigen::Vector3d, 4>> GlVolumeView::planeQuads(const SharedImageSet& set) const
{
    const Eigen::Matrix4d worldFromImage = set.matrix(-1);
    std::vector<std::array<Eigen::Vector3d, 4>> quads;
    if (m_planes.empty())
    {
        for (int normal = 0; normal < 3; ++normal)
        {
            const std::array<Eigen::Vector3d, 4> corners = centralPlane(0.5 * set.extent(), normal);
            std::array<Eigen::Vector3d, 4>& world = quads.emplace_back();
            std::transform(corners.begin(), corners.end(), world.begin(),
                           [&](const Eigen::Vector3d& p)
                           { return Eigen::Vector3d((worldFromImage * p.homogeneous()).head<3>()); });
        }
        return quads;
    }
    // A square around the grid's bounding sphere: the renderer discards what falls outside the grid.
    const Eigen::Vector3d centre = (worldFromImage * Eigen::Vector4d(0, 0, 0, 1)).head<3>();
    const double radius = 0.5 * set.extent().norm();
    for (const Slice& plane : m_planes)
    {
        if (std::abs(plane.signedDistance(centre)) > radius)
            continue;
        const Eigen::Vector3d foot = plane.project(centre);
        const Eigen::Vector3d x = radius * plane.xAxis();
        const Eigen::Vector3d y = radius * plane.yAxis();
        quads.push_back({ foot - x - y, foot + x - y, foot - x + y, foot + x + y });
    }
    return quads;
}

void GlVolumeView::renderOutline(const SharedImageSet& set, const RenderInfo& info) const
{
    const Eigen::AlignedBox3d box = set.imageBoundingBox();
    std::vector<Eigen::Vector3d> corners;
    for (int c = 0; c < 8; ++c)
        corners.push_back(box.corner(Eigen::AlignedBox3d::CornerType(c)));
    // Corner c has bit 0 for x, bit 1 for y, bit 2 for z: an edge joins corners differing in one bit.
    std::vector<unsigned> edges;
    for (unsigned c = 0; c < 8; ++c)
        for (const unsigned bit : { 1u, 2u, 4u })
            if (!(c & bit))
                edges.insert(edges.end(), { c, c | bit });
    GL::ViewState state = info.viewState;
    state.modelView = info.viewState.modelView * set.matrix(-1);
    GL::StateGuard guard;
    GL::VertexBuffer outline;
    outline.setData(corners, {}, {}, edges);
    GL::Pipeline::enable(state, GL::Pipeline::UniformColor);
    GL::Pipeline::setColor({ 0.55, 0.7, 0.9, 1.0 });
    GL::Pipeline::setLineWidth(1.0);
    outline.draw(GL_LINES);
}

} // namespace Kelvaros
