#pragma once

#include <array>
#include <memory>
#include <mutex>

#include <QImage>
#include <QWidget>

#include <Eigen/Geometry>

#include "core/Signal.h"
#include "gui/view/View.h"
#include "gui/view/ViewGroup.h"
#include "lib/view/Slice.h"

namespace Kelvaros
{

namespace QtHelpers
{
class MainThreadCall;
}

class FrameClock;
class ImageView3D;
class ImageViewSlice;
class InteractiveView;
class SharedImageSet;

/// The four-view display: the 3D view top-left, then the axial (top-right), sagittal (bottom-left) and coronal
/// (bottom-right) slice views, slice view k showing Slice::AnatomicalPlane k upright in the display convention
/// (radiological unless set otherwise). View groups: 0 all four views, 1 the 3D view, 2 the three slice views. Main
/// thread only.
class KELVAROS_API DisplayWidgetMulti
  : public QWidget
  , public GUI::View
{
    Q_OBJECT

public:
    explicit DisplayWidgetMulti(QWidget* parent = nullptr);
    ~DisplayWidgetMulti() override;

    /// The 3D view of an index (only 0 exists); null for others.
    [[nodiscard]] ImageView3D* view3D(int index = 0) const;
    /// Slice view 0 axial, 1 sagittal, 2 coronal; null for others.
    [[nodiscard]] ImageViewSlice* viewSlice(int index) const;
    /// Group 0 all views, 1 the 3D view, 2 the slice views; null for others.
    [[nodiscard]] ViewGroup* viewGroup(int index);
    /// Every view in display order (3D, axial, sagittal, coronal).
    [[nodiscard]] std::array<InteractiveView*, 4> views() const;
    /// The one frame of the four views: what is placed from its snapshots shows the sample the views draw.
    [[nodiscard]] FrameClock& frameClock() const { return *m_frameClock; }

    /// Shows the data in every view. When the first volume appears (none was shown before), resets the views to it
    /// (resetViews); later volumes leave the slices, zoom and camera where the user put them. Each volume keeps its
    /// own window and level (its ImageDisplayOptionsComponent). When the first volume is moved (a registration
    /// applied or undone), the slices and the 3D camera move with it, so they keep showing the same anatomy.
    void setVisibleData(const DataList& data) override;

    /// Where the patient's left appears in the axial and coronal views. Changing it turns every slice view upright
    /// in the new convention about its origin.
    void setDisplayConvention(Slice::DisplayConvention convention);
    [[nodiscard]] Slice::DisplayConvention displayConvention() const { return m_convention; }
    /// Every slice view back to its upright anatomical plane through the centre of the first shown volume (the
    /// world origin without one) at the zoom that shows all of it, and the 3D camera back to its first view of it.
    void resetViews();
    /// Centres every view on the first shown volume and zooms it to show all of it, keeping the slices'
    /// orientation and depth; nothing without a volume.
    void fitToVolume();
    /// Every slice view upright in its anatomical plane again, keeping its origin and zoom (as when views that
    /// followed a tool are let go); views left outside the first volume return to its centre, zoomed to show it.
    void restoreAnatomicalPlanes();
    /// Requests an update of every view (coalesced per view).
    void update();

    /// The whole display drawn offscreen at `size` (views in their quadrants, 2-pixel separators, each view's
    /// label in its top-left corner); the views' widgets need not be shown.
    [[nodiscard]] QImage renderToImage(const QSize& size) const;
    /// renderToImage written as PNG, replacing the file atomically; false (Error in the log) on failure.
    bool saveScreenshot(const QString& path, const QSize& size) const;

private:
    [[nodiscard]] const SharedImageSet* firstVolume() const;
    /// The common zoom at which every slice view, as oriented now, shows all of `box`.
    [[nodiscard]] double mmPerPixelShowing(const Eigen::AlignedBox3d& box) const;
    void fitSlicesTo(const Eigen::AlignedBox3d& box);
    /// Listens to the placement of the first shown volume (a new one replaces the last).
    void followFirstVolume();
    /// Main thread: moves the views by the change of the followed volume's placement.
    void moveWithFollowedVolume();

    Slice::DisplayConvention m_convention = Slice::DisplayConvention::Radiological;
    ImageView3D* m_view3D;
    std::array<ImageViewSlice*, 3> m_slices{};
    std::array<ViewGroup, 3> m_groups;
    /// One frame for the four views, so that they show the same tracking sample.
    std::shared_ptr<FrameClock> m_frameClock;
    /// The zoom of a slice view before any volume, which a reset without volume returns to.
    double m_initialMmPerPixel = 1.0;

    const SharedImageSet* m_followed = nullptr;
    Eigen::Matrix4d m_followedMatrix = Eigen::Matrix4d::Identity();
    SignalConnection m_followedConnection;
    /// Guards m_pendingMove, queued from whichever thread moved the volume.
    std::mutex m_moveMutex;
    std::shared_ptr<QtHelpers::MainThreadCall> m_pendingMove;
};

} // namespace Kelvaros
