#pragma once

#include <memory>

#include <Eigen/Core>

#include "gui/view/InteractiveView.h"

namespace Kelvaros
{

namespace Animations
{
class Animation;
}
class GlVolumeView;
class InteractionView3D;

/// The 3D view widget: a GlVolumeView with InteractionView3D. Main thread only.
class KELVAROS_API ImageView3D : public InteractiveView
{
    Q_OBJECT

public:
    explicit ImageView3D(QWidget* parent = nullptr);
    ~ImageView3D() override;

    [[nodiscard]] GlVolumeView& volumeView() const;
    [[nodiscard]] InteractionView3D& interaction() const { return *m_interaction; }

    /// Places the camera (camera → world pose, as GlView::setCameraMatrix takes it), at once or gliding there in
    /// 500 ms (position interpolated linearly, orientation by slerp; a new glide replaces a running one).
    void setMatrix(const Eigen::Matrix4d& camera, bool animate);

private:
    InteractionView3D* m_interaction;
    std::shared_ptr<Animations::Animation> m_glide;
};

} // namespace Kelvaros
