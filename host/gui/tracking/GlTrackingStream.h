#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QElapsedTimer>

#include <Eigen/Core>

#include "core/Signal.h"
#include "gui/scene/GlObject.h"
#include "stream/TrackerID.h"

class QTimer;

namespace Kelvaros
{

namespace GL
{
class VertexBuffer;
}
class StreamData;
struct TrackingInstrument;
class TrackingStream;
class TrackingStreamDisplayOptions;

/// Draws the instruments of a tracking stream as its TrackingStreamDisplayOptions say: each instrument's
/// calibrated pose (the stream's InstrumentCalibrationDataComponent applied) as an axis triad, red x, green y,
/// blue z, with its name; an instrument that is not seen (missing from the latest sample, untracked or of quality
/// 0, or the latest sample older than kStaleAfterMs) in grey-red at its last seen place with "(not seen)"; and the
/// trail of tip positions. Everything is placed
/// in world space by the stream's registration (Data::matrix), read at each frame. Slice views show the parts of
/// the axes and of the trail within the slab, and the tip where it lies within it.
///
/// Threads: the stream's samples arrive on its thread and are kept under this object's mutex; a change asks for a
/// repaint (changed()) through a queued call on the main thread, at most once per display frame. Everything
/// else, construction and destruction included, on the main thread. The stream and its display options component
/// must outlive this object.
class KELVAROS_API GlTrackingStream
  : public GlObject
  , public SignalReceiver
{
public:
    /// Drawn as the stream's display options say (the component is added when missing).
    explicit GlTrackingStream(TrackingStream& stream);
    ~GlTrackingStream() override;

    [[nodiscard]] TrackingStream& stream() const { return m_stream; }
    /// Whether each instrument's name is followed by the stream's, so that tools of several trackers that share
    /// names (two pointers) are told apart. Off by default.
    void setNamesWithStream(bool withStream);

    /// One instrument as it is drawn.
    struct InstrumentPose
    {
        TrackerID id;
        /// Calibrated tool frame → world (registration · pose · calibration).
        Eigen::Matrix4d toolToWorld = Eigen::Matrix4d::Identity();
        /// In the latest sample, tracked and of quality above 0, and that sample is recent.
        bool seen = false;
    };
    /// A stream whose samples stopped this long ago sees nothing: its last sample says nothing of now.
    static constexpr int kStaleAfterMs = 250;
    /// Every instrument seen at least once, in the order they first appeared, at its last seen pose.
    [[nodiscard]] std::vector<InstrumentPose> instrumentPoses() const;
    /// The trail of each instrument that has one: world tip positions, oldest first, as the path display wants.
    [[nodiscard]] std::vector<std::vector<Eigen::Vector3d>> trails() const;

    void render(const RenderInfo& info) override;
    [[nodiscard]] Eigen::AlignedBox3d bounds() const override;

private:
    struct TipSample
    {
        int64_t time = 0; // microseconds of the arrival clock
        Eigen::Vector3d tip_Tracker;
    };
    struct Instrument
    {
        TrackerID id;
        Eigen::Matrix4d toolToTracker = Eigen::Matrix4d::Identity(); // last seen, calibration applied
        bool everSeen = false;
        bool seen = false;
        std::deque<TipSample> trail;
    };

    void onStreamData(const std::shared_ptr<const StreamData>& data);
    void onOptionsChanged();
    void seedFromStream();
    /// Takes one instrument of a sample (under the mutex) and returns its record.
    Instrument& noteInstrument(const TrackingInstrument& measured, int64_t time);
    [[nodiscard]] Eigen::Matrix4d calibrated(const std::string& id, const Eigen::Matrix4d& pose) const;
    /// Any thread: schedules changed() on the main thread unless one is already scheduled.
    void requestRedraw();

    void renderInstrument(const RenderInfo& info, const InstrumentPose& instrument, double axisLength, bool names);
    void renderTrail(const RenderInfo& info, const std::vector<Eigen::Vector3d>& trail);

    TrackingStream& m_stream;
    TrackingStreamDisplayOptions& m_options;

    /// Guards the members below it up to the redraw state; written on the stream's thread, read when drawing.
    mutable std::mutex m_mutex;
    std::vector<Instrument> m_instruments;
    int m_pathDisplay = 0;

    std::atomic<bool> m_redrawPending{ false };
    std::unique_ptr<QTimer> m_redrawTimer; // main thread; also the context of the queued calls
    QElapsedTimer m_sinceRedraw;           // main thread
    std::unique_ptr<QTimer> m_staleTimer;  // main thread: one redraw once the samples stopped
    std::unique_ptr<GL::VertexBuffer> m_buffer;
    bool m_namesWithStream = false; // main thread
};

} // namespace Kelvaros
