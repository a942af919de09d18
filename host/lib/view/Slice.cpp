#include "lib/view/Slice.h"

#include "lib/numerics/Pose.h"

namespace Kelvaros
{

Slice::Slice() : Slice(AnatomicalPlane::Axial) {}

Slice::Slice(AnatomicalPlane plane, const Eigen::Vector3d& origin) : m_plane(plane), m_pose(orientation(plane))
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

Eigen::Matrix4d Slice::orientation(AnatomicalPlane plane)
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
