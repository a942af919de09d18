#include "gl/ViewState.h"

#include <Eigen/Geometry>

namespace Kelvaros::GL
{

ViewState::ViewState(const Viewport& viewport) : viewport(viewport) {}

Eigen::Vector2d ViewState::toWindow(const Eigen::Vector3d& point) const
{
    const Eigen::Vector4d clip = projection * modelView * point.homogeneous();
    const Eigen::Vector2d ndc = clip.head<2>() / clip.w();
    return { viewport.x + (ndc.x() + 1.0) * 0.5 * viewport.width,
             viewport.y + (ndc.y() + 1.0) * 0.5 * viewport.height };
}

Eigen::Matrix4d createOrtho2d(int width, int height)
{
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m(0, 0) = 2.0 / width;
    m(1, 1) = 2.0 / height;
    m(2, 2) = -1.0;
    m(0, 3) = -1.0;
    m(1, 3) = -1.0;
    return m;
}

} // namespace Kelvaros::GL
