#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"
#include "stream/TrackerID.h"

namespace Kelvaros
{

/// A stream whose newest sample is this old says nothing of now: its instruments count as not seen and the figures
/// resting on their poses as stale. The one rule of the views, the status bar, the tracking panel and the plug-in.
inline constexpr std::chrono::milliseconds kTrackingStaleAfter{ 250 };

/// What a tracking stream's newest sample says, as LatestTrackingSample publishes it: immutable once published, so
/// every reader of one snapshot sees the same sample.
struct KELVAROS_API TrackingSnapshot
{
    /// One instrument seen at least once by the stream, or named in one of its samples.
    struct Instrument
    {
        TrackerID id;
        /// Calibrated tool frame → tracker space (pose · calibration) at the last sample that saw it.
        Eigen::Matrix4d toolToTracker = Eigen::Matrix4d::Identity();
        /// In this sample, tracked and of quality above 0.
        bool seen = false;
        /// The quality of its newest record: a reader with a threshold of its own judges the pose by it.
        double quality = 0.0;
        /// Some sample saw it, so toolToTracker holds a pose.
        bool everSeen = false;
        /// Whether the instrument's newest record (in whichever sample last named it) was usable.
        bool lastRecordSeen = false;
        /// The sequence number of the last sample that saw it (0: none).
        uint64_t lastSeenSequence = 0;
    };

    /// Increases by one per sample (and when the stream forgets its instruments); 0 before the first.
    uint64_t sequence = 0;
    /// When the sample reached the stream (steady clock); the epoch before the first.
    std::chrono::steady_clock::time_point arrival;
    /// The sample's arrival timestamp (microseconds of StreamData's clock), the time base of the trail.
    int64_t arrivalUs = 0;
    /// Increases whenever the stream's trail changes in a way that shows.
    uint64_t trailVersion = 0;
    /// In the order the instruments first appeared.
    std::vector<Instrument> instruments;

    /// Whether the two draw the same: the same instruments at the same poses with the same seen flags, and the same
    /// trail.
    [[nodiscard]] bool showsSameAs(const TrackingSnapshot& other) const;
};

} // namespace Kelvaros
