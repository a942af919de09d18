#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "core/Signal.h"
#include "lib/points/PointsOnData.h"

namespace Kelvaros
{

class Data;
class Properties;
class TrackingStream;

/// The tracked half of a paired-point registration: positions sampled with a tracked instrument of a tracking
/// stream, stored in the frame they were sampled in (tracker space, or the frame of a reference instrument), in
/// millimetres. The set is a static record: points are never re-expressed when an instrument moves. It also
/// records which instrument the points are taken with (the tracking target) and, optionally, which instrument they
/// are relative to; the registration algorithm reads these ids to decide what to sample. An empty id selects no
/// instrument: an empty tracking target samples nothing, an empty reference id means "no reference".
///
/// The tracking target either follows the stream's main instrument (useMainInstrument, the default) or is set by
/// hand. Changing the target while points exist clears them (information in the log), since points of different
/// instruments do not belong together.
///
/// Configuration keys besides the host's point list: "trackingTargetId" (string), "trackingTargetRelId" (optional
/// string). Per-point record: "Point" (3-vector), "Name" (string).
///
/// Threads: points and the flag are changed on the user-interface thread (the stream's main-instrument signal is
/// emitted there as well). trackerId() and relativeTrackerId() may be read from any thread, for example by a
/// stream listener for every sample, while the user interface sets them: both ids are guarded by a mutex of this
/// object. The stream must outlive the set.
class PointsOnTrackingStream
  : public PointsOnData
  , public SignalReceiver
{
public:
    /// The name of a point captured with an uncalibrated tracking target.
    static constexpr const char* kUncalibratedName = "uncalibrated pointer";

    /// An empty set on `stream` whose tracking target is the stream's current main instrument, following it.
    explicit PointsOnTrackingStream(TrackingStream& stream);
    /// Copies points, names, flags, both ids and the follow flag; the copy does not follow main-instrument changes.
    PointsOnTrackingStream(const PointsOnTrackingStream& other);
    /// As the copy; the source keeps its own subscription.
    PointsOnTrackingStream(PointsOnTrackingStream&& other) noexcept;
    PointsOnTrackingStream& operator=(const PointsOnTrackingStream&) = delete;
    ~PointsOnTrackingStream() override;

    void configure(const Properties* properties) override;
    void configuration(Properties* properties) const override;

    /// Appends a point (tracker space or the reference frame, mm) unchanged with an empty name and the flag true,
    /// then emits signalPointsAdded(n - 1, n).
    void addWorldPoint(const Eigen::Vector3d& point);
    /// Appends a point sampled from the tracking target as addWorldPoint does; when the target had no calibration
    /// (`calibrated` false) the point is named kUncalibratedName, which the workspace keeps.
    void addCapturedPoint(const Eigen::Vector3d& point, bool calibrated);
    /// Whether a calibration locates a tip: anything but identity, which (like no calibration at all) leaves a
    /// sampled point at the origin of the instrument's marker frame.
    [[nodiscard]] static bool locatesTip(const Eigen::Matrix4d& calibration);
    /// Whether the tracking target's calibration on the stream locates its tip. Any thread.
    [[nodiscard]] bool targetCalibrated() const;
    /// How many of the first `count` points are named kUncalibratedName.
    [[nodiscard]] int uncalibratedCount(int count) const;
    /// Overwrites point `index` (negative: counted from the end) and emits signalPointsChanged(index, index + 1);
    /// an index out of range logs "setWorldPoint: invalid index <index>" and changes nothing.
    void setWorldPoint(const Eigen::Vector3d& point, int index);

    [[nodiscard]] const std::vector<Eigen::Vector3d>& allPoints() const override { return m_points; }
    /// The stream.
    [[nodiscard]] const Data* data() const override;
    /// Removes [first, last) clamped to the points and emits signalPointsRemoved with the clamped range (nothing
    /// for an empty range).
    void remove(int first, int last) override;
    void configurePoint(const Properties* properties) override;
    void pointConfiguration(Properties* properties, int index) const override;
    /// The stream's world (registration) matrix: tracker space → world.
    [[nodiscard]] Eigen::Matrix4d pointsToWorld() const override;

    [[nodiscard]] TrackingStream& trackingStream() const { return m_stream; }

    /// Id (TrackerID::ID) of the tracking target. Any thread.
    [[nodiscard]] std::string trackerId() const;
    /// Sets the tracking target when useMainInstrument() is false; otherwise logs the error "Main instrument is
    /// used. Cannot set tracker ID manually." and keeps the old id. Points are not touched.
    void setTrackerId(std::string id);
    /// Id of the reference instrument; empty for plain tracker coordinates, never an empty string. Any thread.
    [[nodiscard]] std::optional<std::string> relativeTrackerId() const;
    /// Sets the reference instrument; an empty optional or an empty id clears it (an empty id names no
    /// instrument). Points are not touched.
    void setRelativeTrackerId(std::optional<std::string> id);

    [[nodiscard]] bool useMainInstrument() const { return m_useMainInstrument; }
    /// Stores the flag and makes the stream's current main instrument the tracking target (also when switching
    /// the flag off, so that it becomes the starting value of the manual id), clearing the points first when that
    /// changes the target.
    void setUseMainInstrument(bool flag);

private:
    void onMainInstrumentChanged(const std::string& id);
    /// Makes `id` the tracking target, clearing the points (with a log line) when it differs from the current one.
    void changeTarget(const std::string& id);
    /// Nothing to do: the points are a record of sampled positions and never follow an instrument.
    void updateWorldPoints() override;

    TrackingStream& m_stream;
    std::atomic<bool> m_useMainInstrument{ true };
    mutable std::mutex m_idMutex; // guards m_trackerId and m_relativeTrackerId
    std::string m_trackerId;
    std::optional<std::string> m_relativeTrackerId;
    std::vector<Eigen::Vector3d> m_points;
};

} // namespace Kelvaros
