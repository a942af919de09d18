#pragma once

#include "navigation/NavigationPathGeometry.h"

namespace Kelvaros
{

class Properties;

/// The eight persistent settings of the navigation path view, each the state of one widget of its panel (choices
/// as the index of the item). Stored with the panel's configuration under the keys named beside them. Value type.
struct NavigationSettings
{
    /// "targetRadius": radius of the target sphere (mm), 1 … 99999.
    double targetRadius = 10.0;
    /// "pathType".
    PathType pathType = PathType::Tubular;
    /// "pathGrowth": the funnel widens by a factor e every this many mm of path, 0 … 99999.
    double pathGrowth = 100.0;
    /// "pathSeparation".
    RingSpacing pathSeparation = RingSpacing::Equidistant;
    /// "ringsNumber": rings along the path, 3 … 100.
    int ringsNumber = 10;
    /// "linkTo".
    CameraLink linkTo = CameraLink::None;
    /// "ringVisibility".
    RingVisibility ringVisibility = RingVisibility::All;
    /// "lineVisibility".
    CenterLineVisibility lineVisibility = CenterLineVisibility::LineAndDistance;

    /// Reads every key that is present, as the panel's widgets take it: numbers are clamped to their range, and a
    /// choice index outside the choices (a widget would show nothing) leaves the setting as it was.
    void configure(const Properties& properties);
    /// Writes all eight keys (doubles and ints).
    void configuration(Properties& properties) const;

    [[nodiscard]] bool operator==(const NavigationSettings& other) const;
    [[nodiscard]] bool operator!=(const NavigationSettings& other) const { return !(*this == other); }
};

} // namespace Kelvaros
