#include "stream/TrackingStream.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include <fmt/format.h>

#include "stream/LatestTrackingSample.h"
#include "stream/TrackingStreamData.h"

namespace Kelvaros
{

TrackingStream::TrackingStream(std::string displayName)
  : Stream(std::move(displayName)), m_latest(std::make_unique<LatestTrackingSample>(*this))
{
}

TrackingStream::~TrackingStream() = default;

std::string TrackingStream::describe() const
{
    return fmt::format("{} ({}, {} instruments)", name(), stateName(state()), numInstruments());
}

std::vector<TrackingInstrument> TrackingStream::instruments() const
{
    std::lock_guard<std::mutex> lock(m_instrumentsMutex);
    return m_seen;
}

std::vector<TrackingInstrument> TrackingStream::activeInstruments() const
{
    std::vector<TrackingInstrument> active;
    std::lock_guard<std::mutex> lock(m_instrumentsMutex);
    std::copy_if(m_last.begin(), m_last.end(), std::back_inserter(active),
                 [](const TrackingInstrument& i) { return i.tracked; });
    return active;
}

std::optional<std::chrono::steady_clock::time_point> TrackingStream::lastSampleTime() const
{
    std::lock_guard<std::mutex> lock(m_instrumentsMutex);
    return m_lastSampleTime;
}

void TrackingStream::noteEmitted(const StreamData& data)
{
    const auto* tracking = dynamic_cast<const TrackingStreamData*>(&data);
    if (!tracking)
        return;
    const std::vector<TrackingInstrument>& sample = tracking->instrumentList();

    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(m_instrumentsMutex);
        for (const TrackingInstrument& instrument : sample)
        {
            const auto [slot, added] = m_seenIndex.emplace(instrument.id.ID(), m_seen.size());
            if (added)
            {
                m_seen.push_back(instrument);
                changed = true;
                continue;
            }
            TrackingInstrument& known = m_seen[slot->second];
            if (known.id != instrument.id)
                changed = true;
            known = instrument;
        }
        m_last = sample;
        m_lastSampleTime = std::chrono::steady_clock::now();
    }
    m_latest->note(*tracking);

    if (changed)
        signalInstrumentsChanged.emitSignal();
}

void TrackingStream::clearInstruments()
{
    {
        std::lock_guard<std::mutex> lock(m_instrumentsMutex);
        m_seen.clear();
        m_seenIndex.clear();
        m_last.clear();
    }
    m_latest->clear();
    signalInstrumentsChanged.emitSignal();
}

} // namespace Kelvaros
