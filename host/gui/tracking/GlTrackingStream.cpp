#include "gui/tracking/GlTrackingStream.h"

#include <algorithm>

#include <QTimer>

#include "gl/StateGuard.h"
#include "gl/VertexBuffer.h"
#include "gui/scene/SceneDrawing.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"
#include "stream/TrackingStreamDisplayOptions.h"

namespace Kelvaros
{
namespace
{
constexpr int kDynamicDraw = 35048;
constexpr qint64 kFrameMs = 16;
constexpr int64_t kLastSecondUs = 1000000;
// A recording trail keeps this many tip positions per instrument (about half an hour at 60 Hz), dropping the
// oldest, so that a forgotten recording display cannot exhaust the memory.
constexpr size_t kMaxTrail = 100000;

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
    m_redrawTimer(std::make_unique<QTimer>()),
    m_staleTimer(std::make_unique<QTimer>()),
    m_buffer(std::make_unique<GL::VertexBuffer>(kDynamicDraw))
{
    seedFromStream();
    m_pathDisplay = m_options.pathDisplay();
    m_redrawTimer->setSingleShot(true);
    m_staleTimer->setSingleShot(true);
    // A coarse timer may fire a few percent early, while the last sample still counts as recent, and no redraw
    // would follow.
    m_staleTimer->setTimerType(Qt::PreciseTimer);
    QObject::connect(m_staleTimer.get(), &QTimer::timeout, [this] { changed(); });
    QObject::connect(m_redrawTimer.get(), &QTimer::timeout,
                     [this]
                     {
                         m_redrawPending = false;
                         m_sinceRedraw.start();
                         // Each redraw of a delivering stream puts off the one that greys its instruments.
                         m_staleTimer->start(kStaleAfterMs + 1);
                         changed();
                     });
    stream.signalStreamData.connect(this, &GlTrackingStream::onStreamData);
    stream.signalMatrixChanged.connect(static_cast<SignalReceiver*>(this), [this] { requestRedraw(); });
    m_options.signalChanged.connect(this, &GlTrackingStream::onOptionsChanged);
}

GlTrackingStream::~GlTrackingStream()
{
    // The listeners use the members below; after this no listener runs, so no call is queued any more, and the
    // timer takes the queued ones with it.
    disconnectAll();
}

void GlTrackingStream::setNamesWithStream(bool withStream)
{
    if (withStream == m_namesWithStream)
        return;
    m_namesWithStream = withStream;
    changed();
}

std::vector<GlTrackingStream::InstrumentPose> GlTrackingStream::instrumentPoses() const
{
    const Eigen::Matrix4d registration = m_stream.matrix();
    const auto lastSample = m_stream.lastSampleTime();
    const bool fresh =
      lastSample && std::chrono::steady_clock::now() - *lastSample < std::chrono::milliseconds(kStaleAfterMs);
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<InstrumentPose> poses;
    for (const Instrument& instrument : m_instruments)
        if (instrument.everSeen)
            poses.push_back({ instrument.id, registration * instrument.toolToTracker, instrument.seen && fresh });
    return poses;
}

std::vector<std::vector<Eigen::Vector3d>> GlTrackingStream::trails() const
{
    const Eigen::Matrix4d registration = m_stream.matrix();
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::vector<Eigen::Vector3d>> trails;
    for (const Instrument& instrument : m_instruments)
    {
        if (instrument.trail.empty())
            continue;
        std::vector<Eigen::Vector3d>& trail = trails.emplace_back();
        trail.reserve(instrument.trail.size());
        for (const TipSample& sample : instrument.trail)
            trail.push_back(SceneDrawing::toWorld(registration, sample.tip_Tracker));
    }
    return trails;
}

// Stream thread.
void GlTrackingStream::onStreamData(const std::shared_ptr<const StreamData>& data)
{
    const auto* sample = dynamic_cast<const TrackingStreamData*>(data.get());
    if (!sample)
        return;
    const int64_t time = sample->timestampArrival() != 0 ? sample->timestampArrival() : StreamData::nowMicroseconds();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Instrument& instrument : m_instruments)
            instrument.seen = false;
        for (const TrackingInstrument& measured : sample->instrumentList())
            noteInstrument(measured, time);
        if (m_pathDisplay == TrackingStreamDisplayOptions::LastSecond)
            for (Instrument& instrument : m_instruments)
                while (!instrument.trail.empty() && instrument.trail.front().time < time - kLastSecondUs)
                    instrument.trail.pop_front();
    }
    requestRedraw();
}

// A stream that is not delivering still shows where its instruments were last.
void GlTrackingStream::seedFromStream()
{
    const std::vector<TrackingInstrument> active = m_stream.activeInstruments();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const TrackingInstrument& record : m_stream.instruments())
        noteInstrument(record, 0).seen &=
          std::any_of(active.begin(), active.end(), [&record](const auto& a) { return a.ID() == record.ID(); });
}

GlTrackingStream::Instrument& GlTrackingStream::noteInstrument(const TrackingInstrument& measured, int64_t time)
{
    auto it = std::find_if(m_instruments.begin(), m_instruments.end(),
                           [&measured](const Instrument& instrument) { return instrument.id.ID() == measured.ID(); });
    if (it == m_instruments.end())
        it = m_instruments.insert(m_instruments.end(), Instrument{});
    it->id = measured.id;
    it->seen = measured.tracked && measured.quality > 0.0;
    if (!it->seen)
        return *it;
    it->everSeen = true;
    it->toolToTracker = calibrated(measured.ID(), measured.matrix);
    if (m_pathDisplay == TrackingStreamDisplayOptions::NoPath)
        return *it;
    it->trail.push_back({ time, it->toolToTracker.topRightCorner<3, 1>() });
    if (it->trail.size() > kMaxTrail)
        it->trail.pop_front();
    return *it;
}

Eigen::Matrix4d GlTrackingStream::calibrated(const std::string& id, const Eigen::Matrix4d& pose) const
{
    return pose * InstrumentCalibrationDataComponent::matrixOf(m_stream, id);
}

// Any thread.
void GlTrackingStream::onOptionsChanged()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const int pathDisplay = m_options.pathDisplay();
        // A trail starts afresh whenever its kind is chosen: a recording shows the tip since it began.
        if (pathDisplay != m_pathDisplay)
            for (Instrument& instrument : m_instruments)
                instrument.trail.clear();
        m_pathDisplay = pathDisplay;
    }
    requestRedraw();
}

void GlTrackingStream::requestRedraw()
{
    if (m_redrawPending.exchange(true))
        return;
    QMetaObject::invokeMethod(
      m_redrawTimer.get(),
      [this]
      {
          // The rest of the display frame since the last request: a burst of samples gives one repaint.
          const qint64 elapsed = m_sinceRedraw.isValid() ? m_sinceRedraw.elapsed() : kFrameMs;
          m_redrawTimer->start(int(std::max<qint64>(0, kFrameMs - elapsed)));
      },
      Qt::QueuedConnection);
}

void GlTrackingStream::render(const RenderInfo& info)
{
    const int instrumentDisplay = m_options.instrumentDisplay();
    const std::vector<std::vector<Eigen::Vector3d>> paths = trails();
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
    for (const InstrumentPose& instrument : instrumentPoses())
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
