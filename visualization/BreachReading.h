#pragma once

#include <optional>
#include <string>

#include <Eigen/Core>

#include "lib/geometry/CriticalStructures.h"

#include "visualization/ToolFigurePremises.h"

namespace Kelvaros
{

/// One reading of a breach warning: the premises' judgement, and the distance when they hold.
struct BreachReading
{
    FigureJudgement judgement;
    std::optional<BreachDistance> distance;
    /// The needle was asked for, but its axis is not calibrated: the tip alone was measured.
    bool tipOnly = false;
};

/// How much a reading's text says: all of it in the breach panel, what fits one line of a read-out elsewhere.
enum class BreachTextLength
{
    Full,
    Brief
};

/// The text of a reading, wherever it is shown: "Vessel: 7.0 mm", "BREACH: 3.0 mm inside Vessel", or why no
/// distance is given (the premises' text, "No structures"). The full text adds the advice for no structures and
/// that the needle's axis is not calibrated.
[[nodiscard]] std::string breachReadingText(const BreachReading& reading,
                                            BreachTextLength length = BreachTextLength::Full);

/// RGB in [0, 1] of a reading: green clear, amber within the margin, red inside; grey without a distance.
[[nodiscard]] Eigen::Vector3d breachReadingColor(const BreachReading& reading);

} // namespace Kelvaros
