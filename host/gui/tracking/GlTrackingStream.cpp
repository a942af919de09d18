#include "gui/tracking/GlTrackingStream.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "gl/StateGuard.h"
#include "gl/VertexBuffer.h"
#include "gui/controller/QtHelpers.h"
#include "gui/scene/SceneDrawing.h"
#include "gui/view/FrameClock.h"
#include "stream/LatestTrackingSample.h"
#include "stream/TrackingSnapshot.h"
#include "stream/TrackingStream.h"
#include "stream/TrackingStreamDisplayOptions.h"

namespace Kelvaros
{
namespace
{
constexpr int kDynamicDraw = 35048;

const Eigen::Vector4d kAxisColors[3] = { { 0.95, 0.25, 0.2, 1.0 }, { 0.25, 0.9, 0.25, 1.0 }, { 0.3, 0.5, 1.0, 1.0 } };
const Eigen::Vector4d kNotSeenColor(0.62, 0.36, 0.36, 1.0);
const Eigen::Vector4d kTipColor(1.0, 0.9, 0.3, 1.0);
const Eigen::Vector4d kLabelColor(0.95, 0.95, 0.95, 1.0);
const Eigen::Vector4d kTrailColor(1.0, 0.6, 0.1, 1.0);
constexpr double kAxisWidth = 3.0;
constexpr double kNotSeenAxisWidth = 2.0;
constexpr double kTrailWidth = 2.0;
constexpr double kTipDiameter = 7.0;
} // namespace

GlTrackingStream::GlTrackingStream(TrackingStream& stream)
  : GlObject(stream.name()),
    m_stream(stream),
    m_options(TrackingStreamDisplayOptions::of(stream)),
    m_latest(stream.latest()),
    m_buffer(std::make_unique<GL::VertexBuffer>(kDynamicDraw))
{
    const std::shared_ptr<const TrackingSnapshot> now = m_latest.snapshot();
    m_madeAt = now->sequence;
    for (const TrackingSnapshot::Instrument& instrument : now->instruments)
        if (!instrument.lastRecordSeen)
            m_unusableWhenMade.push_back(instrument.id.ID());
    m_latest.choosePathDisplay(m_options.pathDisplay());
    stream.signalMatrixChanged.connect(static_cast<SignalReceiver*>(this), [this] { requestRedraw(); });
    m_options.signalChanged.connect(this, &GlTrackingStream::onOptionsChanged);
}

GlTrackingStream::~GlTrackingStream()
{
    // After this no listener runs, so no call is queued any more; one still queued is cancelled.
    disconnectAll();
    std::shared_ptr<QtHelpers::MainThreadCall> queued;
    {
        std::lock_guard<std::mutex> lock(m_redrawMutex);
        queued = std::move(m_redrawCall);
    }
    if (queued)
        queued->cancel();
    if (m_clock)
        m_clock->unwatch(*this);
}

void GlTrackingStream::setNamesWithStream(bool withStream)
{
    if (withStream == m_namesWithStream)
        return;
    m_namesWithStream = withStream;
    changed();
}

void GlTrackingStream::showFrame(std::shared_ptr<const TrackingSnapshot> snapshot, bool stale, bool changedShown)
{
    m_frame = std::move(snapshot);
    m_frameStale = stale;
    if (changedShown)
        changed();
}

void GlTrackingStream::setFrameClock(FrameClock* clock)
{
    m_clock = clock;
    if (!clock)
        m_frame.reset();
}

GlTrackingStream::Frame GlTrackingStream::currentFrame() const
{
    if (m_frame)
        return { m_frame, m_frameStale };
    Frame newest{ m_latest.snapshot(), false };
    newest.stale = std::chrono::steady_clock::now() - newest.snapshot->arrival >= kTrackingStaleAfter;
    return newest;
}

std::vector<GlTrackingStream::InstrumentPose> GlTrackingStream::instrumentPoses() const
{
    return posesOf(currentFrame());
}

std::vector<std::vector<Eigen::Vector3d>> GlTrackingStream::trails() const
{
    return trailsOf(currentFrame());
}

std::vector<GlTrackingStream::InstrumentPose> GlTrackingStream::posesOf(const Frame& frame) const
{
    const Eigen::Matrix4d registration = m_stream.matrix();
    std::vector<InstrumentPose> poses;
    for (const TrackingSnapshot::Instrument& instrument : frame.snapshot->instruments)
    {
        const bool unusableWhenMade = std::find(m_unusableWhenMade.begin(), m_unusableWhenMade.end(),
                                                instrument.id.ID()) != m_unusableWhenMade.end();
        if (instrument.everSeen && (!unusableWhenMade || instrument.lastSeenSequence > m_madeAt))
            poses.push_back(
              { instrument.id, registration * instrument.toolToTracker, instrument.seen && !frame.stale });
    }
    return poses;
}

std::vector<std::vector<Eigen::Vector3d>> GlTrackingStream::trailsOf(const Frame& frame) const
{
    const int pathDisplay = m_options.pathDisplay();
    if (pathDisplay == TrackingStreamDisplayOptions::NoPath)
        return {};
    const int64_t since = pathDisplay == TrackingStreamDisplayOptions::LastSecond
                            ? frame.snapshot->arrivalUs - TrackingTrail::kLastSecondUs
                            : std::numeric_limits<int64_t>::min();
    std::vector<std::vector<Eigen::Vector3d>> trails = m_latest.trail().tips(frame.snapshot->sequence, since);
    const Eigen::Matrix4d registration = m_stream.matrix();
    for (std::vector<Eigen::Vector3d>& trail : trails)
        for (Eigen::Vector3d& tip : trail)
            tip = SceneDrawing::toWorld(registration, tip);
    return trails;
}

// Any thread.
void GlTrackingStream::onOptionsChanged()
{
    // A trail starts afresh whenever its kind is chosen: a recording shows the tip since it began.
    m_latest.choosePathDisplay(m_options.pathDisplay());
    requestRedraw();
}

void GlTrackingStream::requestRedraw()
{
    if (QtHelpers::isMainThread())
    {
        changed();
        return;
    }
    if (m_redrawPending.exchange(true))
        return;
    std::lock_guard<std::mutex> lock(m_redrawMutex);
    m_redrawCall = QtHelpers::runOnMainThread(
      [this]
      {
          m_redrawPending = false;
          changed();
      });
}

void GlTrackingStream::render(const RenderInfo& info)
{
    const Frame frame = currentFrame();
    m_drawnSequence = frame.snapshot->sequence;
    const int instrumentDisplay = m_options.instrumentDisplay();
    const std::vector<std::vector<Eigen::Vector3d>> paths = trailsOf(frame);
    if (instrumentDisplay == TrackingStreamDisplayOptions::NoInstruments && paths.empty())
        return;
    GL::StateGuard guard;
    // A tip moves along and inside the anatomy, where the volume's planes would hide its trail.
    SceneDrawing::prepare(info, true, 1.0);
    for (const std::vector<Eigen::Vector3d>& trail : paths)
        renderTrail(info, trail);
    SceneDrawing::prepare(info, false, 1.0);
    if (instrumentDisplay == TrackingStreamDisplayOptions::NoInstruments)
        return;
    const double axisLength = m_options.axisLength();
    for (const InstrumentPose& instrument : posesOf(frame))
        renderInstrument(info, instrument, axisLength, instrumentDisplay == TrackingStreamDisplayOptions::AxesAndNames);
}

void GlTrackingStream::renderInstrument(const RenderInfo& info, const InstrumentPose& instrument, double axisLength,
                                        bool names)
{
    const Eigen::Vector3d tip = instrument.toolToWorld.topRightCorner<3, 1>();
    for (int axis = 0; axis < 3; ++axis)
    {
        const Eigen::Vector3d end =
          SceneDrawing::toWorld(instrument.toolToWorld, axisLength * Eigen::Vector3d::Unit(axis));
        const std::vector<Eigen::Vector3d> shown = SceneDrawing::visibleSegments(info, { tip, end }, false);
        if (!shown.empty())
            SceneDrawing::drawLines(*m_buffer, info, shown, instrument.seen ? kAxisColors[axis] : kNotSeenColor,
                                    instrument.seen ? kAxisWidth : kNotSeenAxisWidth);
    }
    const std::optional<Eigen::Vector3d> tipShown = SceneDrawing::shownAt(info, tip);
    if (!tipShown)
        return;
    std::vector<Eigen::Vector3d> disc;
    SceneDrawing::appendDisc(info, *tipShown, kTipDiameter, disc);
    // The tip stays visible inside a volume's planes or a mesh, where its axes are hidden.
    SceneDrawing::prepare(info, true, 1.0);
    SceneDrawing::drawTriangles(*m_buffer, info, disc, instrument.seen ? kTipColor : kNotSeenColor);
    SceneDrawing::prepare(info, false, 1.0);
    if (!names)
        return;
    std::string name = instrument.id.name().empty() ? instrument.id.ID() : instrument.id.name();
    if (m_namesWithStream)
        name += " (" + m_stream.name() + ")";
    SceneDrawing::drawLabel(info, instrument.seen ? name : name + " (not seen)", *tipShown,
                            instrument.seen ? kLabelColor : kNotSeenColor);
}

void GlTrackingStream::renderTrail(const RenderInfo& info, const std::vector<Eigen::Vector3d>& trail)
{
    const std::vector<Eigen::Vector3d> shown = SceneDrawing::visibleSegments(info, trail, false);
    if (!shown.empty())
        SceneDrawing::drawLines(*m_buffer, info, shown, kTrailColor, kTrailWidth);
}

Eigen::AlignedBox3d GlTrackingStream::bounds() const
{
    Eigen::AlignedBox3d box;
    const double reach = m_options.axisLength();
    for (const InstrumentPose& instrument : instrumentPoses())
    {
        const Eigen::Vector3d tip = instrument.toolToWorld.topRightCorner<3, 1>();
        box.extend(tip - Eigen::Vector3d::Constant(reach));
        box.extend(tip + Eigen::Vector3d::Constant(reach));
    }
    return box;
}

} // namespace Kelvaros
