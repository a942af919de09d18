#pragma once

#include <memory>
#include <string>
#include <vector>

namespace Kelvaros
{
class Properties;
}

namespace Kelvaros::Nav
{

class CommandLine;

/// The presets `--preset` offers, in the order the usage lists them: "default" (the smoothed stream's own defaults,
/// a Kalman filter) and "adaptive" (the speed-adaptive filter with the noise figures the smoothing study recommends).
[[nodiscard]] const std::vector<std::string>& smoothingPresetNames();

/// The smoothed stream's configuration for preset `name`; null for a name that is not one of the presets.
[[nodiscard]] std::unique_ptr<Properties> smoothingPreset(const std::string& name);

/// What `--preset` chose on a command line: no configuration when the option is absent; otherwise the preset's
/// configuration, or a usage error for an unknown name (listing the names) or when --config or --algorithm choose the
/// derived stream as well.
struct PresetChoice
{
    std::unique_ptr<Properties> configuration;
    std::string error;
};
[[nodiscard]] PresetChoice presetOf(const CommandLine& line);

} // namespace Kelvaros::Nav
