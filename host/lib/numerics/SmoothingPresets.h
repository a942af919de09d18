#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/Export.h"

namespace Kelvaros
{

class Properties;

/// The named configurations of the smoothed tracking stream that the command line's `--preset` and the stream's
/// panel offer: "default" (the stream's own defaults, a Kalman filter) and "adaptive" (the speed-adaptive filter
/// with the noise figures the smoothing study recommends: strong smoothing at rest, no lag in motion).
class KELVAROS_API SmoothingPresets
{
public:
    /// The names in the order they are offered.
    [[nodiscard]] static const std::vector<std::string>& names();
    /// The smoothed stream's configuration for a preset; null for a name that is not one.
    [[nodiscard]] static std::unique_ptr<Properties> configuration(const std::string& name);
};

} // namespace Kelvaros
