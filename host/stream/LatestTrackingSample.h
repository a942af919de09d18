#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "core/Export.h"
#include "stream/TrackingSnapshot.h"
#include "stream/TrackingTrail.h"

namespace Kelvaros
{

class TrackingStream;
class TrackingStreamData;
struct TrackingInstrument;

/// The newest sample of one tracking stream, for everything that shows "now" rather than every sample: each
/// instrument's calibrated pose computed once per sample, its seen flag and last seen pose, the sample's sequence
/// number and arrival time, and the stream's trail. The stream owns it (TrackingStream::latest()).
///
/// Threads: written on the stream's delivery thread (note, from noteEmitted); read from any thread. A sample
/// publishes an immutable TrackingSnapshot, swapped in under a mutex held only to copy a shared pointer, so that a
/// reader never waits for a sample's work and the delivery thread never waits for a reader's drawing; a seqlock
/// would spare the pointer copy but hand readers a torn vector of instruments to retry. sequence() is an atomic,
/// so a display polls it every frame without a lock.
class KELVAROS_API LatestTrackingSample
{
public:
    explicit LatestTrackingSample(TrackingStream& stream);
    ~LatestTrackingSample();
    LatestTrackingSample(const LatestTrackingSample&) = delete;
    LatestTrackingSample& operator=(const LatestTrackingSample&) = delete;

    /// The sequence number of the newest snapshot. Any thread, lock-free.
    [[nodiscard]] uint64_t sequence() const { return m_sequence.load(std::memory_order_acquire); }
    /// The newest snapshot (never null). Any thread.
    [[nodiscard]] std::shared_ptr<const TrackingSnapshot> snapshot() const;
    [[nodiscard]] const TrackingTrail& trail() const { return m_trail; }
    /// Chooses the trail's kind (a TrackingStreamDisplayOptions::PathDisplay value); another kind clears it. Any
    /// thread.
    void choosePathDisplay(int pathDisplay);

    /// Calls `wake` once, on the delivering thread, at the first sample whose sequence number is above `after` (at
    /// once, on this thread, when there is one already), replacing what `key` asked for before. Meant for a display
    /// that sleeps while nothing arrives. Any thread.
    void wakeAfter(const void* key, uint64_t after, std::function<void()> wake);
    /// Forgets what `key` asked for; a wake already running may still end after this returns. Any thread.
    void cancelWake(const void* key);

    /// Takes a published sample. The stream's delivery thread.
    void note(const TrackingStreamData& sample);
    /// Forgets every instrument (a source that reconnected to another device).
    void clear();

private:
    /// Publishes the next snapshot; called with m_writeMutex held.
    void publish(std::shared_ptr<TrackingSnapshot> next);
    void cancelWakeLocked(const void* key);
    /// Takes one instrument of a sample into the snapshot being built.
    void noteInstrument(TrackingSnapshot& next, const TrackingInstrument& measured);

    TrackingStream& m_stream;
    TrackingTrail m_trail;
    std::mutex m_writeMutex; // one writer at a time: delivery thread, clear()
    mutable std::mutex m_publishMutex;
    std::shared_ptr<const TrackingSnapshot> m_snapshot;
    std::atomic<uint64_t> m_sequence{ 0 };
    std::mutex m_wakeMutex;
    std::vector<std::pair<const void*, std::function<void()>>> m_wakes;
};

} // namespace Kelvaros
