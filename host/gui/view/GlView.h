#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <Eigen/Core>
#include <Eigen/Geometry>

#include "core/Export.h"
#include "core/Signal.h"
#include "gl/Viewport.h"
#include "gui/scene/RenderInfo.h"

namespace Kelvaros
{

class Data;
class FrameClock;
class GlObject;
class GlTrackingStream;
class InteractiveOverlay;
class SharedImageSet;
class TrackingStream;

/// What one view draws, apart from any widget: the data it shows, the scene objects (not owned) and the 2D
/// overlays (owned), with a background colour and a corner label. render() draws it all into a viewport of the
/// current context, so the same view paints a widget, a screenshot or a test's offscreen framebuffer.
///
/// Drawing order: background, the visible data, opaque objects, transparent objects farthest first, the
/// subclass's decorations (labels, scale bar), then the visible overlays in list order (the last on top).
///
/// Main thread only. An object deleted while in the view is dropped (its signalDestroyed), so deleting it is safe.
class KELVAROS_API GlView
{
public:
    GlView();
    virtual ~GlView();
    GlView(const GlView&) = delete;
    GlView& operator=(const GlView&) = delete;

    /// Adds an object once (a second add is ignored); null is ignored. The view repaints when it changes.
    void addObject(GlObject* object);
    /// Removes an object; one that is not in the view is ignored.
    void removeObject(GlObject* object);
    [[nodiscard]] const std::vector<GlObject*>& objects() const { return m_objects; }
    [[nodiscard]] bool hasObject(const GlObject* object) const;

    /// Takes ownership of an overlay, inserted at `position` in the drawing order (-1 or past the end: last,
    /// on top of the others).
    void addOverlay(std::unique_ptr<InteractiveOverlay> overlay, int position = -1);
    /// Hands an overlay back to the caller; null when it is not in this view.
    [[nodiscard]] std::unique_ptr<InteractiveOverlay> removeOverlay(InteractiveOverlay* overlay);
    [[nodiscard]] std::vector<InteractiveOverlay*> overlays() const;
    /// Offers a press at pixel (x, y) of a view of the given size (origin bottom-left) to the visible overlays
    /// under it, topmost first; true when one took it.
    bool pressOverlays(int x, int y, int viewWidth, int viewHeight);

    /// Places the view's camera: a camera → world pose, looking along its -z axis with +y up on screen.
    virtual void setCameraMatrix(const Eigen::Matrix4d& cameraToWorld) = 0;

    /// The data to draw (not owned; they must outlive their use here). Volumes are drawn; each tracking stream is
    /// drawn by a GlTrackingStream that the view owns while the stream is visible (among objects()); other data
    /// are kept but not drawn by the view itself.
    virtual void setVisibleData(std::vector<Data*> data);
    [[nodiscard]] const std::vector<Data*>& visibleData() const { return m_visibleData; }
    /// The clock whose frames fix what the view's tracking streams draw: shared by the views of one display so that
    /// they show the same sample, the view's own otherwise (made when first needed).
    void setFrameClock(std::shared_ptr<FrameClock> clock);
    [[nodiscard]] FrameClock& frameClock();
    /// The image sets among the visible data, in order.
    [[nodiscard]] std::vector<SharedImageSet*> visibleVolumes() const;

    /// RGB in [0, 1].
    [[nodiscard]] const Eigen::Vector3d& backgroundColor() const { return m_background; }
    void setBackgroundColor(const Eigen::Vector3d& rgb);
    /// Text drawn in the top-left corner (empty: none).
    [[nodiscard]] const std::string& label() const { return m_label; }
    void setLabel(std::string label);

    /// Draws everything into `viewport` of the current context's bound framebuffer (depth cleared there too).
    void render(const GL::Viewport& viewport);
    /// The frame description the objects get for this viewport.
    [[nodiscard]] virtual RenderInfo renderInfo(const GL::Viewport& viewport) const = 0;
    /// World box of the visible objects and volumes (empty when there is nothing).
    [[nodiscard]] Eigen::AlignedBox3d sceneBounds() const;

    /// Something shown changed; widgets connect their (coalesced) repaint here. Main thread.
    SignalImpl<> signalRedrawNeeded;
    void requestRedraw() { signalRedrawNeeded.emitSignal(); }

protected:
    /// Copies in a kept picture of the visible data (volumes) when one fits: true when every pixel of the viewport
    /// then holds its colour and depth, so that the viewport was not cleared first. The default keeps none.
    virtual bool renderKeptData(const RenderInfo& info);
    /// Draws the visible data (volumes) when no kept picture was copied, after the background and before the
    /// objects.
    virtual void renderData(const RenderInfo& info) = 0;
    /// Drawn after the objects and before the overlays; the base draws the label.
    virtual void renderDecorations(const RenderInfo& info);

private:
    void renderObjects(const RenderInfo& info);
    /// Adds a GlTrackingStream for each visible tracking stream that has none, drops those no longer visible.
    void updateStreamObjects();
    void renderOverlays(const GL::Viewport& viewport);

    std::vector<GlObject*> m_objects;
    std::map<const GlObject*, std::vector<SignalConnection>> m_connections;
    std::vector<std::unique_ptr<InteractiveOverlay>> m_overlays;
    std::vector<Data*> m_visibleData;
    // Before the stream objects, which leave it when they die.
    std::shared_ptr<FrameClock> m_frameClock;
    std::map<const TrackingStream*, std::unique_ptr<GlTrackingStream>> m_streamObjects;
    Eigen::Vector3d m_background = Eigen::Vector3d::Zero();
    std::string m_label;
};

} // namespace Kelvaros
