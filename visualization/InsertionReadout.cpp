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

/// The figures of a tip and forward axis the premises allow; r.state is Valid on entry.
void measure(InsertionReadout& r, const Eigen::Vector3d& tip, const Eigen::Vector3d& forward,
             const Eigen::Vector3d& entry, const Eigen::Vector3d& target, const InsertionTolerance& tolerance)
{
    const Eigen::Vector3d u = (target - entry).normalized();
    // With w the vector from the tip to the target, w · u is how far the target lies ahead along the path and
    // w − (w · u) u the tip's perpendicular offset from the path line (the line runs through the target).
    const Eigen::Vector3d w = target - tip;
    r.depthToTargetMm = w.dot(u);
    r.lateralMm = (w - r.depthToTargetMm * u).norm();
    r.depthGrade =
      r.depthToTargetMm > tolerance.mm ? ToleranceGrade::None : gradeAgainst(r.depthToTargetMm, tolerance.mm);
    r.lateralGrade = gradeAgainst(r.lateralMm, tolerance.mm);
    if (!r.axisKnown)
        return;

    const Eigen::Vector3d a = forward.normalized();
    const double cosine = a.dot(u);
    r.angleDegrees = std::acos(std::clamp(cosine, -1.0, 1.0)) * kRadiansToDegrees;
    // The axis tip + t a meets the target plane (x − target) · u = 0 at t = (w · u) / (a · u); a negative t (the
    // tip already beyond the plane) still names where the axis crosses it.
    if (cosine > kParallelCosine)
        r.axisOffsetMm = (tip + (r.depthToTargetMm / cosine) * a - target).norm();
    r.axisOffsetGrade = r.axisOffsetMm ? gradeAgainst(*r.axisOffsetMm, tolerance.mm) : ToleranceGrade::Outside;
    r.angleGrade = gradeAgainst(*r.angleDegrees, tolerance.degrees);
}

ToleranceGrade stateGrade(InsertionReadout::State state)
{
    switch (state)
    {
        case InsertionReadout::State::Stale:
            return ToleranceGrade::Near;
        case InsertionReadout::State::NoPath:
        case InsertionReadout::State::Valid:
            return ToleranceGrade::None;
        default:
            return ToleranceGrade::Outside;
    }
}

/// Millimetres to one decimal. A depth a hair past the target rounds to zero, and "-0.0" would read as past it.
std::string millimetres(double value)
{
    return fmt::format("{:.1f} mm", std::abs(value) < 0.05 ? 0.0 : value);
}

/// The lines of the figures (or of the state that withholds them), without the breach line.
std::vector<InsertionReadoutLine> figureLines(const InsertionReadout& readout)
{
    if (readout.state != InsertionReadout::State::Valid)
    {
        std::vector<InsertionReadoutLine> lines;
        for (std::string& line : figureStateLines({ readout.state, readout.outsideMm }))
            lines.push_back({ std::move(line), stateGrade(readout.state) });
        return lines;
    }
    std::vector<InsertionReadoutLine> lines{
        { "To target " + millimetres(readout.depthToTargetMm), readout.depthGrade },
        { fmt::format("Off path {:.1f} mm", readout.lateralMm), readout.lateralGrade }
    };
    if (!readout.axisKnown)
    {
        lines.push_back({ "Aim: axis not calibrated", ToleranceGrade::None });
        lines.push_back({ "Angle: axis not calibrated", ToleranceGrade::None });
        return lines;
    }
    const std::string offset = readout.axisOffsetMm ? fmt::format("{:.1f} mm", *readout.axisOffsetMm) : "-";
    lines.push_back({ "Aim offset " + offset, readout.axisOffsetGrade });
    lines.push_back({ fmt::format("Angle {:.1f}\u00b0", readout.angleDegrees.value_or(0.0)), readout.angleGrade });
    return lines;
}
} // namespace

ToleranceGrade gradeAgainst(double magnitude, double tolerance)
{
    const double m = std::abs(magnitude);
    if (m <= tolerance)
        return ToleranceGrade::Within;
    return m <= 2.0 * tolerance ? ToleranceGrade::Near : ToleranceGrade::Outside;
}

InsertionReadout computeInsertionReadout(const ToolSnapshot& tool, const Eigen::Vector3d& entry,
                                         const Eigen::Vector3d& target,
                                         const std::optional<Eigen::AlignedBox3d>& region,
                                         const InsertionTolerance& tolerance)
{
    InsertionReadout r;
    const FigureJudgement judgement = judgeFigures(tool, region);
    // Staleness comes first: without samples nothing is known about visibility either.
    r.state = judgement.state == FigureState::Stale || (target - entry).squaredNorm() > 0.0 ? judgement.state
                                                                                            : FigureState::NoPath;
    r.outsideMm = judgement.outsideMm;
    r.axisKnown = tool.calibration.axis;
    if (r.state == FigureState::Valid)
        measure(r, tool.toolMatrix->block<3, 1>(0, 3), -tool.toolMatrix->block<3, 1>(0, 2), entry, target, tolerance);
    return r;
}

InsertionReadout computeInsertionReadout(const std::optional<Eigen::Vector3d>& tip, const Eigen::Vector3d& forward,
                                         const Eigen::Vector3d& entry, const Eigen::Vector3d& target,
                                         int64_t sinceLastSampleUs, const InsertionTolerance& tolerance)
{
    ToolSnapshot tool{ std::nullopt, sinceLastSampleUs, { true, true } };
    if (tip && forward.squaredNorm() > 0.0)
    {
        // A frame whose origin is the tip and whose negative z is the forward axis: the rest of the frame is unused.
        tool.toolMatrix = Eigen::Matrix4d::Identity();
        tool.toolMatrix->block<3, 1>(0, 3) = *tip;
        tool.toolMatrix->block<3, 1>(0, 2) = -forward;
    }
    return computeInsertionReadout(tool, entry, target, std::nullopt, tolerance);
}

InsertionReadout computeInsertionReadout(const std::optional<Eigen::Matrix4d>& toolMatrix, const Eigen::Vector3d& entry,
                                         const Eigen::Vector3d& target, int64_t sinceLastSampleUs,
                                         const InsertionTolerance& tolerance)
{
    return computeInsertionReadout(ToolSnapshot{ toolMatrix, sinceLastSampleUs, { true, true } }, entry, target,
                                   std::nullopt, tolerance);
}

std::vector<InsertionReadoutLine> readoutLines(const InsertionReadout& readout)
{
    std::vector<InsertionReadoutLine> lines = figureLines(readout);
    if (auto breach = breachLine(readout))
        lines.push_back(std::move(*breach));
    return lines;
}

std::optional<InsertionReadoutLine> breachLine(const InsertionReadout& readout)
{
    if (!readout.breach)
        return std::nullopt;
    return InsertionReadoutLine{ breachReadingText(*readout.breach, BreachTextLength::Brief), ToleranceGrade::None,
                                 breachReadingColor(*readout.breach) };
}

Eigen::Vector3d lineColor(const InsertionReadoutLine& line)
{
    return line.color ? *line.color : gradeColor(line.grade);
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
