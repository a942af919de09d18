#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/Export.h"
#include "core/Parameter.h"
#include "stream/TrackingStream.h"
#include "stream/io/TrackingSample.h"

namespace Kelvaros
{

class TrackingSequenceReader;

/// Plays a tracking recording (a sequence file, or samples handed over by the program) as a live source.
///
/// A file is checked whole by open() and then read again as it plays, one sample at a time, so that memory does not
/// grow with the length of the recording.
///
/// Each published sample carries the recorded instruments and device timestamp; the arrival timestamp is taken
/// when it is published. Pacing follows the recorded device timestamps divided by `speed` (2 = twice as fast) on
/// the steady clock; with freeRunning the samples follow each other as fast as the listeners take them. Recorded
/// timestamps that go backwards are published at once. After a pause or a stall of more than 250 ms the schedule
/// restarts from the current sample instead of bursting.
///
/// With `loop`, playback starts over after the last sample; the device timestamps of pass n are shifted by n times
/// the recording's length plus one mean sample interval, so the device clock keeps moving forward. Without it the
/// delivery thread ends after the last sample (the state stays Running) and finished() turns true.
///
/// start() plays from the first sample; pause/resume continue where playback was.
///
/// Settings (parameters): path (sequence file read by open() unless samples were set with setSamples), speed
/// (factor, > 0, default 1), freeRunning (default false), loop (default false); speed, freeRunning and loop are
/// read at every start.
///
/// Threads: setSamples from the user-interface thread while the stream is Closed or Opened (it is refused while
/// Running or Paused); the rest from any thread; waitUntilFinished not from a listener of this stream.
class KELVAROS_API PlaybackTrackingStream : public TrackingStream
{
public:
    explicit PlaybackTrackingStream(std::string name = "Playback");
    ~PlaybackTrackingStream() override;

    Parameter<std::string> path{ "path", std::string(), this };
    Parameter<double> speed{ "speed", 1.0, this };
    Parameter<bool> freeRunning{ "freeRunning", false, this };
    Parameter<bool> loop{ "loop", false, this };

    /// Plays these samples instead of the file at `path`. False (with an Error) while the stream is started.
    bool setSamples(std::vector<TrackingSample> samples);
    /// The samples that are played (after open(): read from the file again when none were set).
    [[nodiscard]] std::vector<TrackingSample> samples() const;

    /// True once the last sample was published without loop.
    [[nodiscard]] bool finished() const;
    /// Waits until finished(); false on timeout or when called from a listener of this stream.
    bool waitUntilFinished(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// Emitted once finished() turned true, on the delivery thread, so that a waiter need not poll.
    SignalImpl<> signalFinished;
    /// Samples published since construction.
    [[nodiscard]] int64_t numDelivered() const;

    [[nodiscard]] std::string describe() const override;
    [[nodiscard]] bool supportsPausing() const override { return true; }

protected:
    bool openImpl() override;
    bool startImpl() override;
    bool resumeImpl() override;
    std::optional<WorkContinuation> doWork() override;

private:
    /// The sample at m_next: from the samples set, or read from the file (a new pass reopens it). Needs m_mutex.
    std::optional<TrackingSample> nextSample();
    /// Wakes waitUntilFinished and emits signalFinished; without m_mutex.
    void announceFinished();

    mutable std::mutex m_mutex;
    std::condition_variable m_finishedCondition;
    // Guarded by m_mutex.
    std::vector<TrackingSample> m_samples;
    bool m_samplesSet = false;
    // A file is read as it plays: one sample waits in m_pending until it is due.
    std::unique_ptr<TrackingSequenceReader> m_reader;
    std::map<std::string, TrackerID> m_identities;
    std::optional<TrackingSample> m_pending;
    size_t m_count = 0;
    size_t m_next = 0;
    int64_t m_pass = 0;
    int64_t m_passLength = 0;
    int64_t m_delivered = 0;
    bool m_finished = false;
    bool m_reanchor = true;
    bool m_freeRunning = false;
    bool m_loop = false;
    double m_speed = 1.0;
    std::chrono::steady_clock::time_point m_anchorTime;
    int64_t m_anchorTimestamp = 0;
};

} // namespace Kelvaros
