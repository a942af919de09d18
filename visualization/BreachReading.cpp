#include "visualization/BreachReading.h"

#include <fmt/format.h>

namespace Kelvaros
{
namespace
{
/// Far and deep readings are measured to within a small share of the distance: they say so, and show no decimal
/// they cannot vouch for.
std::string millimetres(double value, double tolerance)
{
    return tolerance > 0.05 ? fmt::format("≈{:.0f} mm", value) : fmt::format("{:.1f} mm", value);
}

std::string distanceText(const BreachDistance& distance, BreachTextLength length)
{
    switch (distance.status)
    {
        case BreachStatus::Breach:
            return fmt::format("BREACH: {} inside {}", millimetres(-distance.distance, distance.tolerance),
                               distance.structure);
        case BreachStatus::Warning:
        case BreachStatus::Clear:
            return fmt::format("{}: {}", distance.structure, millimetres(distance.distance, distance.tolerance));
        case BreachStatus::NoStructures:
            return length == BreachTextLength::Full ? "No structures: add the meshes of what the tool must not touch"
                                                    : "No structures";
        default:
            return distance.reason;
    }
}
} // namespace

std::string breachReadingText(const BreachReading& reading, BreachTextLength length)
{
    if (!reading.distance)
        return figureStateText(reading.judgement);
    std::string text = distanceText(*reading.distance, length);
    if (reading.tipOnly)
        text += length == BreachTextLength::Full ? " (tip only: the needle's axis is not calibrated)" : " (tip only)";
    return text;
}

Eigen::Vector3d breachReadingColor(const BreachReading& reading)
{
    switch (reading.distance ? reading.distance->status : BreachStatus::Refused)
    {
        case BreachStatus::Clear:
            return Eigen::Vector3d(0, 150, 60) / 255.0;
        case BreachStatus::Warning:
            return Eigen::Vector3d(200, 130, 0) / 255.0;
        case BreachStatus::Breach:
            return Eigen::Vector3d(210, 0, 0) / 255.0;
        default:
            return Eigen::Vector3d::Constant(128.0 / 255.0);
    }
}

} // namespace Kelvaros
