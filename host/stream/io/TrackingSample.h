#pragma once

#include <cstdint>
#include <vector>

#include "stream/TrackingInstrument.h"

namespace Kelvaros
{

/// One frame of a tracking recording as a plain value: the device timestamp of the frame (microseconds of the
/// device clock) and the instruments measured in it, in the order the device delivered them. This is what a
/// sequence file holds per frame and what a playback stream publishes per sample. Copyable; no lock needed.
struct TrackingSample
{
    int64_t timestampDevice = 0;
    std::vector<TrackingInstrument> instruments;
};

} // namespace Kelvaros
