#pragma once

#include <array>

#include <QImage>
#include <QWidget>

#include "gui/view/View.h"
#include "gui/view/ViewGroup.h"

namespace Kelvaros
{

class ImageView3D;
class ImageViewSlice;
class InteractiveView;

/// The four-view display: the 3D view top-left, then the axial (top-right), sagittal (bottom-left) and coronal
/// (bottom-right) slice views, slice view k showing Slice::AnatomicalPlane k. View groups: 0 all four views, 1 the
/// 3D view, 2 the three slice views. Main thread only.
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

    /// Shows the data in every view; with a volume among them, centres the slices on the first volume, zooms them
    /// to show all of it and aims the 3D camera at it. Each volume keeps its own window and level (its
    /// ImageDisplayOptionsComponent).
    void setVisibleData(const DataList& data) override;
    /// Requests an update of every view (coalesced per view).
    void update();

    /// The whole display drawn offscreen at `size` (views in their quadrants, 2-pixel separators, each view's
    /// label in its top-left corner); the views' widgets need not be shown.
    [[nodiscard]] QImage renderToImage(const QSize& size) const;
    /// renderToImage written as PNG, replacing the file atomically; false (Error in the log) on failure.
    bool saveScreenshot(const QString& path, const QSize& size) const;

private:
    void centreOn(const SharedImageSet& volume);

    ImageView3D* m_view3D;
    std::array<ImageViewSlice*, 3> m_slices{};
    std::array<ViewGroup, 3> m_groups;
};

} // namespace Kelvaros
