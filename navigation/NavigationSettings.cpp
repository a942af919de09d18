#include "navigation/NavigationSettings.h"

#include <algorithm>
#include <string>
#include <tuple>

#include "core/Properties.h"

namespace Kelvaros
{
namespace
{
constexpr double kMaxLength = 99999.0;

template<typename T>
void readClamped(const Properties& properties, const std::string& key, T& value, T low, T high)
{
    T read = value;
    if (properties.param(key, read))
        value = std::clamp(read, low, high);
}

template<typename Choice>
void readChoice(const Properties& properties, const std::string& key, Choice& value, Choice last)
{
    int index = 0;
    if (properties.param(key, index) && index >= 0 && index <= int(last))
        value = Choice(index);
}

auto tied(const NavigationSettings& s)
{
    return std::tie(s.targetRadius, s.pathType, s.pathGrowth, s.pathSeparation, s.ringsNumber, s.linkTo,
                    s.ringVisibility, s.lineVisibility);
}
} // namespace

void NavigationSettings::configure(const Properties& properties)
{
    readClamped(properties, "targetRadius", targetRadius, 1.0, kMaxLength);
    readChoice(properties, "pathType", pathType, PathType::Funnel);
    readClamped(properties, "pathGrowth", pathGrowth, 0.0, kMaxLength);
    readChoice(properties, "pathSeparation", pathSeparation, RingSpacing::Exponential);
    readClamped(properties, "ringsNumber", ringsNumber, 3, 100);
    readChoice(properties, "linkTo", linkTo, CameraLink::Rings);
    readChoice(properties, "ringVisibility", ringVisibility, RingVisibility::Fading);
    readChoice(properties, "lineVisibility", lineVisibility, CenterLineVisibility::None);
}

void NavigationSettings::configuration(Properties& properties) const
{
    properties.setParam("targetRadius", targetRadius);
    properties.setParam("pathType", int(pathType));
    properties.setParam("pathGrowth", pathGrowth);
    properties.setParam("pathSeparation", int(pathSeparation));
    properties.setParam("ringsNumber", ringsNumber);
    properties.setParam("linkTo", int(linkTo));
    properties.setParam("ringVisibility", int(ringVisibility));
    properties.setParam("lineVisibility", int(lineVisibility));
}

bool NavigationSettings::operator==(const NavigationSettings& other) const
{
    return tied(*this) == tied(other);
}

} // namespace Kelvaros
