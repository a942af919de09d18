#pragma once

#include <Eigen/Core>

#include "core/Export.h"
#include "gl/Viewport.h"

namespace Kelvaros
{

/// A perspective camera in world space (mm): eye position, look-at centre and up vector. Its pose (matrix()) is
/// camera → world with OpenGL's eye frame: origin at the eye, looking along -z, +y up and +x right on screen.
///
/// The focal length is given per axis in units of the viewport's smaller side: tan(half field of view along x) =
/// (0.5 · width / minSide) / fx, and likewise for y, so the default (1.2, 1.2) shows about 45 degrees across the
/// smaller side whatever the viewport's shape, and smaller values widen the view.
///
/// Value type; not synchronised.
class KELVAROS_API Camera
{
public:
    Camera();

    [[nodiscard]] const Eigen::Vector3d& position() const { return m_position; }
    [[nodiscard]] const Eigen::Vector3d& centre() const { return m_centre; }
    /// Unit vector, perpendicular to the viewing direction.
    [[nodiscard]] const Eigen::Vector3d& upVector() const { return m_up; }
    /// Places the eye at `eye` looking at `centre`; `up` is made perpendicular to the viewing direction (a
    /// degenerate one, parallel to it or zero, is replaced by any perpendicular). Ignored when eye == centre.
    void setLookAt(const Eigen::Vector3d& eye, const Eigen::Vector3d& centre, const Eigen::Vector3d& up);

    [[nodiscard]] const Eigen::Vector2d& focalLength() const { return m_focalLength; }
    /// Non-positive components are ignored (the old value stays).
    void setFocalLength(const Eigen::Vector2d& focalLength);

    /// Camera → world pose (rigid).
    [[nodiscard]] Eigen::Matrix4d matrix() const;
    /// Takes a camera → world pose; the look-at centre stays at the same distance in front of the eye.
    void setMatrix(const Eigen::Matrix4d& cameraToWorld);
    /// World → eye (the inverse of matrix()).
    [[nodiscard]] Eigen::Matrix4d viewMatrix() const;
    /// OpenGL projection for this viewport and clipping distances (mm in front of the eye, 0 < near < far).
    [[nodiscard]] Eigen::Matrix4d projectionMatrix(const GL::Viewport& viewport, double near, double far) const;
    /// Millimetres per pixel at the look-at centre in this viewport.
    [[nodiscard]] double mmPerPixelAtCentre(const GL::Viewport& viewport) const;
    /// Distance from the eye to the look-at centre.
    [[nodiscard]] double distance() const { return (m_centre - m_position).norm(); }

private:
    Eigen::Vector3d m_position{ 0, -500, 0 };
    Eigen::Vector3d m_centre = Eigen::Vector3d::Zero();
    Eigen::Vector3d m_up = Eigen::Vector3d::UnitZ();
    Eigen::Vector2d m_focalLength{ 1.2, 1.2 };
};

} // namespace Kelvaros
