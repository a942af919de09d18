#pragma once

#include <string>
#include <utility>

#include "stream/InstrumentCalibrationDataComponent.h"

namespace Kelvaros::Testing
{

/// The provenance of a calibration that says only how it was fitted: "pivot", "axis" or "pivot+axis".
inline InstrumentCalibrationDataComponent::Provenance fittedBy(std::string method)
{
    InstrumentCalibrationDataComponent::Provenance provenance;
    provenance.method = std::move(method);
    return provenance;
}

} // namespace Kelvaros::Testing
