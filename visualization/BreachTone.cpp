#include "visualization/BreachTone.h"

#include <algorithm>
#include <cmath>

namespace Kelvaros
{

BreachTone breachTone(const std::optional<BreachDistance>& distance, double margin)
{
    if (!distance)
        return {};
    switch (distance->status)
    {
        case BreachStatus::Breach:
            return { true, BreachTone::kInsideHz, 0 };
        case BreachStatus::Warning:
            break;
        default:
            return {};
    }
    // 0 at the margin, 1 at the surface.
    const double closeness = margin > 0.0 ? std::clamp(1.0 - distance->distance / margin, 0.0, 1.0) : 1.0;
    const double frequency = BreachTone::kLowestHz + closeness * (BreachTone::kHighestBeepHz - BreachTone::kLowestHz);
    const double period =
      BreachTone::kSlowestPeriodMs - closeness * (BreachTone::kSlowestPeriodMs - BreachTone::kFastestPeriodMs);
    return { true, frequency, static_cast<int>(std::lround(period)) };
}

} // namespace Kelvaros
