#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/Export.h"
#include "lib/DataComponentList.h"
#include "stream/TrackingStream.h"

namespace Kelvaros
{

/// A source tracking stream fed by the program instead of a device: push() queues a sample, and the stream's
/// delivery thread publishes the queued samples one by one, in push order, while the stream is Running. It is
/// the test bed of every stream that builds on tracking streams, and a way for tools to replay computed poses.
///
/// Samples pushed while the stream is not running wait in the queue until it runs (also across stop/start);
/// close() and reset() drop them. Pausing holds delivery between two samples. Each published sample gets the
/// pushed device timestamp and an arrival timestamp taken when it is published.
///
/// Threads: push, waitUntilDelivered and the counters from any thread; waitUntilDelivered not from a listener
/// of this stream (it would wait for itself).
class KELVAROS_API ManualTrackingStream : public TrackingStream
{
public:
    explicit ManualTrackingStream(std::string name = "Manual Tracking Stream");
    ~ManualTrackingStream() override;

    /// Queues a sample with these instruments and this device timestamp (microseconds of the device clock).
    void push(std::vector<TrackingInstrument> instruments, int64_t deviceTimestamp);
    /// The same, with data components (copied) for the sample, such as TrackingInstrumentFiducialsData.
    void push(std::vector<TrackingInstrument> instruments, int64_t deviceTimestamp,
              const DataComponentList& components);

    /// Waits until every sample pushed so far has been published and its listeners have returned (or was
    /// dropped by close/reset). False when the timeout expired first, for example because the stream is not
    /// running, or when called on the stream's own delivery thread.
    bool waitUntilDelivered(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    /// Samples published since construction.
    [[nodiscard]] int64_t numDelivered() const;
    /// Samples waiting to be published.
    [[nodiscard]] size_t numQueued() const;

    [[nodiscard]] std::string describe() const override;
    [[nodiscard]] bool supportsPausing() const override { return true; }
    /// Drops the queued samples.
    void reset() override;

protected:
    bool closeImpl() override;
    std::optional<WorkContinuation> doWork() override;

private:
    struct Pending
    {
        std::vector<TrackingInstrument> instruments;
        int64_t deviceTimestamp = 0;
        std::unique_ptr<DataComponentList> components;
    };

    void enqueue(Pending pending);
    void dropQueue();

    mutable std::mutex m_queueMutex;
    std::condition_variable m_deliveredCondition;
    std::deque<Pending> m_queue;
    bool m_inFlight = false;
    int64_t m_delivered = 0;
};

} // namespace Kelvaros
