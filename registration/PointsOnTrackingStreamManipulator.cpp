#include "registration/PointsOnTrackingStreamManipulator.h"

#include <algorithm>
#include <string>

#include "gui/controller/QtHelpers.h"
#include "gui/scene/GlPoint.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"

#include "registration/PointsOnTrackingStream.h"

namespace Kelvaros
{

namespace
{

/// Stricter than the registration algorithm's own sampling (at least 0.8): a captured landmark is kept for good,
/// so a sample on the edge of acceptable is not taken.
bool usable(const std::optional<TrackingInstrument>& instrument)
{
    return instrument && instrument->tracked && instrument->quality > 0.8;
}

} // namespace

PointsOnTrackingStreamManipulator::PointsOnTrackingStreamManipulator(PointsOnTrackingStream& points) : m_points(points)
{
}

PointsOnTrackingStreamManipulator::~PointsOnTrackingStreamManipulator()
{
    std::shared_ptr<SignalConnection> capture;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        capture.swap(m_capture);
    }
    // Outside the lock: disconnect waits for a running handler, which takes it.
    if (capture)
        capture->disconnect();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& delivery : m_deliveries)
        delivery->cancel();
}

PointsOnData& PointsOnTrackingStreamManipulator::pointHandler()
{
    return m_points;
}

void PointsOnTrackingStreamManipulator::startPointCreation()
{
    clearPendingPoint();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_capture)
        return;
    m_capture = std::make_shared<SignalConnection>(m_points.trackingStream().signalStreamData.connect(
      [this](const std::shared_ptr<const StreamData>& data) { onCapture(data); }));
}

void PointsOnTrackingStreamManipulator::onCapture(const std::shared_ptr<const StreamData>& data)
{
    const auto* sample = dynamic_cast<const TrackingStreamData*>(data.get());
    if (!sample)
        return;
    std::shared_ptr<SignalConnection> capture;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        capture = m_capture;
    }
    if (!capture)
        return;

    bool calibrated = true;
    const std::optional<Eigen::Vector3d> tip = capturedTip(*sample, calibrated);
    PointsOnTrackingStream& points = m_points;
    auto delivery = QtHelpers::runOnMainThread(
      [&points, tip, calibrated]
      {
          if (tip)
              points.addCapturedPoint(*tip, calibrated);
          else
              points.signalPointsAdded.emitSignal(-1, -1);
      });
    {
        // The last use of this object here: the destructor, once it has found no capture, may go on.
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto done = [](const auto& call) { return call->isDone(); };
        m_deliveries.erase(std::remove_if(m_deliveries.begin(), m_deliveries.end(), done), m_deliveries.end());
        m_deliveries.push_back(std::move(delivery));
        m_capture.reset();
    }
    capture->disconnect(); // from inside its own call: returns at once, and no later sample enters
}

std::optional<Eigen::Vector3d> PointsOnTrackingStreamManipulator::capturedTip(const TrackingStreamData& sample,
                                                                              bool& calibrated) const
{
    const std::string targetId = m_points.trackerId();
    const std::optional<TrackingInstrument> target = sample.instrument(targetId);
    if (!usable(target))
        return std::nullopt;
    const Eigen::Matrix4d calibration =
      InstrumentCalibrationDataComponent::matrixOf(m_points.trackingStream(), targetId);
    calibrated = PointsOnTrackingStream::locatesTip(calibration);
    Eigen::Matrix4d tool = target->matrix * calibration;
    if (const std::optional<std::string> relativeId = m_points.relativeTrackerId())
    {
        const std::optional<TrackingInstrument> reference = sample.instrument(*relativeId);
        if (!usable(reference))
            return std::nullopt;
        tool = reference->matrix.inverse() * tool;
    }
    return Eigen::Vector3d(tool.block<3, 1>(0, 3));
}

void PointsOnTrackingStreamManipulator::onCreatePointInteraction(const Eigen::Vector3d& world)
{
    m_points.addWorldPoint(world);
}

void PointsOnTrackingStreamManipulator::onMovePointInteraction(Manipulator* manipulator)
{
    const int index = handleIndex(manipulator);
    if (index >= 0 && !handle(index)->points().empty())
        m_points.setWorldPoint(handle(index)->points().front(), index);
}

} // namespace Kelvaros
