#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "gui/view/GlView.h"
#include "gui/view/VolumePlaneRenderer.h"
#include "lib/view/Slice.h"

namespace Kelvaros
{

class LayerCache;
class VolumeLayers;

/// A slice (multi-planar reformatting) view: shows the visible volumes cut by a plane at any pose, reformatted on
/// the GPU from each volume's 3D texture with trilinear filtering, then the scene objects in slice mode, the
/// anatomical direction of each screen edge and a scale bar.
///
/// The plane is a Slice: its origin is shown at the viewport's centre, its x axis to the right and its y axis
/// downwards, at mmPerPixel millimetres per pixel. Main thread only.
class KELVAROS_API GlSliceView : public GlView
{
public:
    explicit GlSliceView(Slice slice = Slice());
    ~GlSliceView() override;

    [[nodiscard]] const Slice& slice() const { return m_slice; }
    void setSlice(const Slice& slice);
    /// Zoom: millimetres covered by one pixel (positive; other values are ignored).
    [[nodiscard]] double mmPerPixel() const { return m_mmPerPixel; }
    void setMmPerPixel(double mmPerPixel);
    /// Moves the plane along its normal by `mm` (positive: away from the viewer).
    void scroll(double mm);
    /// Shifts what is shown by a number of pixels (x right, y up on screen): the content follows the cursor.
    void pan(double dxPixels, double dyPixels);
    /// Zooms by `factor` (> 1 magnifies) keeping the world point under the pixel (x, y from the viewport's
    /// bottom-left) in place.
    void zoomAbout(double factor, double x, double y, const GL::Viewport& viewport);
    /// World point (mm) shown at pixel (x, y) of the viewport, origin at its bottom-left corner.
    [[nodiscard]] Eigen::Vector3d worldAt(double x, double y, const GL::Viewport& viewport) const;

    /// Window and level of the adjusted volume (its ImageDisplayOptionsComponent, so every view showing it
    /// follows): values level ± window / 2 span its colour map. Without a shown volume setting does nothing and
    /// the values are (1, 0.5).
    void setWindowLevel(double window, double level);
    [[nodiscard]] double window() const;
    [[nodiscard]] double level() const;
    [[nodiscard]] std::pair<double, double> windowLevel() const;
    /// The volume a window/level gesture adjusts: the one chosen here while it is shown, else the top shown one.
    void setAdjustedVolume(const SharedImageSet* volume);
    [[nodiscard]] SharedImageSet* adjustedVolume() const;

    /// The anatomical edge letters and the scale bar (shown by default).
    void setDecorationsVisible(bool visible);
    [[nodiscard]] bool decorationsVisible() const { return m_decorationsVisible; }

    /// Thickness of the slab (mm) in which point-like objects are shown.
    void setSliceThickness(double mm);
    [[nodiscard]] double sliceThickness() const { return m_sliceThickness; }

    /// The plane of the camera: through the eye, perpendicular to the viewing direction, the camera's x to the
    /// right and y up.
    void setCameraMatrix(const Eigen::Matrix4d& cameraToWorld) override;
    void setVisibleData(std::vector<Data*> data) override;
    [[nodiscard]] RenderInfo renderInfo(const GL::Viewport& viewport) const override;

protected:
    bool renderKeptData(const RenderInfo& info) override;
    void renderData(const RenderInfo& info) override;
    void renderDecorations(const RenderInfo& info) override;

private:
    /// The quads of the visible volumes in this plane, and all that their picture depends on.
    struct ImageLayers
    {
        std::vector<VolumePlaneRenderer::Quad> quads;
        std::vector<double> key;
    };

    [[nodiscard]] ImageLayers imageLayers(const RenderInfo& info) const;
    static bool drawQuads(const std::vector<VolumePlaneRenderer::Quad>& quads);
    void renderOrientationLabels(const GL::Viewport& viewport) const;
    void renderScaleBar(const RenderInfo& info) const;

    Slice m_slice;
    double m_mmPerPixel = 0.5;
    double m_sliceThickness = 1.0;
    bool m_decorationsVisible = true;
    const SharedImageSet* m_adjustedVolume = nullptr;
    std::unique_ptr<VolumeLayers> m_layers;
    std::unique_ptr<LayerCache> m_imageCache;
};

/// The anatomical letter (R/L, A/P, S/I) of the RAS axis a direction is closest to, by sign.
[[nodiscard]] KELVAROS_API char anatomicalLetter(const Eigen::Vector3d& direction);

} // namespace Kelvaros
