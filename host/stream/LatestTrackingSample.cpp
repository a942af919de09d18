#include "stream/LatestTrackingSample.h"

#include <algorithm>

#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"
#include "stream/TrackingStreamDisplayOptions.h"

namespace Kelvaros
{

LatestTrackingSample::LatestTrackingSample(TrackingStream& stream)
  : m_stream(stream), m_snapshot(std::make_shared<const TrackingSnapshot>())
{
}

LatestTrackingSample::~LatestTrackingSample() = default;

std::shared_ptr<const TrackingSnapshot> LatestTrackingSample::snapshot() const
{
    std::lock_guard<std::mutex> lock(m_publishMutex);
    return m_snapshot;
}

void LatestTrackingSample::choosePathDisplay(int pathDisplay)
{
    m_trail.choose(pathDisplay);
}

void LatestTrackingSample::wakeAfter(const void* key, uint64_t after, std::function<void()> wake)
{
    {
        std::lock_guard<std::mutex> lock(m_wakeMutex);
        // Checked under the lock that publish() takes after raising the sequence: a sample is either seen here or
        // finds the wake stored.
        if (sequence() <= after)
        {
            cancelWakeLocked(key);
            m_wakes.emplace_back(key, std::move(wake));
            return;
        }
        cancelWakeLocked(key);
    }
    wake();
}

void LatestTrackingSample::cancelWake(const void* key)
{
    std::lock_guard<std::mutex> lock(m_wakeMutex);
    cancelWakeLocked(key);
}

void LatestTrackingSample::cancelWakeLocked(const void* key)
{
    m_wakes.erase(std::remove_if(m_wakes.begin(), m_wakes.end(), [key](const auto& w) { return w.first == key; }),
                  m_wakes.end());
}

void LatestTrackingSample::note(const TrackingStreamData& sample)
{
    std::lock_guard<std::mutex> lock(m_writeMutex);
    if (const auto* options = m_stream.components().get<TrackingStreamDisplayOptions>())
        m_trail.choose(options->pathDisplay());
    auto next = std::make_shared<TrackingSnapshot>(*snapshot());
    next->sequence += 1;
    next->arrival = std::chrono::steady_clock::now();
    next->arrivalUs = sample.timestampArrival() != 0 ? sample.timestampArrival() : StreamData::nowMicroseconds();
    for (TrackingSnapshot::Instrument& instrument : next->instruments)
        instrument.seen = false;
    for (const TrackingInstrument& measured : sample.instrumentList())
        noteInstrument(*next, measured);
    next->trailVersion = m_trail.version();
    publish(std::move(next));
}

void LatestTrackingSample::noteInstrument(TrackingSnapshot& next, const TrackingInstrument& measured)
{
    auto it = std::find_if(next.instruments.begin(), next.instruments.end(),
                           [&measured](const auto& instrument) { return instrument.id.ID() == measured.ID(); });
    if (it == next.instruments.end())
        it = next.instruments.insert(next.instruments.end(), TrackingSnapshot::Instrument{});
    it->id = measured.id;
    it->seen = measured.tracked && measured.quality > 0.0;
    it->quality = measured.quality;
    it->lastRecordSeen = it->seen;
    if (!it->seen)
        return;
    it->everSeen = true;
    it->lastSeenSequence = next.sequence;
    it->toolToTracker = measured.matrix * InstrumentCalibrationDataComponent::matrixOf(m_stream, measured.ID());
    m_trail.append(size_t(it - next.instruments.begin()), next.sequence, next.arrivalUs,
                   it->toolToTracker.topRightCorner<3, 1>());
}

void LatestTrackingSample::clear()
{
    std::lock_guard<std::mutex> lock(m_writeMutex);
    // The trail's tips belong to the instruments by their place in the snapshot.
    m_trail.clear();
    auto next = std::make_shared<TrackingSnapshot>();
    next->sequence = sequence() + 1;
    next->trailVersion = m_trail.version();
    publish(std::move(next));
}

void LatestTrackingSample::publish(std::shared_ptr<TrackingSnapshot> next)
{
    const uint64_t sequence = next->sequence;
    {
        std::lock_guard<std::mutex> lock(m_publishMutex);
        m_snapshot = std::move(next);
    }
    std::vector<std::pair<const void*, std::function<void()>>> wakes;
    {
        std::lock_guard<std::mutex> lock(m_wakeMutex);
        m_sequence.store(sequence, std::memory_order_release);
        wakes.swap(m_wakes);
    }
    for (auto& [key, wake] : wakes)
        wake();
}

} // namespace Kelvaros
