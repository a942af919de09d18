#include "lib/numerics/SmoothingPresets.h"

#include "core/Properties.h"
#include "lib/numerics/AdaptivePoseFilter.h"

namespace Kelvaros
{

namespace
{
struct Preset
{
    const char* name;
    bool adaptive;
    double translationError;
    double angularError;
};

// "default" repeats the stream's parameter defaults. "adaptive" states the noise the filter was tuned for, per axis;
// the filter learns the actual noise from there, within a factor 4, so 0.1 to 0.25 mm and 0.1 to 0.3 degrees RMS
// all lie inside.
const Preset kPresets[] = {
    { "default", false, 0.5, 1.0 },
    { "adaptive", true, AdaptivePoseFilter::Settings{}.positionNoiseMm,
      AdaptivePoseFilter::Settings{}.rotationNoiseDegrees },
};
} // namespace

const std::vector<std::string>& SmoothingPresets::names()
{
    static const std::vector<std::string> names = []
    {
        std::vector<std::string> all;
        for (const Preset& preset : kPresets)
            all.emplace_back(preset.name);
        return all;
    }();
    return names;
}

std::unique_ptr<Properties> SmoothingPresets::configuration(const std::string& name)
{
    for (const Preset& preset : kPresets)
    {
        if (name != preset.name)
            continue;
        auto properties = std::make_unique<Properties>();
        properties->setParam("smoothingMode", 2);
        properties->setParam("smoothingInterval", 200);
        properties->setParam("translationError", preset.translationError);
        properties->setParam("angularError", preset.angularError);
        properties->setParam("processSigma", 0.5);
        properties->setParam("adaptive", preset.adaptive);
        return properties;
    }
    return nullptr;
}

} // namespace Kelvaros
