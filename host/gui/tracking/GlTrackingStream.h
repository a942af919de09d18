#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "core/Signal.h"
#include "gui/scene/GlObject.h"
#include "stream/TrackerID.h"

namespace Kelvaros
{

namespace GL
{
class VertexBuffer;
}
namespace QtHelpers
{
class MainThreadCall;
}
class FrameClock;
class LatestTrackingSample;
class TrackingStream;
class TrackingStreamDisplayOptions;
struct TrackingSnapshot;

/// Draws the instruments of a tracking stream as its TrackingStreamDisplayOptions say: each instrument's
/// calibrated pose (the stream's InstrumentCalibrationDataComponent applied) as an axis triad, red x, green y,
/// blue z, with its name; an instrument that is not seen (missing from the sample, untracked or of quality 0, or the
/// sample older than kTrackingStaleAfter) in grey-red at its last seen place with "(not seen)"; and the stream's trail
/// of tip positions. Everything is placed in world space by the stream's registration (Data::matrix), read at each
/// frame. Slice views show the parts of the axes and of the trail within the slab, and the tip where it lies within
/// it.
///
/// It keeps no copy of the samples: it draws the snapshot of the stream's LatestTrackingSample that its view's
/// FrameClock fixed for the frame, so that every view of a display shows the same sample; without a clock, the
/// newest one.
///
/// Threads: main thread, construction and destruction included; the display options and the registration may change
/// on any thread. The stream and its display options component must outlive this object.
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
        /// In the sample, tracked and of quality above 0, and that sample is recent.
        bool seen = false;
    };
    /// Every instrument seen at least once, in the order they first appeared, at its last seen pose. An object made
    /// while an instrument's newest record is unusable leaves it out until it is seen again.
    [[nodiscard]] std::vector<InstrumentPose> instrumentPoses() const;
    /// The trail of each instrument that has one: world tip positions, oldest first, as the path display wants.
    [[nodiscard]] std::vector<std::vector<Eigen::Vector3d>> trails() const;
    /// The sequence number of the sample the last render drew (frame statistics and tests).
    [[nodiscard]] uint64_t drawnSequence() const { return m_drawnSequence; }

    /// The frame to draw from now on, as the clock fixed it: this snapshot, stale or not; `changed`: it shows
    /// something else than the last one (a repaint is asked for). Null: the newest snapshot at each call.
    void showFrame(std::shared_ptr<const TrackingSnapshot> snapshot, bool stale, bool changed);
    /// The clock that calls showFrame (null: none); set by the clock itself.
    void setFrameClock(FrameClock* clock);

    void render(const RenderInfo& info) override;
    [[nodiscard]] Eigen::AlignedBox3d bounds() const override;

private:
    struct Frame
    {
        std::shared_ptr<const TrackingSnapshot> snapshot;
        bool stale = false;
    };

    [[nodiscard]] Frame currentFrame() const;
    [[nodiscard]] std::vector<InstrumentPose> posesOf(const Frame& frame) const;
    [[nodiscard]] std::vector<std::vector<Eigen::Vector3d>> trailsOf(const Frame& frame) const;
    void onOptionsChanged();
    /// Any thread: changed() on the main thread, at once there.
    void requestRedraw();

    void renderInstrument(const RenderInfo& info, const InstrumentPose& instrument, double axisLength, bool names);
    void renderTrail(const RenderInfo& info, const std::vector<Eigen::Vector3d>& trail);

    TrackingStream& m_stream;
    TrackingStreamDisplayOptions& m_options;
    LatestTrackingSample& m_latest;
    /// The newest sample when this object was made, and the instruments whose record was unusable then.
    uint64_t m_madeAt = 0;
    std::vector<std::string> m_unusableWhenMade;

    FrameClock* m_clock = nullptr;
    std::shared_ptr<const TrackingSnapshot> m_frame; // null without a clock
    bool m_frameStale = false;
    uint64_t m_drawnSequence = 0;

    std::atomic<bool> m_redrawPending{ false };
    std::shared_ptr<QtHelpers::MainThreadCall> m_redrawCall; // under m_redrawMutex
    std::mutex m_redrawMutex;
    std::unique_ptr<GL::VertexBuffer> m_buffer;
    bool m_namesWithStream = false;
};

} // namespace Kelvaros
