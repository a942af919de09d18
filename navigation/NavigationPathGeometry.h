#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include <Eigen/Core>

namespace Kelvaros
{

/// How the guidance rings widen along the path; the values are the indices of the panel's "Type" choice.
enum class PathType : int
{
    Tubular = 0,
    Funnel = 1
};

/// Where the rings sit along the path; the values are the indices of the panel's "Separation" choice.
enum class RingSpacing : int
{
    Equidistant = 0,
    Exponential = 1
};

/// What drives the 3D camera at each needle update; the values are the indices of the panel's "Link to" choice.
enum class CameraLink : int
{
    None = 0,
    NeedleTip = 1,
    NeedleSide = 2,
    Rings = 3
};

/// Which rings are shown; the values are the indices of the panel's "Rings" visibility choice.
enum class RingVisibility : int
{
    All = 0,
    FixedOnly = 1,
    TipOnly = 2,
    Fading = 3
};

/// What of the line from the tip ring to the needle tip is shown; indices of the panel's "Center line" choice.
enum class CenterLineVisibility : int
{
    LineAndDistance = 0,
    Line = 1,
    None = 2
};

/// Where the needle tip is relative to the guidance; the inner state wins when both hold.
enum class TargetStatus : int
{
    Outside = 0,
    InsideTipRing = 1,
    InsideTarget = 2
};

/// The geometry of the navigation path view, as pure functions, so that the scene applies it and tests pin it
/// without a display. World coordinates in millimetres.
///
/// Needle frame (calibrated needle → world, as the tool visualization gives it): origin at the tip, the shaft
/// along +z from the tip, so the needle advances along -z. Camera poses are camera → world with the viewing
/// direction along the camera's -z (as GlView::setCameraMatrix takes them), so a camera posed like the needle looks
/// where the needle goes.
namespace NavigationPathGeometry
{

/// Two unit axes across a path tangent: a = t × (1, 0, 0), or t × (0, 0, 1) when t is exactly (±1, 0, 0),
/// b = t × a. A zero tangent gives zero axes.
struct Axes
{
    Eigen::Vector3d a = Eigen::Vector3d::Zero();
    Eigen::Vector3d b = Eigen::Vector3d::Zero();
};
[[nodiscard]] Axes perpendicularAxes(const Eigen::Vector3d& tangent);

/// Where a label beside a ring stands clear of a point: of eight points on the circle of radius `reach` about
/// `centre` in the plane of `axes`, the one that `apart` (a distance as the view shows it) puts farthest from
/// `clearOf`.
[[nodiscard]] Eigen::Vector3d clearestRimPoint(
  const Eigen::Vector3d& centre, const Axes& axes, double reach, const Eigen::Vector3d& clearOf,
  const std::function<double(const Eigen::Vector3d&, const Eigen::Vector3d&)>& apart);

/// The spline coordinates of `count` rings: i / count (equidistant) or ln(1 + i) / ln(1 + count) (exponential,
/// closer together towards the target), for i = 0 … count - 1; the first ring sits at the start, the last short of the
/// target. Empty for a count below 1.
[[nodiscard]] std::vector<double> ringCoordinates(int count, RingSpacing spacing);

/// Radius of a ring with `remaining` mm of path to go to the target: 1.5 · targetRadius for a tube; for a funnel
/// 1.5 · targetRadius · exp(remaining / growth), widening by a factor e every `growth` mm. A funnel that does not
/// grow (growth 0 or less) is a tube.
[[nodiscard]] double ringRadius(PathType type, double targetRadius, double growth, double remaining);

/// Alphas of rings that fade with their distance from the tip ring: the two nearest 1, the third and fourth 0.4,
/// farther ones 0, in the order the distances are given. Rings at equal distances share the alpha of the first of
/// them, so a symmetric pair fades alike.
[[nodiscard]] std::vector<double> fadingAlphas(const std::vector<double>& distances);

/// A ring across the path: its centre and radius (mm).
struct Ring
{
    Eigen::Vector3d centre = Eigen::Vector3d::Zero();
    double radius = 0.0;
};

/// InsideTarget when the tip lies in the target sphere (boundary included), else InsideTipRing when a tip ring is
/// given and the tip is closer to its centre than its radius, else Outside.
[[nodiscard]] TargetStatus targetStatus(const Eigen::Vector3d& tip, const Eigen::Vector3d& target, double targetRadius,
                                        const std::optional<Ring>& tipRing);

/// The needle pose turned about its own z axis (the shaft) by the user's rotation offset.
[[nodiscard]] Eigen::Matrix4d withRotationOffset(const Eigen::Matrix4d& needle, double offsetDegrees);

/// "Needle tip" camera: the needle's orientation, 1 mm ahead of the tip, looking along the needle.
[[nodiscard]] Eigen::Matrix4d needleTipCamera(const Eigen::Matrix4d& needle);
/// "Needle side" camera: the needle's orientation, 30 mm back up the shaft, looking along the needle past the tip.
[[nodiscard]] Eigen::Matrix4d needleSideCamera(const Eigen::Matrix4d& needle);
/// The needle mesh's pose in "Needle side": tilted about its x axis at the tip by atan(10 / 30), so that the shaft
/// passes 10 mm beside the camera instead of through it.
[[nodiscard]] Eigen::Matrix4d needleSideMeshPose(const Eigen::Matrix4d& needle);

/// The ring the "Rings" camera sits at, as an index into the centres (in path order): with d0 the tip's distance
/// from the first ring, the rings up to the first one farther than d0 from the first ring lie behind the tip, and
/// the camera takes the one before the last of them (the first ring while only it is behind the tip), so the tip
/// stays in front of the camera. Empty without rings.
[[nodiscard]] std::optional<std::size_t> ringsLinkChoice(const std::vector<Eigen::Vector3d>& ringCentres,
                                                         const Eigen::Vector3d& tip);
/// "Rings" camera at a ring centre, looking at the target: z from the target to the ring, x = z × (-y) with y the
/// needle's y axis, y' = z × x (each made unit when not zero), so the camera's up is the needle's y axis turned
/// across the viewing direction.
[[nodiscard]] Eigen::Matrix4d ringsCamera(const Eigen::Matrix4d& needle, const Eigen::Vector3d& target,
                                          const Eigen::Vector3d& ringCentre);

} // namespace NavigationPathGeometry

} // namespace Kelvaros
