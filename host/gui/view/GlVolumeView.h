#pragma once

#include <array>
#include <memory>
#include <vector>

#include "gui/view/Camera.h"
#include "gui/view/GlView.h"
#include "gui/view/VolumeLayers.h"
#include "lib/view/Slice.h"

namespace Kelvaros
{

class LayerCache;
class VolumeLayers;

/// The 3D view: a perspective camera on the scene. Each visible volume is shown as textured planes inside a thin
/// outline of its grid, mapped by the volume's own display options (window, level, colour map, opacity; a hidden
/// volume is not drawn): the planes of the slice views when they are given (setVolumePlanes), else three orthogonal
/// planes through its centre along its own grid axes. Clipping planes follow the scene bounds.
///
/// Main thread only.
class KELVAROS_API GlVolumeView : public GlView
{
public:
    GlVolumeView();
    ~GlVolumeView() override;

    [[nodiscard]] const Camera& camera() const { return m_camera; }
    void setCamera(const Camera& camera);
    void setCameraMatrix(const Eigen::Matrix4d& cameraToWorld) override;
    /// Looks at the middle of `box` from the given viewing direction (world) at a distance that shows all of it.
    void showBox(const Eigen::AlignedBox3d& box, const Eigen::Vector3d& viewDirection, const Eigen::Vector3d& up);

    /// Sets the window and level of the top shown volume's display options (nothing without one).
    void setWindowLevel(double window, double level);

    /// The planes at which the volumes are cut (those of the slice views); empty: each volume's central planes.
    /// Repaints only when a plane moved.
    void setVolumePlanes(const std::vector<Slice>& planes);
    [[nodiscard]] const std::vector<Slice>& volumePlanes() const { return m_planes; }

    void setVisibleData(std::vector<Data*> data) override;
    [[nodiscard]] RenderInfo renderInfo(const GL::Viewport& viewport) const override;

protected:
    bool renderKeptData(const RenderInfo& info) override;
    void renderData(const RenderInfo& info) override;

private:
    /// The volumes' outlines and planes; false when a plane could not be drawn.
    bool drawLayersOf(const std::vector<VolumeLayers::Layer>& layers, const RenderInfo& info) const;
    void renderOutline(const SharedImageSet& set, const RenderInfo& info) const;
    /// World corners (strip order) of the planes that cut `set`; a plane that misses its grid gives none.
    [[nodiscard]] std::vector<std::array<Eigen::Vector3d, 4>> planeQuads(const SharedImageSet& set) const;

    Camera m_camera;
    std::unique_ptr<VolumeLayers> m_layers;
    /// The volumes' picture with its depth, reused while the camera and the volumes stay: the tool moving in front
    /// of still planes then costs a copy.
    std::unique_ptr<LayerCache> m_dataCache;
    std::vector<Slice> m_planes;
};

} // namespace Kelvaros
