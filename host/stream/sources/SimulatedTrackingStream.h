#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/Export.h"
#include "core/Parameter.h"
#include "stream/TrackingStream.h"
#include "stream/sources/TrackingSimulator.h"

namespace Kelvaros
{

/// The simulated tracker, the embedded default source: publishes the frames of a TrackingSimulator (instruments
/// "Pointer", "Needle", "Reference" with noisy fitted poses, qualities, dropouts, and the raw markers as
/// TrackingInstrumentFiducialsData) on its delivery thread.
///
/// Pacing: frame k is published at start + k / rate on the steady clock (the delivery thread sleeps with
/// WorkContinuation::after between frames; after a pause or a stall of more than 250 ms it restarts the schedule
/// from the current frame instead of bursting). With freeRunning the frames follow each other as fast as the
/// listeners take them. Either way the device timestamps are the simulator's exact clock (see TrackingSimulator),
/// and the frame counter continues across stop/start; open() and reset() rewind it to frame 0.
///
/// Settings (parameters, read by open(); changes take effect at the next open): rate (Hz, default 60), noise (mm
/// per axis on each marker, default 0.1), dropoutProbability (per tool and frame, default 0.01), scenario ("pivot",
/// "spin", "landmarks", "insertion"; default "pivot"; a valid scenario chosen while open takes over at the next
/// frame, the frame counter running on), seed (default 1), freeRunning (default false; read at every start).
/// Invalid settings make open() fail with an Error naming the setting.
///
/// Threads: parameters, simulator(), groundTruth(), numDelivered() and waitUntilDelivered() from any thread (the
/// last not from a listener of this stream).
class KELVAROS_API SimulatedTrackingStream : public TrackingStream
{
public:
    explicit SimulatedTrackingStream(std::string name = "Simulated Tracker");
    ~SimulatedTrackingStream() override;

    Parameter<double> rate{ "rate", 60.0, this };
    Parameter<double> noise{ "noise", 0.1, this };
    Parameter<double> dropoutProbability{ "dropoutProbability", 0.01, this };
    Parameter<std::string> scenario{ "scenario", "pivot", this };
    Parameter<int> seed{ "seed", 1, this };
    Parameter<bool> freeRunning{ "freeRunning", false, this };

    /// The simulator in use since the last open() (with the current parameters before the first open): its
    /// truePose, touchedLandmark and insertionDepth give the ground truth of each published frame, whose index is
    /// (timestampDevice of the sample) → frameForTimestamp().
    [[nodiscard]] TrackingSimulator simulator() const;
    /// The fixed geometry of the scenarios (tip offsets, axes, landmarks, phantom and reference poses, path).
    [[nodiscard]] static const TrackingSimulator::GroundTruth& groundTruth()
    {
        return TrackingSimulator::groundTruth();
    }
    /// The frame index whose device timestamp this is (for the current simulator), or -1 when none is.
    [[nodiscard]] int64_t frameForTimestamp(int64_t timestampDevice) const;

    /// Frames published since construction.
    [[nodiscard]] int64_t numDelivered() const;
    /// Waits until at least `count` frames have been published since construction; false on timeout or when
    /// called from a listener of this stream.
    bool waitUntilDelivered(int64_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));

    [[nodiscard]] std::string describe() const override;
    [[nodiscard]] bool supportsPausing() const override { return true; }
    /// Rewinds to frame 0 (the device clock restarts).
    void reset() override;

protected:
    bool openImpl() override;
    bool startImpl() override;
    bool resumeImpl() override;
    std::optional<WorkContinuation> doWork() override;

private:
    [[nodiscard]] TrackingSimulator::Settings currentSettings() const;

    mutable std::mutex m_mutex;
    std::condition_variable m_deliveredCondition;
    // Guarded by m_mutex.
    std::shared_ptr<const TrackingSimulator> m_simulator;
    int64_t m_nextFrame = 0;
    int64_t m_delivered = 0;
    bool m_freeRunning = false;
    bool m_reanchor = true;
    std::chrono::steady_clock::time_point m_anchorTime;
    int64_t m_anchorFrame = 0;
};

} // namespace Kelvaros
