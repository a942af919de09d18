#include "SampleCollector.h"

#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"

namespace Kelvaros::Nav
{

SampleCollector::SampleCollector(TrackingStream& stream, bool keepSamples)
{
    addConnection(stream.signalStreamData.connect(
      [this, keepSamples](const std::shared_ptr<const StreamData>& data)
      {
          const auto* sample = dynamic_cast<const TrackingStreamData*>(data.get());
          if (!sample)
              return;
          std::lock_guard<std::mutex> lock(m_mutex);
          ++m_count;
          if (keepSamples)
              m_samples.push_back({ sample->timestampDevice(), sample->instruments() });
      }));
}

SampleCollector::~SampleCollector()
{
    disconnectAll();
}

std::vector<TrackingSample> SampleCollector::samples() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_samples;
}

size_t SampleCollector::size() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

} // namespace Kelvaros::Nav
