#pragma once

#include "stream/InstrumentCalibrationDataComponent.h"

namespace Kelvaros::Testing
{
/// The provenance of a calibration that says only how it was fitted: "pivot", "axis" or "pivot+axis".
inline InstrumentCalibrationDataComponent::Provenance fittedBy(const char* method)
{
    InstrumentCalibrationDataComponent::Provenance provenance;
    provenance.method = method;
    return provenance;
}
} // namespace Kelvaros::Testing
