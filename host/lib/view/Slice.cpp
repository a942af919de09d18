#include "lib/view/Slice.h"

#include <Eigen/Geometry>

#include "lib/numerics/Pose.h"

namespace Kelvaros
{
namespace
{
/// The rotation whose slice x axis is `right` and y axis `down`; the normal x × y makes it proper.
Eigen::Matrix4d fromScreenAxes(const Eigen::Vector3d& right, const Eigen::Vector3d& down)
{
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.block<3, 1>(0, 0) = right;
    m.block<3, 1>(0, 1) = down;
    m.block<3, 1>(0, 2) = right.cross(down);
    return m;
}
} // namespace

Slice::Slice() : Slice(AnatomicalPlane::Axial) {}

Slice::Slice(AnatomicalPlane plane, const Eigen::Vector3d& origin, DisplayConvention convention)
  : m_plane(plane), m_pose(orientation(plane, convention))
{
    setOrigin(origin);
}

std::optional<Slice::AnatomicalPlane> Slice::planeFromIndex(int index)
{
    switch (index)
    {
        case 0:
            return AnatomicalPlane::Axial;
        case 1:
            return AnatomicalPlane::Sagittal;
        case 2:
            return AnatomicalPlane::Coronal;
        default:
            return std::nullopt;
    }
}

Eigen::Matrix4d Slice::orientation(AnatomicalPlane plane, DisplayConvention convention)
{
    // Where the patient's left is drawn decides the screen's right; the screen's down is posterior in the axial
    // view and inferior in the others, so that anterior or superior is at the top.
    const Eigen::Vector3d screenRight(convention == DisplayConvention::Radiological ? -1.0 : 1.0, 0.0, 0.0);
    switch (plane)
    {
        case AnatomicalPlane::Sagittal:
            return fromScreenAxes(-Eigen::Vector3d::UnitY(), -Eigen::Vector3d::UnitZ());
        case AnatomicalPlane::Coronal:
            return fromScreenAxes(screenRight, -Eigen::Vector3d::UnitZ());
        case AnatomicalPlane::Axial:
        default:
            return fromScreenAxes(screenRight, -Eigen::Vector3d::UnitY());
    }
}

Eigen::Matrix4d Slice::linkedOrientation(AnatomicalPlane plane)
{
    // Built through eulerToMat so that the two can never disagree; its exact sines make every entry 0 or +-1.
    switch (plane)
    {
        case AnatomicalPlane::Sagittal:
            return Pose::eulerToMat(Eigen::Vector3d::Zero(), Eigen::Vector3d(180.0, 90.0, 0.0));
        case AnatomicalPlane::Coronal:
            return Pose::eulerToMat(Eigen::Vector3d::Zero(), Eigen::Vector3d(-90.0, 0.0, 0.0));
        case AnatomicalPlane::Axial:
        default:
            return Pose::eulerToMat(Eigen::Vector3d::Zero(), Eigen::Vector3d(180.0, 0.0, 0.0));
    }
}

double Slice::signedDistance(const Eigen::Vector3d& point) const
{
    return normal().dot(point - origin());
}

Eigen::Vector3d Slice::project(const Eigen::Vector3d& point) const
{
    return point - signedDistance(point) * normal();
}

} // namespace Kelvaros
