#include "SimulatorFeed.h"

#include "lib/DataComponentList.h"
#include "stream/ManualTrackingStream.h"

namespace Kelvaros::Nav
{

SimulatorFeed::SimulatorFeed(TrackingSimulator::Settings settings, ManualTrackingStream& stream)
  : m_simulator(settings), m_stream(stream)
{
}

bool SimulatorFeed::play(int64_t first, int64_t count, const AfterFrame& afterFrame)
{
    for (int64_t k = first; k < first + count; ++k)
    {
        TrackingSimulator::Frame frame = m_simulator.frame(k);
        DataComponentList components;
        components.add(std::make_unique<TrackingInstrumentFiducialsData>(std::move(frame.fiducials)));
        m_stream.push(std::move(frame.instruments), frame.timestampDevice, components);
        if (!m_stream.waitUntilDelivered())
            return false;
        if (afterFrame && !afterFrame(k))
            break;
    }
    return true;
}

} // namespace Kelvaros::Nav
