#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <Eigen/Core>

#include "core/Parameter.h"
#include "core/Signal.h"
#include "lib/Algorithm.h"

#include "visualization/ToolFigurePremises.h"

namespace Kelvaros
{

class DataList;
class SharedImageSet;
class StreamData;
class TrackingInstrumentFiducialsData;
class TrackingStream;

/// Follows one tracking stream and keeps, from every sample, the world pose of one tracked tool (the target
/// instrument), optionally relative to a second instrument (the reference), with a combined quality and the raw
/// fiducials the sample carries. compute() does nothing; the work happens in the stream listener while the running
/// flag is set. The panels read the pose on the user-interface thread to place the tool mesh and to move the slice
/// views (see SliceViewLinking); the bullseye, navigation and calibration panels each own one of these.
///
/// Frames: with T the target's pose (tool → tracker), C_t its calibration (calibrated tool → tool), R and C_r the
/// same for the reference and S the stream's registration (tracker → world, Data::matrix of the stream),
///     tool matrix = S · C_r⁻¹ · R⁻¹ · T · C_t      (calibrated tool → world, mm),
/// the quality is Q_r · Q_t, and a pose counts only when that quality is strictly above `qualityThreshold`.
/// Calibrations come from the stream's InstrumentCalibrationDataComponent (identity when there is none).
/// For relative tracking the stream's world matrix is the volume's matrix: the relative-calibration point
/// registration sets it so, as the constructor with an image does, so instances built with or without the image
/// draw the tool at the same place.
///
/// Threads: onStreamData runs on the stream's delivery thread; the accessors, setRunning, updateReference and
/// configure run on the user-interface thread. The mutex guards the raw and processed matrices (with the
/// instrument ids they were matched with), the quality and the fiducials; the running flag is atomic; parameters are
/// thread-safe on their own. signalToolUpdated is emitted on the stream's thread after every processed sample, outside
/// the mutex. The stream and the image must outlive the algorithm.
class ToolVisualizationAlgorithm
  : public Algorithm
  , public SignalReceiver
{
public:
    /// True when the list holds one or two items, its first item of the tracking-stream kind is a TrackingStream
    /// and, with a non-null out-pointer, builds the algorithm on that stream and the list's first image set (or
    /// none).
    static bool createCompatible(const DataList& data, std::unique_ptr<Algorithm>* algorithm);

    /// Registers the parameters. With an image set, sets the stream's registration (shared with every other user
    /// of the stream) to the registration of the set's tracking sequence for a TrackedSharedImageSet, or to the
    /// set's own image → world matrix otherwise. With a stream, starts listening to it. Both may be null.
    ToolVisualizationAlgorithm(TrackingStream* stream, SharedImageSet* image);
    /// Stops listening before the members go away.
    ~ToolVisualizationAlgorithm() override;

    /// Reads the parameters; warns about the retired name keys `trackingTargetName` and `trackingTargetRelName`
    /// (a name does not select an instrument; ids do) and makes a relative, existing `mesh` path absolute.
    /// Nothing for null. User-interface thread.
    void configure(const Properties* properties) override;

    /// Sets the status to success; nothing else.
    void compute() override;

    /// Makes the value of a path parameter absolute when it is a relative path to an existing file, so that a
    /// saved configuration still finds it from another working directory. Empty values, Qt resource paths
    /// (":/...") and absolute or non-existing paths are left alone. Emits the change signal only on a change.
    static void fixAbsolutePath(Parameter<std::string>& path);

    /// The running flag: samples arriving while it is false are dropped and leave the stored pose as it was.
    /// Any thread.
    void setRunning(bool running) { m_running = running; }
    [[nodiscard]] bool isRunning() const { return m_running; }

    [[nodiscard]] TrackingStream* trackingStream() const { return m_stream; }

    /// Calibrated tool → world (mm) of the last processed sample, when its quality was strictly above the
    /// threshold and the matrix is finite; empty otherwise. Any thread.
    [[nodiscard]] std::optional<Eigen::Matrix4d> lastToolMatrix() const;
    /// The target's pose as the last processed sample delivered it (tool → tracker, no calibration or
    /// registration), under the same condition as lastToolMatrix. Any thread.
    [[nodiscard]] std::optional<Eigen::Matrix4d> rawToolMatrix() const;
    /// The combined quality of the last processed sample (0 before the first). Any thread.
    [[nodiscard]] double lastQuality() const;
    /// The tool as of the last processed sample, in one read: its pose (as lastToolMatrix), the time since that
    /// sample arrived (kStaleAfterUs before the first) and what the target's calibration establishes. The figures
    /// a panel shows rest on it (see judgeFigures). Any thread.
    [[nodiscard]] ToolSnapshot snapshot() const;
    /// A copy of the last sample's raw fiducials, in world space (relative to the reference when one is set),
    /// per-point instrument keys unchanged; null when the sample carried none. Any thread.
    [[nodiscard]] std::unique_ptr<TrackingInstrumentFiducialsData> lastRawFiducialData() const;

    /// Re-registers the stream so that the target, as last delivered, appears at `target` (calibrated tool →
    /// world, mm): sets the stream's registration to target · C_t⁻¹ · T⁻¹ · R · C_r (with the calibrations read
    /// now and the last raw poses; R = C_r = identity without a reference). The stored pose is recomputed by the
    /// next sample. Refused (false, with a warning; the registration stays) without a stream, while the last
    /// sample gave no valid pose (the raw poses then describe no tool), when the target or reference selected now
    /// is not the one the raw poses were taken for (the calibrations would belong to other instruments), or when
    /// the product is not finite (a singular pose or calibration). User-interface thread.
    bool updateReference(const Eigen::Matrix4d& target);

    /// Emitted after every processed sample (also when the target was missing), on the stream's thread.
    SignalImpl<> signalToolUpdated;

    /// @name Parameters, registered in this order (property keys as named)
    /// @{
    /// TrackerID::ID of the target instrument; empty selects none.
    Parameter<std::string> p_trackingTargetId{ "trackingTargetId", "", this };
    /// TrackerID::ID of the reference instrument; empty means the tool is shown in tracker space (· registration).
    Parameter<std::string> p_trackingTargetRelId{ "trackingTargetRelId", "", this };
    /// Tool mesh file; a path that begins with ':' is a Qt resource path.
    Parameter<std::string> p_mesh{ "mesh", ":/TrackingPointer.obj", this };
    /// The tool mesh is shown with face normals.
    Parameter<bool> p_useFaceNormals{ "useFaceNormals", false, this };
    /// The panel starts the visualization right after its set-up (and sets this whenever it starts it).
    Parameter<bool> p_autostart{ "autostart", false, this };
    /// The three slice views follow the tool.
    Parameter<bool> p_linkMPRs{ "linkMPRs", true, this };
    /// The slice views also take the tool's orientation.
    Parameter<bool> p_linkWithRot{ "linkWithRot", true, this };
    /// Raw fiducials are shown as spheres.
    Parameter<bool> p_showRawFiducials{ "showRawFiducials", false, this };
    /// A pose is valid only when its quality is strictly greater.
    Parameter<double> p_qualityThreshold{ "qualityThreshold", 0.2, this };
    /// The tool mesh is drawn projectively in 2D views.
    Parameter<bool> p_projectiveRendering{ "projectiveRendering", false, this };
    /// Slice orientations snap to the world axes closest to the tool's axes.
    Parameter<bool> p_snapToClosestAxis{ "snapToClosestAxis", false, this };
    /// Slice views move only along their own normal.
    Parameter<bool> p_ignoreInPlaneTranslation{ "ignoreInPlaneTranslation", false, this };
    /// @}

private:
    /// Stream listener, on the stream's delivery thread.
    void onStreamData(const std::shared_ptr<const StreamData>& data);
    /// Calibration of an instrument from the stream's component; identity when there is none. Any thread.
    [[nodiscard]] Eigen::Matrix4d calibrationOf(const std::string& instrumentId) const;
    /// Whether the last quality is strictly above the threshold and the pose finite; caller holds the mutex.
    [[nodiscard]] bool poseValidLocked() const;
    /// The stream registration updateReference sets, or empty (with a Warning) when it is refused.
    [[nodiscard]] std::optional<Eigen::Matrix4d> registrationFor(const Eigen::Matrix4d& target) const;

    TrackingStream* m_stream;
    std::atomic<bool> m_running{ false };

    // Guards everything below. Nothing called under it calls out: no signal is emitted and no matrix set with it held.
    mutable std::mutex m_mutex;
    Eigen::Matrix4d m_rawToolMatrix = Eigen::Matrix4d::Identity();
    Eigen::Matrix4d m_rawReferenceMatrix = Eigen::Matrix4d::Identity();
    // The target and reference ids the raw matrices were matched with.
    std::string m_rawToolId;
    std::string m_rawReferenceId;
    Eigen::Matrix4d m_toolMatrix = Eigen::Matrix4d::Identity();
    double m_lastQuality = 0.0;
    ToolCalibrationKnowledge m_targetCalibration;
    std::optional<std::chrono::steady_clock::time_point> m_lastSampleTime;
    std::unique_ptr<TrackingInstrumentFiducialsData> m_lastRawFiducials;
};

} // namespace Kelvaros
