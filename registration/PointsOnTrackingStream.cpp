#include "registration/PointsOnTrackingStream.h"

#include <algorithm>
#include <utility>

#include "core/Log.h"
#include "core/Properties.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingStream.h"

namespace Kelvaros
{

namespace
{
const char* const kCategory = "PointsOnTrackingStream";

/// An empty id names no instrument: the points are then in tracker coordinates, the same as with no id at all,
/// and a stored configuration (which cannot tell the two apart) reads back the same.
std::optional<std::string> referenceId(std::optional<std::string> id)
{
    return id && !id->empty() ? std::move(id) : std::nullopt;
}
} // namespace

PointsOnTrackingStream::PointsOnTrackingStream(TrackingStream& stream)
  : m_stream(stream), m_trackerId(stream.mainInstrumentId())
{
    m_stream.signalMainInstrumentIdChanged.connect(this, &PointsOnTrackingStream::onMainInstrumentChanged);
}

PointsOnTrackingStream::PointsOnTrackingStream(const PointsOnTrackingStream& other)
  : PointsOnData(other),
    SignalReceiver(),
    m_stream(other.m_stream),
    m_useMainInstrument(other.m_useMainInstrument.load()),
    m_points(other.m_points)
{
    std::lock_guard<std::mutex> lock(other.m_idMutex);
    m_trackerId = other.m_trackerId;
    m_relativeTrackerId = other.m_relativeTrackerId;
}

PointsOnTrackingStream::PointsOnTrackingStream(PointsOnTrackingStream&& other) noexcept
  : PointsOnData(std::move(other)),
    SignalReceiver(),
    m_stream(other.m_stream),
    m_useMainInstrument(other.m_useMainInstrument.load()),
    m_points(std::move(other.m_points))
{
    std::lock_guard<std::mutex> lock(other.m_idMutex);
    m_trackerId = other.m_trackerId;
    m_relativeTrackerId = other.m_relativeTrackerId;
}

PointsOnTrackingStream::~PointsOnTrackingStream()
{
    // The main-instrument slot uses the members below; end it before they go.
    disconnectAll();
}

void PointsOnTrackingStream::configure(const Properties* properties)
{
    if (!properties)
        return;
    PointsOnData::configure(properties);
    std::string trackerId;
    std::optional<std::string> relativeId;
    const bool hasTracker = properties->param("trackingTargetId", trackerId);
    const bool hasRelative = properties->param("trackingTargetRelId", relativeId);
    // Stored ids are taken as they are, even while the target follows the main instrument: a workspace restores
    // the instrument its points were sampled with.
    std::lock_guard<std::mutex> lock(m_idMutex);
    if (hasTracker)
        m_trackerId = trackerId;
    if (hasRelative)
        m_relativeTrackerId = referenceId(std::move(relativeId));
}

void PointsOnTrackingStream::configuration(Properties* properties) const
{
    if (!properties)
        return;
    PointsOnData::configuration(properties);
    properties->setParam("trackingTargetId", trackerId());
    properties->setParam("trackingTargetRelId", relativeTrackerId());
}

void PointsOnTrackingStream::addWorldPoint(const Eigen::Vector3d& point)
{
    m_points.push_back(point);
    appendRecord();
    const int n = int(m_points.size());
    signalPointsAdded.emitSignal(n - 1, n);
}

void PointsOnTrackingStream::addCapturedPoint(const Eigen::Vector3d& point, bool calibrated)
{
    addWorldPoint(point);
    if (!calibrated)
        setName(kUncalibratedName, size() - 1);
}

bool PointsOnTrackingStream::locatesTip(const Eigen::Matrix4d& calibration)
{
    return !calibration.isIdentity(1e-9);
}

bool PointsOnTrackingStream::targetCalibrated() const
{
    return locatesTip(InstrumentCalibrationDataComponent::matrixOf(m_stream, trackerId()));
}

int PointsOnTrackingStream::uncalibratedCount(int count) const
{
    const auto end = names().begin() + std::clamp(count, 0, int(names().size()));
    return int(std::count(names().begin(), end, std::string(kUncalibratedName)));
}

void PointsOnTrackingStream::setWorldPoint(const Eigen::Vector3d& point, int index)
{
    if (index < 0)
        index = std::max(size() + index, 0);
    if (index >= int(m_points.size()))
    {
        Log::log(Log::Error, kCategory, "setWorldPoint: invalid index " + std::to_string(index));
        return;
    }
    m_points[size_t(index)] = point;
    signalPointsChanged.emitSignal(index, index + 1);
}

const Data* PointsOnTrackingStream::data() const
{
    return &m_stream;
}

void PointsOnTrackingStream::remove(int first, int last)
{
    if (!clampRange(first, last))
        return;
    m_points.erase(m_points.begin() + first, m_points.begin() + last);
    eraseRecords(first, last);
    signalPointsRemoved.emitSignal(first, last);
}

void PointsOnTrackingStream::configurePoint(const Properties* properties)
{
    if (!properties)
        return;
    Eigen::Vector3d point;
    if (properties->param("Point", point))
        addWorldPoint(point);
    std::string name;
    if (properties->param("Name", name) && !empty())
        setName(name, size() - 1);
}

void PointsOnTrackingStream::pointConfiguration(Properties* properties, int index) const
{
    if (!properties || index < 0 || index >= int(m_points.size()))
        return;
    properties->setParam("Point", m_points[size_t(index)]);
    if (index < int(names().size()))
        properties->setParam("Name", names()[size_t(index)]);
}

Eigen::Matrix4d PointsOnTrackingStream::pointsToWorld() const
{
    return m_stream.matrix();
}

std::string PointsOnTrackingStream::trackerId() const
{
    std::lock_guard<std::mutex> lock(m_idMutex);
    return m_trackerId;
}

void PointsOnTrackingStream::setTrackerId(std::string id)
{
    if (m_useMainInstrument)
    {
        Log::log(Log::Error, kCategory, "Main instrument is used. Cannot set tracker ID manually.");
        return;
    }
    std::lock_guard<std::mutex> lock(m_idMutex);
    m_trackerId = std::move(id);
}

std::optional<std::string> PointsOnTrackingStream::relativeTrackerId() const
{
    std::lock_guard<std::mutex> lock(m_idMutex);
    return m_relativeTrackerId;
}

void PointsOnTrackingStream::setRelativeTrackerId(std::optional<std::string> id)
{
    std::lock_guard<std::mutex> lock(m_idMutex);
    m_relativeTrackerId = referenceId(std::move(id));
}

void PointsOnTrackingStream::setUseMainInstrument(bool flag)
{
    m_useMainInstrument = flag;
    changeTarget(m_stream.mainInstrumentId());
}

void PointsOnTrackingStream::onMainInstrumentChanged(const std::string& id)
{
    if (!m_useMainInstrument)
        return;
    changeTarget(id);
}

void PointsOnTrackingStream::changeTarget(const std::string& id)
{
    if (trackerId() == id)
        return;
    if (!empty())
    {
        Log::log(Log::Info, kCategory, "Changed instrument after points were added. Clear points.");
        clear();
    }
    std::lock_guard<std::mutex> lock(m_idMutex);
    m_trackerId = id;
}

void PointsOnTrackingStream::updateWorldPoints() {}

} // namespace Kelvaros
