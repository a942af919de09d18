#include "gui/view/Camera.h"

#include <algorithm>

#include <Eigen/Geometry>

namespace Kelvaros
{
Camera::Camera() = default;

void Camera::setLookAt(const Eigen::Vector3d& eye, const Eigen::Vector3d& centre, const Eigen::Vector3d& up)
{
    const Eigen::Vector3d forward = centre - eye;
    if (forward.norm() <= 0)
        return;
    const Eigen::Vector3d f = forward.normalized();
    Eigen::Vector3d u = up - up.dot(f) * f;
    u = u.norm() > 1e-9 * std::max(1.0, up.norm()) ? u.normalized() : f.unitOrthogonal();
    m_position = eye;
    m_centre = centre;
    m_up = u;
}

void Camera::setFocalLength(const Eigen::Vector2d& focalLength)
{
    if (focalLength.x() > 0)
        m_focalLength.x() = focalLength.x();
    if (focalLength.y() > 0)
        m_focalLength.y() = focalLength.y();
}

Eigen::Matrix4d Camera::matrix() const
{
    const Eigen::Vector3d z = (m_position - m_centre).normalized();
    const Eigen::Vector3d x = m_up.cross(z).normalized();
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    pose.block<3, 1>(0, 0) = x;
    pose.block<3, 1>(0, 1) = z.cross(x);
    pose.block<3, 1>(0, 2) = z;
    pose.block<3, 1>(0, 3) = m_position;
    return pose;
}

void Camera::setMatrix(const Eigen::Matrix4d& cameraToWorld)
{
    const Eigen::Vector3d eye = cameraToWorld.block<3, 1>(0, 3);
    const Eigen::Vector3d back = cameraToWorld.block<3, 1>(0, 2);
    const double d = std::max(distance(), 1.0);
    setLookAt(eye, eye - d * back.normalized(), cameraToWorld.block<3, 1>(0, 1));
}

Eigen::Matrix4d Camera::viewMatrix() const
{
    const Eigen::Matrix4d pose = matrix();
    Eigen::Matrix4d view = Eigen::Matrix4d::Identity();
    view.topLeftCorner<3, 3>() = pose.topLeftCorner<3, 3>().transpose();
    view.block<3, 1>(0, 3) = -view.topLeftCorner<3, 3>() * m_position;
    return view;
}

Eigen::Matrix4d Camera::projectionMatrix(const GL::Viewport& viewport, double near, double far) const
{
    const double minSide = std::max(1, std::min(viewport.width, viewport.height));
    // tan of the half angles; the frustum's half-size at distance 1.
    const double tx = 0.5 * std::max(1, viewport.width) / minSide / m_focalLength.x();
    const double ty = 0.5 * std::max(1, viewport.height) / minSide / m_focalLength.y();
    Eigen::Matrix4d p = Eigen::Matrix4d::Zero();
    p(0, 0) = 1.0 / tx;
    p(1, 1) = 1.0 / ty;
    p(2, 2) = -(far + near) / (far - near);
    p(2, 3) = -2.0 * far * near / (far - near);
    p(3, 2) = -1.0;
    return p;
}

double Camera::mmPerPixelAtCentre(const GL::Viewport& viewport) const
{
    const double minSide = std::max(1, std::min(viewport.width, viewport.height));
    return distance() / (minSide * m_focalLength.y());
}

} // namespace Kelvaros
