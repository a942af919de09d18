#include "stream/sources/PlaybackTrackingStream.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include <fmt/format.h>

#include "core/Log.h"
#include "stream/TrackingStreamData.h"
#include "stream/io/TrackingSequenceFile.h"
#include "stream/io/TrackingSequenceReader.h"

namespace Kelvaros
{

namespace
{
constexpr const char* kCategory = "PlaybackTrackingStream";
constexpr std::chrono::milliseconds kMaximumLag(250);
} // namespace

PlaybackTrackingStream::PlaybackTrackingStream(std::string name) : TrackingStream(std::move(name)) {}

PlaybackTrackingStream::~PlaybackTrackingStream()
{
    closeOnDestruction();
}

bool PlaybackTrackingStream::setSamples(std::vector<TrackingSample> samples)
{
    if (isStateOneOf({ State::Running, State::Paused }))
    {
        Log::logf(Log::Error, kCategory, "Stream '{}': cannot replace the samples while playing", name());
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_samples = std::move(samples);
    m_samplesSet = true;
    return true;
}

std::vector<TrackingSample> PlaybackTrackingStream::samples() const
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_samplesSet || m_count == 0)
            return m_samples;
    }
    return TrackingSequenceFile::read(path.value()).value_or(std::vector<TrackingSample>());
}

bool PlaybackTrackingStream::finished() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_finished;
}

bool PlaybackTrackingStream::waitUntilFinished(std::chrono::milliseconds timeout)
{
    if (isDeliveryThread())
    {
        Log::logf(Log::Error, kCategory, "Stream '{}': waitUntilFinished called by one of its own listeners", name());
        return false;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_finishedCondition.wait_for(lock, timeout, [this] { return m_finished; });
}

int64_t PlaybackTrackingStream::numDelivered() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_delivered;
}

std::string PlaybackTrackingStream::describe() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return fmt::format("{} ({}, playback of {} samples, {} delivered)", name(), stateName(state()), m_count,
                       m_delivered);
}

bool PlaybackTrackingStream::openImpl()
{
    bool fromFile = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        fromFile = !m_samplesSet;
    }
    const std::string file = path.value();
    if (fromFile && file.empty())
    {
        Log::logf(Log::Error, kCategory, "Stream '{}': no sequence file set (parameter 'path')", name());
        return false;
    }
    // A file is checked whole here, keeping only what playing needs (it is read again, frame by frame, as it plays),
    // so that a recording of any length plays in bounded memory.
    size_t count = 0;
    int64_t first = 0;
    int64_t last = 0;
    std::map<std::string, TrackerID> identities;
    if (fromFile)
    {
        TrackingSequenceReader reader(file);
        for (auto sample = reader.next(); sample; sample = reader.next(), ++count)
            (count == 0 ? first : last) = sample->timestampDevice;
        if (!reader.complete())
            return false; // the reader has logged the cause
        last = count > 1 ? last : first;
        identities = reader.identities();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!fromFile && !m_samples.empty())
    {
        count = m_samples.size();
        first = m_samples.front().timestampDevice;
        last = m_samples.back().timestampDevice;
    }
    m_count = count;
    m_identities = std::move(identities);
    if (m_count == 0)
    {
        Log::logf(Log::Error, kCategory, "Stream '{}': the recording holds no samples", name());
        return false;
    }
    // One pass lasts the recording plus one mean sample interval (1 ms at least, so that a recording whose
    // timestamps are all equal still advances the device clock between passes).
    const int64_t span = std::max<int64_t>(0, last - first);
    const int64_t interval = m_count > 1 ? span / int64_t(m_count - 1) : 0;
    m_passLength = std::max<int64_t>(1000, span + interval);
    return true;
}

std::optional<TrackingSample> PlaybackTrackingStream::nextSample()
{
    if (m_samplesSet)
        return m_samples[m_next];
    if (m_next == 0)
        m_reader = std::make_unique<TrackingSequenceReader>(path.value(), m_identities);
    return m_reader->next();
}

bool PlaybackTrackingStream::startImpl()
{
    const double factor = speed.value();
    if (!(factor > 0.0 && std::isfinite(factor)))
    {
        Log::logf(Log::Error, kCategory, "Stream '{}': speed {} is not a positive factor", name(), factor);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_speed = factor;
        m_freeRunning = freeRunning.value();
        m_loop = loop.value();
        m_next = 0;
        m_pending.reset();
        m_pass = 0;
        m_finished = false;
        m_reanchor = true;
    }
    return true;
}

bool PlaybackTrackingStream::resumeImpl()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reanchor = true;
    return true;
}

void PlaybackTrackingStream::announceFinished()
{
    m_finishedCondition.notify_all();
    signalFinished.emitSignal();
}

std::optional<Stream::WorkContinuation> PlaybackTrackingStream::doWork()
{
    using namespace std::chrono;
    TrackingSample sample;
    int64_t offset = 0;
    bool freeRun = false;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_finished || m_count == 0)
            return std::nullopt;
        if (!m_pending && !(m_pending = nextSample()))
        {
            // The file was checked at open; it changed or vanished since.
            Log::logf(Log::Error, kCategory, "Stream '{}': '{}' ended early, at sample {} of {}", name(), path.value(),
                      m_next, m_count);
            m_finished = true;
            lock.unlock();
            announceFinished();
            return std::nullopt;
        }
        offset = m_pass * m_passLength;
        const int64_t timestamp = m_pending->timestampDevice + offset;
        const auto now = steady_clock::now();
        const auto due = [&](int64_t deviceTime)
        { return m_anchorTime + microseconds(std::llround(double(deviceTime - m_anchorTimestamp) / m_speed)); };
        freeRun = m_freeRunning;
        if (!freeRun)
        {
            if (m_reanchor || now - due(timestamp) > kMaximumLag)
            {
                m_anchorTime = now;
                m_anchorTimestamp = timestamp;
                m_reanchor = false;
            }
            const auto when = due(timestamp);
            if (now < when)
                return WorkContinuation::after(duration_cast<microseconds>(when - now) + microseconds(1));
        }
        sample = std::move(*m_pending);
        m_pending.reset();
    }

    for (TrackingInstrument& instrument : sample.instruments)
        if (instrument.timestamp != 0)
            instrument.timestamp += offset;
    auto data = std::make_shared<TrackingStreamData>(this, std::move(sample.instruments));
    data->setTimestampDevice(sample.timestampDevice + offset);
    data->setTimestampArrival(StreamData::nowMicroseconds());
    emitStreamData(std::move(data));

    bool done = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_delivered;
        if (++m_next == m_count)
        {
            m_next = 0;
            ++m_pass;
            done = !m_loop;
            m_finished = done;
        }
    }
    if (done)
    {
        announceFinished();
        return std::nullopt;
    }
    // The next call waits for its due time itself; a free-running playback goes on at once.
    return WorkContinuation::immediately();
}

} // namespace Kelvaros
