#include "registration/RegistrationRestore.h"

#include <optional>
#include <string>

#include "core/Log.h"
#include "lib/RegistrationHistoryComponent.h"
#include "lib/SharedImageSet.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingStream.h"

namespace Kelvaros
{
namespace
{
void applyState(const RegistrationHistoryComponent::State& state, SharedImageSet& volume, TrackingStream& stream)
{
    if (state.volumeMatrix)
        volume.setMatrix(*state.volumeMatrix);
    if (state.streamMatrix)
        stream.setMatrix(*state.streamMatrix);
    if (const auto& calibration = state.calibration)
    {
        auto& calibrations = stream.components().getOrAdd<InstrumentCalibrationDataComponent>();
        if (calibration->matrix)
            calibrations.setCalibration(calibration->instrumentId, *calibration->matrix, calibration->value);
        else
            calibrations.removeCalibration(calibration->instrumentId);
    }
}
} // namespace

bool restorePreviousRegistration(SharedImageSet& volume, TrackingStream& stream, const char* category)
{
    auto* history = volume.components().get<RegistrationHistoryComponent>();
    const std::optional<RegistrationHistoryComponent::State> state =
      history ? history->restorePrevious() : std::nullopt;
    if (!state)
    {
        Log::log(Log::Warning, category, "There is no previous registration to restore");
        return false;
    }
    applyState(*state, volume, stream);
    const auto current = history->current();
    Log::log(Log::Info, category,
             "Restored the previous registration: " +
               (current && current->provenance ? current->provenance->summary()
                                               : std::string("the placement before the first registration recorded")));
    return true;
}

} // namespace Kelvaros
