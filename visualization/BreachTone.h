#pragma once

#include <optional>

#include "lib/geometry/CriticalStructures.h"

namespace Kelvaros
{

/// What the breach warning's tone plays for one reading: nothing, beeps, or a steady tone.
struct BreachTone
{
    static constexpr double kLowestHz = 440.0;
    static constexpr double kHighestBeepHz = 1320.0;
    static constexpr double kInsideHz = 1760.0;
    static constexpr int kSlowestPeriodMs = 1000;
    static constexpr int kFastestPeriodMs = 150;

    bool audible = false;
    double frequencyHz = 0.0;
    /// A beep starts every this many ms and lasts half of it; 0 is a steady tone.
    int periodMs = 0;

    bool operator==(const BreachTone& other) const
    {
        return audible == other.audible && frequencyHz == other.frequencyHz && periodMs == other.periodMs;
    }
};

/// The tone for a distance judged against its margin (mm): silent without a distance or beyond the margin; within
/// it, beeps whose pitch rises from kLowestHz and whose repetition quickens from kSlowestPeriodMs, both linearly,
/// as the distance shrinks to nothing; a steady kInsideHz inside. The ear then tells the approach without a look at
/// the screen, and never hears a figure the premises withheld.
[[nodiscard]] BreachTone breachTone(const std::optional<BreachDistance>& distance, double margin);

} // namespace Kelvaros
