#pragma once

#include <cstdint>
#include <functional>

#include "stream/sources/TrackingSimulator.h"

namespace Kelvaros
{
class ManualTrackingStream;
}

namespace Kelvaros::Nav
{

/// Plays frames of a tracking simulator through a program-fed stream one at a time, waiting until each was
/// delivered, so that the program can act between two frames exactly as a user acts between two samples (take a
/// point while the pointer rests on a landmark, read the guidance at a given depth). The stream must be running.
class SimulatorFeed
{
public:
    /// Called on the calling thread after frame `k` was delivered to every listener; false stops the feed.
    using AfterFrame = std::function<bool(int64_t frame)>;

    SimulatorFeed(TrackingSimulator::Settings settings, ManualTrackingStream& stream);

    [[nodiscard]] const TrackingSimulator& simulator() const { return m_simulator; }

    /// Plays frames [first, first + count); false when a frame was not delivered in time.
    bool play(int64_t first, int64_t count, const AfterFrame& afterFrame = {});

private:
    TrackingSimulator m_simulator;
    ManualTrackingStream& m_stream;
};

} // namespace Kelvaros::Nav
