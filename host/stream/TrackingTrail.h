#pragma once

#include <cstdint>
#include <deque>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"

namespace Kelvaros
{

/// The tip positions of a tracking stream's instruments over time, in tracker space: the one trail that every view of
/// the stream draws. Kept while the stream's TrackingStreamDisplayOptions ask for one; a trail starts afresh whenever
/// its kind is chosen, so that a recording shows the tip since it began.
///
/// Each tip carries the sequence number of its sample, so that views drawing one snapshot draw the same trail however
/// many samples arrived meanwhile. Bounded: kMaxTips per instrument (about half an hour at 60 Hz), the oldest dropped,
/// so that a forgotten recording cannot exhaust the memory.
///
/// Thread-safe: written on the stream's delivery thread, chosen from any thread, read when drawing.
class KELVAROS_API TrackingTrail
{
public:
    static constexpr size_t kMaxTips = 100000;
    /// A LastSecond trail is drawn over this span before its sample, microseconds.
    static constexpr int64_t kLastSecondUs = 1000000;

    /// Sets the kind (a TrackingStreamDisplayOptions::PathDisplay value); another kind than before clears the trail.
    /// True when it did.
    bool choose(int pathDisplay);
    [[nodiscard]] int kind() const;
    /// Drops every tip, keeping the kind.
    void clear();
    /// Appends an instrument's tip from the sample with this sequence number and arrival time (microseconds); a
    /// LastSecond trail drops the tips that no snapshot still drawn can want.
    void append(size_t instrument, uint64_t sequence, int64_t timeUs, const Eigen::Vector3d& tip_Tracker);
    /// Increases whenever what a view would draw changed: a tip appended away from the last one, tips dropped that
    /// were not where the next one is, or a clear.
    [[nodiscard]] uint64_t version() const;
    /// Each instrument's tips from samples up to `sequence`, oldest first, from `sinceUs` on; instruments without a
    /// tip are left out.
    [[nodiscard]] std::vector<std::vector<Eigen::Vector3d>> tips(
      uint64_t sequence, int64_t sinceUs = std::numeric_limits<int64_t>::min()) const;

private:
    struct Tip
    {
        uint64_t sequence = 0;
        int64_t timeUs = 0;
        Eigen::Vector3d position;
    };

    /// Drops a LastSecond trail's old tips; called with the mutex held.
    void dropOld(std::deque<Tip>& tips, int64_t nowUs);

    mutable std::mutex m_mutex;
    int m_kind = 0;
    uint64_t m_version = 0;
    std::vector<std::deque<Tip>> m_tips; // by the instrument's index in the snapshot
};

} // namespace Kelvaros
