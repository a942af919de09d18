#include "stream/ManualTrackingStream.h"

#include <utility>

#include <fmt/format.h>

#include "core/Log.h"
#include "stream/TrackingStreamData.h"

namespace Kelvaros
{

ManualTrackingStream::ManualTrackingStream(std::string name) : TrackingStream(std::move(name)) {}

ManualTrackingStream::~ManualTrackingStream()
{
    closeOnDestruction();
}

void ManualTrackingStream::push(std::vector<TrackingInstrument> instruments, int64_t deviceTimestamp)
{
    enqueue(Pending{ std::move(instruments), deviceTimestamp, nullptr });
}

void ManualTrackingStream::push(std::vector<TrackingInstrument> instruments, int64_t deviceTimestamp,
                                const DataComponentList& components)
{
    enqueue(Pending{ std::move(instruments), deviceTimestamp, std::make_unique<DataComponentList>(components) });
}

void ManualTrackingStream::enqueue(Pending pending)
{
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_queue.push_back(std::move(pending));
    }
    wakeDeliveryThread();
}

bool ManualTrackingStream::waitUntilDelivered(std::chrono::milliseconds timeout)
{
    if (isDeliveryThread())
    {
        Log::logf(Log::Error, "ManualTrackingStream",
                  "Stream '{}': waitUntilDelivered called by one of its own listeners", name());
        return false;
    }
    std::unique_lock<std::mutex> lock(m_queueMutex);
    return m_deliveredCondition.wait_for(lock, timeout, [this] { return m_queue.empty() && !m_inFlight; });
}

int64_t ManualTrackingStream::numDelivered() const
{
    std::lock_guard<std::mutex> lock(m_queueMutex);
    return m_delivered;
}

size_t ManualTrackingStream::numQueued() const
{
    std::lock_guard<std::mutex> lock(m_queueMutex);
    return m_queue.size();
}

std::string ManualTrackingStream::describe() const
{
    return fmt::format("{} ({}, manual, {} queued, {} delivered)", name(), stateName(state()), numQueued(),
                       numDelivered());
}

void ManualTrackingStream::reset()
{
    dropQueue();
}

bool ManualTrackingStream::closeImpl()
{
    dropQueue();
    return true;
}

void ManualTrackingStream::dropQueue()
{
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_queue.clear();
    }
    m_deliveredCondition.notify_all();
}

std::optional<Stream::WorkContinuation> ManualTrackingStream::doWork()
{
    Pending next;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (m_queue.empty())
            return WorkContinuation::whenWoken();
        next = std::move(m_queue.front());
        m_queue.pop_front();
        m_inFlight = true;
    }

    auto sample = std::make_shared<TrackingStreamData>(this, std::move(next.instruments));
    sample->setTimestampDevice(next.deviceTimestamp);
    sample->setTimestampArrival(StreamData::nowMicroseconds());
    if (next.components)
        sample->components() = *next.components;
    emitStreamData(std::move(sample));

    bool more = false;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_inFlight = false;
        ++m_delivered;
        more = !m_queue.empty();
    }
    m_deliveredCondition.notify_all();
    // One sample per call, so that pause and stop take effect between two samples.
    return more ? WorkContinuation::immediately() : WorkContinuation::whenWoken();
}

} // namespace Kelvaros
