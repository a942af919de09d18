#include "SmoothingPreset.h"

#include "core/Properties.h"
#include "lib/numerics/SmoothingPresets.h"

#include "CommandLine.h"

namespace Kelvaros::Nav
{

PresetChoice presetOf(const CommandLine& line)
{
    PresetChoice choice;
    const auto name = line.value("preset");
    if (!name)
        return choice;
    if (line.value("config") || line.value("algorithm"))
    {
        choice.error = "--preset sets up the smoothed stream and cannot be combined with --config or --algorithm";
        return choice;
    }
    choice.configuration = SmoothingPresets::configuration(*name);
    if (!choice.configuration)
    {
        std::string names;
        for (const std::string& known : SmoothingPresets::names())
            names += (names.empty() ? "" : ", ") + known;
        choice.error = "unknown preset '" + *name + "' (presets: " + names + ")";
    }
    return choice;
}

} // namespace Kelvaros::Nav
