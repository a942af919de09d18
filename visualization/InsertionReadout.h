#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "visualization/BreachReading.h"
#include "visualization/ToolFigurePremises.h"

namespace Kelvaros
{

/// How a read-out value stands against the user's tolerance τ.
enum class ToleranceGrade : int
{
    /// Nothing to judge yet (the target still lies ahead), or no value.
    None = 0,
    /// |value| ≤ τ
    Within = 1,
    /// τ < |value| ≤ 2τ
    Near = 2,
    /// |value| > 2τ
    Outside = 3
};

/// The tolerances the read-out is graded against; both must be positive.
struct InsertionTolerance
{
    double mm = 2.0;
    double degrees = 2.0;
};

/// The numbers a user needs while inserting a needle along a planned straight path from `entry` to `target`
/// (world, mm). Pure: computed from the calibrated needle (tip and forward axis) and the time since the stream's
/// last sample; callable from any thread. Values are only meaningful in state Valid; the angle and the aim offset
/// besides need a calibrated axis.
struct InsertionReadout
{
    using State = FigureState;
    static constexpr int64_t kStaleAfterUs = Kelvaros::kStaleAfterUs;

    State state = State::NotVisible;
    /// For NotRegistered: how far (mm) the tip lies outside the plan's region.
    double outsideMm = 0.0;
    /// Distance (mm) from the tip's foot on the path to the target, positive while the target lies ahead.
    double depthToTargetMm = 0.0;
    /// Distance (mm) of the tip from the path line.
    double lateralMm = 0.0;
    /// Whether the needle's axis is calibrated; without it the axis offset and the angle are empty.
    bool axisKnown = true;
    /// Distance (mm) from the target at which the needle's extended axis crosses the plane through the target
    /// perpendicular to the path: where the tip ends up if pushed straight on. Empty when the axis does not point
    /// towards that plane (perpendicular to the path or pointing back) or is not calibrated.
    std::optional<double> axisOffsetMm;
    /// Angle (degrees) between the needle's forward axis and the path direction (entry → target); empty when the
    /// axis is not calibrated.
    std::optional<double> angleDegrees;

    /// Grades (None unless the state is Valid): depth is None while the target lies more than τ ahead, then graded
    /// by |depth| (an overshoot counts like a lateral error); lateral, axis offset and angle by their magnitude
    /// (None for an axis that is not calibrated).
    ToleranceGrade depthGrade = ToleranceGrade::None;
    ToleranceGrade lateralGrade = ToleranceGrade::None;
    ToleranceGrade axisOffsetGrade = ToleranceGrade::None;
    ToleranceGrade angleGrade = ToleranceGrade::None;

    /// The reading of the breach warning that measures this tool, when one does (see BreachReadingBoard); it has
    /// premises of its own and is shown whatever the state above.
    std::optional<BreachReading> breach;
};

/// One line of the read-out as it is shown, with the grade that colours it.
struct InsertionReadoutLine
{
    InsertionReadoutLine(std::string text, ToleranceGrade grade, std::optional<Eigen::Vector3d> color = std::nullopt)
      : text(std::move(text)), grade(grade), color(std::move(color))
    {
    }

    std::string text;
    ToleranceGrade grade = ToleranceGrade::None;
    /// A colour of its own instead of the grade's (the breach line's).
    std::optional<Eigen::Vector3d> color;
};

/// The read-out of a tool as a tool visualization knows it (its pose with the tip at the origin and the needle
/// pointing along the negative z axis, the way its direction line is drawn; the time since its last sample; what
/// its calibration establishes), for a plan in `region` (see judgeFigures; empty: no registration judgement).
[[nodiscard]] InsertionReadout computeInsertionReadout(const ToolSnapshot& tool, const Eigen::Vector3d& entry,
                                                       const Eigen::Vector3d& target,
                                                       const std::optional<Eigen::AlignedBox3d>& region,
                                                       const InsertionTolerance& tolerance = {});

/// The read-out for a needle whose tip is at `tip` pointing along `forward` (world; need not be unit length),
/// or for no needle (`tip` empty: not visible), whose tip and axis the caller vouches for. `sinceLastSampleUs` is
/// the time since the stream's last sample.
[[nodiscard]] InsertionReadout computeInsertionReadout(const std::optional<Eigen::Vector3d>& tip,
                                                       const Eigen::Vector3d& forward, const Eigen::Vector3d& entry,
                                                       const Eigen::Vector3d& target, int64_t sinceLastSampleUs,
                                                       const InsertionTolerance& tolerance = {});

/// The same from a calibrated tool → world matrix whose tip and axis the caller vouches for.
[[nodiscard]] InsertionReadout computeInsertionReadout(const std::optional<Eigen::Matrix4d>& toolMatrix,
                                                       const Eigen::Vector3d& entry, const Eigen::Vector3d& target,
                                                       int64_t sinceLastSampleUs,
                                                       const InsertionTolerance& tolerance = {});

/// Grade of a magnitude against τ: Within up to τ, Near up to 2τ, Outside beyond.
[[nodiscard]] ToleranceGrade gradeAgainst(double magnitude, double tolerance);

/// The text shown for the read-out: the state's lines (figureStateLines) unless it is valid, else one line per
/// value ("To target 12.3 mm", "Off path 0.8 mm", "Aim offset 1.9 mm" or "Aim offset -", "Angle 2.4°"; the last two
/// "Aim: axis not calibrated" and "Angle: axis not calibrated" without a calibrated axis), and the breach line last
/// when there is a breach reading.
[[nodiscard]] std::vector<InsertionReadoutLine> readoutLines(const InsertionReadout& readout);

/// The breach reading's line, in the breach panel's words (brief) and colours; empty without a breach reading.
[[nodiscard]] std::optional<InsertionReadoutLine> breachLine(const InsertionReadout& readout);

/// RGB in [0, 1] of a grade: green, amber, red; None is white.
[[nodiscard]] Eigen::Vector3d gradeColor(ToleranceGrade grade);
/// The colour a line is shown in: its own, else its grade's.
[[nodiscard]] Eigen::Vector3d lineColor(const InsertionReadoutLine& line);

} // namespace Kelvaros
