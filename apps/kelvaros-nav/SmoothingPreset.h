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

/// What `--preset` chose on a command line (one of SmoothingPresets): no configuration when the option is absent;
/// otherwise the preset's
/// configuration, or a usage error for an unknown name (listing the names) or when --config or --algorithm choose the
/// derived stream as well.
struct PresetChoice
{
    std::unique_ptr<Properties> configuration;
    std::string error;
};
[[nodiscard]] PresetChoice presetOf(const CommandLine& line);

} // namespace Kelvaros::Nav
