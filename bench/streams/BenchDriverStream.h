#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"

namespace Kelvaros::Bench
{

/// A tracking stream that the benchmark drives by hand: publish() emits a sample synchronously on the calling thread,
/// so a derived stream's whole work per sample runs inside the call and can be timed without thread hand-offs.
class DriverStream final : public TrackingStream
{
public:
    explicit DriverStream(std::string name) : TrackingStream(std::move(name)) {}
    ~DriverStream() override { closeOnDestruction(); }

    [[nodiscard]] ThreadingMode threadingMode() const override { return ThreadingMode::InputThread; }

    /// A sample of this stream with these instruments and device timestamp (microseconds), not yet published.
    std::shared_ptr<const StreamData> makeSample(std::vector<TrackingInstrument> instruments, int64_t deviceTimestamp)
    {
        auto sample = std::make_shared<TrackingStreamData>(this, std::move(instruments));
        sample->setTimestampDevice(deviceTimestamp);
        sample->setTimestampArrival(StreamData::nowMicroseconds());
        return sample;
    }

    void publish(std::shared_ptr<const StreamData> sample) { emitStreamData(std::move(sample)); }
};

} // namespace Kelvaros::Bench
