#include "gui/view/GlView.h"

#include <algorithm>

#include <QOpenGLFunctions_3_3_Core>

#include "gl/Functions.h"
#include "gl/StateGuard.h"
#include "gl/TextRenderer.h"
#include "gui/scene/GlObject.h"
#include "gui/scene/GlOverlay.h"
#include "gui/scene/InteractiveOverlay.h"
#include "gui/tracking/GlTrackingStream.h"
#include "gui/view/FrameClock.h"
#include "lib/SharedImageSet.h"
#include "stream/TrackingStream.h"

namespace Kelvaros
{
namespace
{
constexpr const char* kCategory = "GlView";

/// Eye-space depth of an object's middle (larger is farther), for drawing transparent objects back to front.
double depthOf(const GlObject& object, const Eigen::Matrix4d& modelView)
{
    const Eigen::AlignedBox3d box = object.bounds();
    const Eigen::Vector3d middle = box.isEmpty() ? Eigen::Vector3d(object.matrix().block<3, 1>(0, 3)) : box.center();
    return -(modelView * middle.homogeneous()).z();
}
} // namespace

GlView::GlView() = default;

GlView::~GlView()
{
    for (auto& [object, connections] : m_connections)
        for (SignalConnection& connection : connections)
            connection.disconnect();
}

void GlView::addObject(GlObject* object)
{
    if (!object || hasObject(object))
        return;
    m_objects.push_back(object);
    m_connections[object] = {
        object->signalChanged.connect([this] { requestRedraw(); }),
        object->signalDestroyed.connect([this](const GlObject* dying) { removeObject(const_cast<GlObject*>(dying)); }),
    };
    requestRedraw();
}

void GlView::removeObject(GlObject* object)
{
    const auto it = std::find(m_objects.begin(), m_objects.end(), object);
    if (it == m_objects.end())
        return;
    m_objects.erase(it);
    for (SignalConnection& connection : m_connections[object])
        connection.disconnect();
    m_connections.erase(object);
    requestRedraw();
}

bool GlView::hasObject(const GlObject* object) const
{
    return std::find(m_objects.begin(), m_objects.end(), object) != m_objects.end();
}

void GlView::addOverlay(std::unique_ptr<InteractiveOverlay> overlay, int position)
{
    if (!overlay)
        return;
    const bool append = position < 0 || size_t(position) >= m_overlays.size();
    m_overlays.insert(append ? m_overlays.end() : m_overlays.begin() + position, std::move(overlay));
    requestRedraw();
}

std::unique_ptr<InteractiveOverlay> GlView::removeOverlay(InteractiveOverlay* overlay)
{
    const auto it = std::find_if(m_overlays.begin(), m_overlays.end(),
                                 [overlay](const auto& owned) { return owned.get() == overlay; });
    if (it == m_overlays.end())
        return nullptr;
    std::unique_ptr<InteractiveOverlay> result = std::move(*it);
    m_overlays.erase(it);
    requestRedraw();
    return result;
}

std::vector<InteractiveOverlay*> GlView::overlays() const
{
    std::vector<InteractiveOverlay*> result;
    for (const auto& overlay : m_overlays)
        result.push_back(overlay.get());
    return result;
}

bool GlView::pressOverlays(int x, int y, int viewWidth, int viewHeight)
{
    for (auto it = m_overlays.rbegin(); it != m_overlays.rend(); ++it)
    {
        InteractiveOverlay& overlay = **it;
        if (overlay.visible() && overlay.rect(viewWidth, viewHeight).contains(x, y) && overlay.mousePress(x, y))
            return true;
    }
    return false;
}

void GlView::setVisibleData(std::vector<Data*> data)
{
    m_visibleData = std::move(data);
    updateStreamObjects();
    requestRedraw();
}

void GlView::updateStreamObjects()
{
    std::map<const TrackingStream*, std::unique_ptr<GlTrackingStream>> kept;
    for (Data* data : m_visibleData)
    {
        auto* stream = dynamic_cast<TrackingStream*>(data);
        if (!stream || kept.count(stream))
            continue;
        // A stream that stays visible keeps its object, and so its trail.
        auto existing = m_streamObjects.find(stream);
        std::unique_ptr<GlTrackingStream>& object = kept[stream];
        if (existing != m_streamObjects.end())
            object = std::move(existing->second);
        else
        {
            object = std::make_unique<GlTrackingStream>(*stream);
            frameClock().watch(*object);
        }
        addObject(object.get());
    }
    // What is left here is no longer visible; its destruction takes it out of the view.
    m_streamObjects.swap(kept);
    for (auto& [stream, object] : m_streamObjects)
        object->setNamesWithStream(m_streamObjects.size() > 1);
}

void GlView::setFrameClock(std::shared_ptr<FrameClock> clock)
{
    for (auto& [stream, object] : m_streamObjects)
    {
        if (m_frameClock)
            m_frameClock->unwatch(*object);
        if (clock)
            clock->watch(*object);
    }
    m_frameClock = std::move(clock);
}

FrameClock& GlView::frameClock()
{
    if (!m_frameClock)
        m_frameClock = std::make_shared<FrameClock>();
    return *m_frameClock;
}

std::vector<SharedImageSet*> GlView::visibleVolumes() const
{
    std::vector<SharedImageSet*> volumes;
    for (Data* data : m_visibleData)
        if (auto* set = dynamic_cast<SharedImageSet*>(data); set && set->numImages() > 0)
            volumes.push_back(set);
    return volumes;
}

void GlView::setBackgroundColor(const Eigen::Vector3d& rgb)
{
    m_background = rgb;
    requestRedraw();
}

void GlView::setLabel(std::string label)
{
    m_label = std::move(label);
    requestRedraw();
}

Eigen::AlignedBox3d GlView::sceneBounds() const
{
    Eigen::AlignedBox3d box;
    for (const GlObject* object : m_objects)
        if (object->visible())
            if (const Eigen::AlignedBox3d b = object->bounds(); !b.isEmpty())
                box.extend(b);
    for (const SharedImageSet* set : visibleVolumes())
        box.extend(set->worldBoundingBox());
    return box;
}

void GlView::render(const GL::Viewport& viewport)
{
    QOpenGLFunctions_3_3_Core* f = GL::currentFunctions(kCategory);
    if (!f || viewport.width <= 0 || viewport.height <= 0)
        return;
    GL::StateGuard guard;
    f->glViewport(viewport.x, viewport.y, viewport.width, viewport.height);
    f->glEnable(GL_SCISSOR_TEST);
    f->glScissor(viewport.x, viewport.y, viewport.width, viewport.height);
    f->glDepthMask(GL_TRUE);
    f->glEnable(GL_DEPTH_TEST);
    f->glDepthFunc(GL_LEQUAL);
    const RenderInfo info = renderInfo(viewport);
    // Clearing what a copied picture covers anyway is a pass over every pixel, which a software renderer must also
    // finish before it can copy.
    if (!renderKeptData(info))
    {
        f->glClearColor(float(m_background.x()), float(m_background.y()), float(m_background.z()), 1.0f);
        f->glClearDepth(1.0);
        f->glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        renderData(info);
    }
    renderObjects(info);
    f->glDisable(GL_DEPTH_TEST);
    renderDecorations(info);
    renderOverlays(viewport);
}

bool GlView::renderKeptData(const RenderInfo& /*info*/)
{
    return false;
}

void GlView::renderObjects(const RenderInfo& info)
{
    std::vector<GlObject*> transparent;
    for (GlObject* object : m_objects)
    {
        if (!object->visible())
            continue;
        if (object->isTransparent())
            transparent.push_back(object);
        else
            object->render(info);
    }
    const Eigen::Matrix4d& modelView = info.viewState.modelView;
    std::stable_sort(transparent.begin(), transparent.end(),
                     [&modelView](const GlObject* a, const GlObject* b)
                     { return depthOf(*a, modelView) > depthOf(*b, modelView); });
    for (GlObject* object : transparent)
        object->render(info);
}

void GlView::renderDecorations(const RenderInfo& info)
{
    if (m_label.empty())
        return;
    const GL::Viewport& viewport = info.viewState.viewport;
    GL::Font font;
    font.size = 13;
    font.color = { 1.0, 0.85, 0.3, 1.0 };
    GL::TextRenderer::render(viewport, m_label, Eigen::Vector2d(6, viewport.height - 4), font, GL::TextRenderer::Left,
                             GL::TextRenderer::Top);
}

void GlView::renderOverlays(const GL::Viewport& viewport)
{
    for (const auto& overlay : m_overlays)
    {
        if (!overlay->visible())
            continue;
        const QRect r = overlay->rect(viewport.width, viewport.height);
        overlay->overlay()->update();
        overlay->overlay()->render(GL::Viewport{ viewport.x + r.x(), viewport.y + r.y(), r.width(), r.height() });
    }
}

} // namespace Kelvaros
