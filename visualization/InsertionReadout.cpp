#include "visualization/InsertionReadout.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

namespace Kelvaros
{
namespace
{
constexpr double kRadiansToDegrees = 57.29577951308232;
// Below this, |forward · path| counts as zero: the axis then runs parallel to the target plane.
constexpr double kParallelCosine = 1e-9;

InsertionReadout::State stateOf(bool visible, const Eigen::Vector3d& path, int64_t sinceLastSampleUs)
{
    // Staleness comes first: without samples nothing is known about visibility either.
    if (sinceLastSampleUs >= InsertionReadout::kStaleAfterUs)
        return InsertionReadout::State::Stale;
    if (path.squaredNorm() == 0.0)
        return InsertionReadout::State::NoPath;
    return visible ? InsertionReadout::State::Valid : InsertionReadout::State::NotVisible;
}

std::string stateText(InsertionReadout::State state)
{
    switch (state)
    {
        case InsertionReadout::State::NotVisible:
            return "Tool not visible";
        case InsertionReadout::State::Stale:
            return "Stale: no tracking data";
        case InsertionReadout::State::NoPath:
            return "No path";
        case InsertionReadout::State::Valid:
            break;
    }
    return {};
}

ToleranceGrade stateGrade(InsertionReadout::State state)
{
    switch (state)
    {
        case InsertionReadout::State::NotVisible:
            return ToleranceGrade::Outside;
        case InsertionReadout::State::Stale:
            return ToleranceGrade::Near;
        default:
            return ToleranceGrade::None;
    }
}
} // namespace

ToleranceGrade gradeAgainst(double magnitude, double tolerance)
{
    const double m = std::abs(magnitude);
    if (m <= tolerance)
        return ToleranceGrade::Within;
    return m <= 2.0 * tolerance ? ToleranceGrade::Near : ToleranceGrade::Outside;
}

InsertionReadout computeInsertionReadout(const std::optional<Eigen::Vector3d>& tip, const Eigen::Vector3d& forward,
                                         const Eigen::Vector3d& entry, const Eigen::Vector3d& target,
                                         int64_t sinceLastSampleUs, const InsertionTolerance& tolerance)
{
    InsertionReadout r;
    const Eigen::Vector3d path = target - entry;
    r.state = stateOf(tip.has_value() && forward.squaredNorm() > 0.0, path, sinceLastSampleUs);
    if (r.state != InsertionReadout::State::Valid)
        return r;

    const Eigen::Vector3d u = path.normalized();
    const Eigen::Vector3d a = forward.normalized();
    // With w the vector from the tip to the target, w · u is how far the target lies ahead along the path and
    // w − (w · u) u the tip's perpendicular offset from the path line (the line runs through the target).
    const Eigen::Vector3d w = target - *tip;
    r.depthToTargetMm = w.dot(u);
    r.lateralMm = (w - r.depthToTargetMm * u).norm();
    r.angleDegrees = std::acos(std::clamp(a.dot(u), -1.0, 1.0)) * kRadiansToDegrees;

    // The axis tip + t a meets the target plane (x − target) · u = 0 at t = (w · u) / (a · u); a negative t (the
    // tip already beyond the plane) still names where the axis crosses it.
    const double cosine = a.dot(u);
    if (cosine > kParallelCosine)
        r.axisOffsetMm = (*tip + (r.depthToTargetMm / cosine) * a - target).norm();

    r.depthGrade =
      r.depthToTargetMm > tolerance.mm ? ToleranceGrade::None : gradeAgainst(r.depthToTargetMm, tolerance.mm);
    r.lateralGrade = gradeAgainst(r.lateralMm, tolerance.mm);
    r.axisOffsetGrade = r.axisOffsetMm ? gradeAgainst(*r.axisOffsetMm, tolerance.mm) : ToleranceGrade::Outside;
    r.angleGrade = gradeAgainst(r.angleDegrees, tolerance.degrees);
    return r;
}

InsertionReadout computeInsertionReadout(const std::optional<Eigen::Matrix4d>& toolMatrix, const Eigen::Vector3d& entry,
                                         const Eigen::Vector3d& target, int64_t sinceLastSampleUs,
                                         const InsertionTolerance& tolerance)
{
    if (!toolMatrix)
        return computeInsertionReadout(std::nullopt, Eigen::Vector3d::Zero(), entry, target, sinceLastSampleUs,
                                       tolerance);
    return computeInsertionReadout(Eigen::Vector3d(toolMatrix->block<3, 1>(0, 3)),
                                   Eigen::Vector3d(-toolMatrix->block<3, 1>(0, 2)), entry, target, sinceLastSampleUs,
                                   tolerance);
}

std::vector<InsertionReadoutLine> readoutLines(const InsertionReadout& readout)
{
    if (readout.state != InsertionReadout::State::Valid)
        return { { stateText(readout.state), stateGrade(readout.state) } };
    const std::string offset = readout.axisOffsetMm ? fmt::format("{:.1f} mm", *readout.axisOffsetMm) : "-";
    return { { fmt::format("To target {:.1f} mm", readout.depthToTargetMm), readout.depthGrade },
             { fmt::format("Off path {:.1f} mm", readout.lateralMm), readout.lateralGrade },
             { "Aim offset " + offset, readout.axisOffsetGrade },
             { fmt::format("Angle {:.1f}\u00b0", readout.angleDegrees), readout.angleGrade } };
}

Eigen::Vector3d gradeColor(ToleranceGrade grade)
{
    switch (grade)
    {
        case ToleranceGrade::Within:
            return { 0.30, 0.85, 0.30 };
        case ToleranceGrade::Near:
            return { 1.00, 0.75, 0.10 };
        case ToleranceGrade::Outside:
            return { 0.898, 0.223, 0.207 };
        case ToleranceGrade::None:
            break;
    }
    return Eigen::Vector3d::Ones();
}

} // namespace Kelvaros
