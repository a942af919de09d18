#include "StreamRateMeter.h"

#include "stream/TrackingStream.h"

namespace Kelvaros
{

StreamRateMeter::StreamRateMeter(TrackingStream& stream) : m_stream(stream)
{
    m_stream.signalStreamData.connect(this, [this](const std::shared_ptr<const StreamData>&) { ++m_samples; });
}

StreamRateMeter::~StreamRateMeter()
{
    disconnectAll();
}

double StreamRateMeter::rateSinceLastReading(Clock::time_point now)
{
    const int64_t samples = m_samples.load();
    const double seconds = std::chrono::duration<double>(now - m_lastReading).count();
    const double rateHz = seconds > 0 ? double(samples - m_samplesAtLastReading) / seconds : 0.0;
    m_samplesAtLastReading = samples;
    m_lastReading = now;
    return rateHz;
}

} // namespace Kelvaros
