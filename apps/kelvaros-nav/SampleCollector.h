#pragma once

#include <mutex>
#include <vector>

#include "core/Signal.h"
#include "stream/io/TrackingSample.h"

namespace Kelvaros
{
class TrackingStream;
}

namespace Kelvaros::Nav
{

/// Keeps every sample a tracking stream publishes, as plain values for a sequence file, or only counts them (a
/// relay that runs for hours must not grow). The listener runs on the stream's thread; samples() and size() may
/// be called from any thread.
class SampleCollector : public SignalReceiver
{
public:
    explicit SampleCollector(TrackingStream& stream, bool keepSamples = true);
    ~SampleCollector() override;

    [[nodiscard]] std::vector<TrackingSample> samples() const;
    [[nodiscard]] size_t size() const;

private:
    mutable std::mutex m_mutex;
    std::vector<TrackingSample> m_samples;
    size_t m_count = 0;
};

} // namespace Kelvaros::Nav
