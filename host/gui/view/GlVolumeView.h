#pragma once

#include <memory>
#include <vector>

#include "gui/view/Camera.h"
#include "gui/view/GlView.h"

namespace Kelvaros
{

class VolumeLayers;

/// The 3D view: a perspective camera on the scene. Each visible volume is shown as three orthogonal textured
/// planes through its centre (along its own grid axes, as slice planes are shown in 3D) inside a thin outline of
/// its grid, mapped by the volume's own display options (window, level, colour map, opacity; a hidden volume is not
/// drawn). Clipping planes follow the scene bounds.
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

    void setVisibleData(std::vector<Data*> data) override;
    [[nodiscard]] RenderInfo renderInfo(const GL::Viewport& viewport) const override;

protected:
    void renderData(const RenderInfo& info) override;

private:
    void renderOutline(const SharedImageSet& set, const RenderInfo& info) const;

    Camera m_camera;
    std::unique_ptr<VolumeLayers> m_layers;
};

} // namespace Kelvaros
