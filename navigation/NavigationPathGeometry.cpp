#include "navigation/NavigationPathGeometry.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include <Eigen/Geometry>

namespace Kelvaros::NavigationPathGeometry
{
namespace
{
constexpr double kPi = 3.14159265358979323846;
constexpr double kTipCameraLeadMm = 1.0;
constexpr double kSideCameraBackMm = 30.0;
constexpr double kSideCameraOffsetMm = 10.0;

Eigen::Vector3d unitOrZero(const Eigen::Vector3d& v)
{
    const double length = v.norm();
    return length > 0.0 ? Eigen::Vector3d(v / length) : v;
}

Eigen::Matrix4d rotatedAbout(const Eigen::Matrix4d& pose, const Eigen::Vector3d& localAxis, double angle)
{
    Eigen::Matrix4d turn = Eigen::Matrix4d::Identity();
    turn.topLeftCorner<3, 3>() = Eigen::AngleAxisd(angle, localAxis).toRotationMatrix();
    return pose * turn;
}

Eigen::Matrix4d movedAlongZ(const Eigen::Matrix4d& pose, double millimetres)
{
    Eigen::Matrix4d moved = pose;
    moved.block<3, 1>(0, 3) += millimetres * pose.block<3, 1>(0, 2);
    return moved;
}

double rankAlpha(std::size_t rank)
{
    if (rank < 2)
        return 1.0;
    return rank < 4 ? 0.4 : 0.0;
}
} // namespace

Axes perpendicularAxes(const Eigen::Vector3d& tangent)
{
    // Crossing with x fails only for a tangent along x; z is then as good as any other helper axis.
    const bool alongX = std::abs(tangent.x()) == 1.0 && tangent.y() == 0.0 && tangent.z() == 0.0;
    const Eigen::Vector3d helper = alongX ? Eigen::Vector3d::UnitZ() : Eigen::Vector3d::UnitX();
    const Eigen::Vector3d a = tangent.cross(helper);
    return { unitOrZero(a), unitOrZero(tangent.cross(a)) };
}

std::vector<double> ringCoordinates(int count, RingSpacing spacing)
{
    std::vector<double> coordinates;
    for (int i = 0; i < count; ++i)
    {
        coordinates.push_back(spacing == RingSpacing::Exponential ? std::log1p(i) / std::log1p(count)
                                                                  : double(i) / count);
    }
    return coordinates;
}

double ringRadius(PathType type, double targetRadius, double growth, double remaining)
{
    const double tube = 1.5 * targetRadius;
    // A growth of 0 is allowed by the panel and means "does not widen": exp(d / 0) would make every ring but the
    // one at the target infinitely wide.
    if (type != PathType::Funnel || growth <= 0.0)
        return tube;
    return tube * std::exp(remaining / growth);
}

std::vector<double> fadingAlphas(const std::vector<double>& distances)
{
    std::vector<std::size_t> order(distances.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&distances](std::size_t a, std::size_t b) { return distances[a] < distances[b]; });
    std::vector<double> alphas(distances.size(), 0.0);
    for (std::size_t rank = 0; rank < order.size(); ++rank)
    {
        const bool tie = rank > 0 && distances[order[rank]] == distances[order[rank - 1]];
        alphas[order[rank]] = tie ? alphas[order[rank - 1]] : rankAlpha(rank);
    }
    return alphas;
}

TargetStatus targetStatus(const Eigen::Vector3d& tip, const Eigen::Vector3d& target, double targetRadius,
                          const std::optional<Ring>& tipRing)
{
    if ((tip - target).norm() <= targetRadius)
        return TargetStatus::InsideTarget;
    if (tipRing && tipRing->radius > (tip - tipRing->centre).norm())
        return TargetStatus::InsideTipRing;
    return TargetStatus::Outside;
}

Eigen::Matrix4d withRotationOffset(const Eigen::Matrix4d& needle, double offsetDegrees)
{
    return rotatedAbout(needle, Eigen::Vector3d::UnitZ(), offsetDegrees * kPi / 180.0);
}

Eigen::Matrix4d needleTipCamera(const Eigen::Matrix4d& needle)
{
    return movedAlongZ(needle, -kTipCameraLeadMm);
}

Eigen::Matrix4d needleSideCamera(const Eigen::Matrix4d& needle)
{
    return movedAlongZ(needle, kSideCameraBackMm);
}

Eigen::Matrix4d needleSideMeshPose(const Eigen::Matrix4d& needle)
{
    const double tilt = std::atan2(kSideCameraOffsetMm, kSideCameraBackMm);
    return rotatedAbout(needle, Eigen::Vector3d::UnitX(), tilt);
}

std::optional<std::size_t> ringsLinkChoice(const std::vector<Eigen::Vector3d>& ringCentres, const Eigen::Vector3d& tip)
{
    if (ringCentres.empty())
        return std::nullopt;
    const Eigen::Vector3d& first = ringCentres.front();
    const double d0 = (tip - first).norm();
    std::size_t behind = 1;
    while (behind < ringCentres.size() && (ringCentres[behind] - first).norm() <= d0)
        ++behind;
    return behind >= 2 ? behind - 2 : 0;
}

Eigen::Matrix4d ringsCamera(const Eigen::Matrix4d& needle, const Eigen::Vector3d& target,
                            const Eigen::Vector3d& ringCentre)
{
    const Eigen::Vector3d z = unitOrZero(ringCentre - target);
    const Eigen::Vector3d x = unitOrZero(z.cross(-needle.block<3, 1>(0, 1)));
    const Eigen::Vector3d y = unitOrZero(z.cross(x));
    Eigen::Matrix4d camera = Eigen::Matrix4d::Identity();
    camera.block<3, 1>(0, 0) = x;
    camera.block<3, 1>(0, 1) = y;
    camera.block<3, 1>(0, 2) = z;
    camera.block<3, 1>(0, 3) = ringCentre;
    return camera;
}

Eigen::Vector3d clearestRimPoint(const Eigen::Vector3d& centre, const Axes& axes, double reach,
                                 const Eigen::Vector3d& clearOf,
                                 const std::function<double(const Eigen::Vector3d&, const Eigen::Vector3d&)>& apart)
{
    constexpr int kCandidates = 8;
    Eigen::Vector3d clearest = centre;
    double farthest = -1.0;
    for (int k = 0; k < kCandidates; ++k)
    {
        const double angle = 2.0 * kPi * k / kCandidates;
        const Eigen::Vector3d rim = centre + reach * (std::cos(angle) * axes.a + std::sin(angle) * axes.b);
        if (const double distance = apart(rim, clearOf); distance > farthest)
        {
            farthest = distance;
            clearest = rim;
        }
    }
    return clearest;
}

} // namespace Kelvaros::NavigationPathGeometry
