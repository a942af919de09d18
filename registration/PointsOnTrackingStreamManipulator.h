#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <Eigen/Core>

#include "core/Signal.h"
#include "gui/annotation/PointsOnDataManipulator.h"

namespace Kelvaros
{

class PointsOnData;
class StreamData;
class TrackingStreamData;
class PointsOnTrackingStream;

namespace QtHelpers
{
class MainThreadCall;
}

/// Creates the points of a PointsOnTrackingStream from the tracked pointer instead of the mouse: after
/// startPointCreation the calibrated tip of the tracking target in the next tracking sample becomes a new point
/// (relative to the reference instrument when the set has one, R⁻¹ · pose · calibration). An instrument is usable
/// when it is in the sample, tracked, and of quality strictly above 0.8. A sample without a usable tracking target
/// (or reference) adds nothing and is announced as signalPointsAdded(-1, -1). Each startPointCreation captures one
/// sample; calling it again while a capture is pending changes nothing. Dragging a handle moves its point.
///
/// Threads: startPointCreation and everything the base does on the main thread; the capture handler runs on the
/// stream's delivery thread and hands the point to the main thread, where the set is changed. The point set (and
/// its stream) must outlive the manipulator; a capture still queued when the manipulator dies is dropped.
class PointsOnTrackingStreamManipulator : public PointsOnDataManipulator
{
public:
    explicit PointsOnTrackingStreamManipulator(PointsOnTrackingStream& points);
    ~PointsOnTrackingStreamManipulator() override;

    [[nodiscard]] PointsOnData& pointHandler() override;
    /// Subscribes to the stream for one sample (main thread).
    void startPointCreation() override;
    /// Appends `world` unchanged (the set's own coordinates).
    void onCreatePointInteraction(const Eigen::Vector3d& world) override;
    void onMovePointInteraction(Manipulator* manipulator) override;
    /// Tracked points get no guide.
    void showVisualGuideInViews(InteractiveObject&, SharedImageSet&, TransferFunction*) override {}

private:
    /// Capture handler (delivery thread).
    void onCapture(const std::shared_ptr<const StreamData>& data);
    /// The calibrated tip of the tracking target in a sample, in the set's frame; empty when not usable.
    /// `calibrated` tells whether the target had a calibration to find its tip with.
    [[nodiscard]] std::optional<Eigen::Vector3d> capturedTip(const TrackingStreamData& sample, bool& calibrated) const;

    PointsOnTrackingStream& m_points;
    std::mutex m_mutex; // guards m_capture and m_deliveries
    std::shared_ptr<SignalConnection> m_capture;
    /// Captured results on their way to the main thread, cancelled on destruction.
    std::vector<std::shared_ptr<QtHelpers::MainThreadCall>> m_deliveries;
};

} // namespace Kelvaros
