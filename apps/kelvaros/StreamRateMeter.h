#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "core/Signal.h"

namespace Kelvaros
{

class TrackingStream;

/// Counts a tracking stream's samples to show its rate; the listener runs on the stream's thread and only
/// increments. The stream must outlive the meter.
class StreamRateMeter : public SignalReceiver
{
public:
    using Clock = std::chrono::steady_clock;

    explicit StreamRateMeter(TrackingStream& stream);
    ~StreamRateMeter() override;

    [[nodiscard]] TrackingStream& stream() const { return m_stream; }
    /// Samples per second since the last call (since construction for the first): a stream added between two
    /// readings is not averaged over time it did not exist. Main thread.
    double rateSinceLastReading(Clock::time_point now);

private:
    TrackingStream& m_stream;
    std::atomic<int64_t> m_samples{ 0 };
    int64_t m_samplesAtLastReading = 0;
    Clock::time_point m_lastReading = Clock::now();
};

} // namespace Kelvaros
