#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <Eigen/Core>

#include "lib/Algorithm.h"
#include "stream/InstrumentCalibrationDataComponent.h"

namespace Kelvaros
{

class DataList;
class TrackingSequence;
class TrackingStream;
class TrackingStreamRecorder;

/// The model behind the step-by-step tool calibration wizard: on one live tracking stream and one chosen
/// instrument it records a pivoting and a rotation sequence, accepts each only when the tool moved enough, runs
/// the tool calibration on the accepted recordings and stores the result as the instrument's calibration in the
/// stream's InstrumentCalibrationDataComponent.
///
/// The instrument's earlier calibration (or the fact that it had none) is saved by the first compute() and
/// restored by reset(), by a change of instrument and by destruction, unless accept() made the new one permanent.
///
/// Threads: instrument() may be called from any thread (the wizard's stream listener reads it for every sample);
/// everything else on the user-interface thread only. The recorder records on the stream's thread. The stream is
/// not owned and must outlive the algorithm.
class TrackingToolCalibrationWizardAlgorithm : public Algorithm
{
public:
    /// The recordings and choices of one calibration.
    struct CalibrationData
    {
        /// Accepted pivoting recording (tool pivoted about its fixed tip), null until one is accepted.
        std::unique_ptr<TrackingSequence> pivoting;
        /// Accepted rotation recording (tool turned about its needle), null until one is accepted.
        std::unique_ptr<TrackingSequence> rotation;
        /// Whether the calibration is turned by 180 degrees about its x-axis (needle pointing the other way).
        bool flip = false;
        /// Reset to identity by reset(); not otherwise written.
        Eigen::Matrix4d calibration = Eigen::Matrix4d::Identity();

        CalibrationData();
        CalibrationData(CalibrationData&&) noexcept;
        CalibrationData& operator=(CalibrationData&&) noexcept;
        ~CalibrationData();
    };

    /// A pivoting recording needs at least this many samples.
    static constexpr int kMinPivotingSamples = 50;
    /// Least summed orientation change (radians) over 49 evenly spaced steps of a pivoting recording.
    static constexpr double kMinPivotingMotion = 2.0;
    /// Least orientation change (radians) between the first and the last sample of a rotation recording.
    static constexpr double kMinRotation = 0.5;

    /// Builds the recorder on the stream (not owned, not null), set to record one instrument.
    explicit TrackingToolCalibrationWizardAlgorithm(TrackingStream* stream);
    /// Restores an unaccepted calibration (see reset()), then stops listening to the stream.
    ~TrackingToolCalibrationWizardAlgorithm() override;

    /// True only for exactly one data item that is a TrackingStream; with a non-null out-pointer the algorithm is
    /// built on it.
    static bool createCompatible(const DataList& data, std::unique_ptr<Algorithm>* algorithm);

    [[nodiscard]] TrackingStream* trackingStream() const { return m_trackingStream; }

    /// Chooses the instrument (TrackerID::ID). Switching away from a non-empty instrument first calls reset(),
    /// restoring that instrument's calibration and dropping the recordings. Always true. User-interface thread.
    bool setInstrument(std::string id);
    /// The chosen instrument; empty when none. Any thread.
    [[nodiscard]] std::string instrument() const;

    /// Starts recording the chosen instrument, discarding an untaken earlier recording.
    void startRecording();
    /// Stops recording and hands over the recorded sequence; null when nothing was recorded.
    [[nodiscard]] std::unique_ptr<TrackingSequence> stopRecording();
    [[nodiscard]] bool isRecording() const;

    /// Takes a pivoting recording and keeps it when it has at least kMinPivotingSamples samples and the
    /// orientation changes over 49 evenly spaced steps add up to at least kMinPivotingMotion radians; otherwise
    /// destroys it, keeps the earlier one and returns false, with the reason in refusal() and the log (Warning).
    bool setPivoting(std::unique_ptr<TrackingSequence> sequence);
    /// Takes a rotation recording and keeps it when it has at least 2 samples and its first and last orientation
    /// differ by at least kMinRotation radians; otherwise destroys it, keeps the earlier one and returns false,
    /// with the reason in refusal() and the log (Warning). Whether it was a turn about one axis is judged by the
    /// calibration (compute()).
    bool setRotation(std::unique_ptr<TrackingSequence> sequence);
    /// Why the last setPivoting() or setRotation() refused its recording: what was recorded against what is needed
    /// and what to do, as a sentence; empty after an accepted recording.
    [[nodiscard]] const std::string& refusal() const { return m_refusal; }
    void setFlip(bool flip) { m_calibrationData.flip = flip; }

    /// Does nothing while no instrument is chosen. Otherwise saves the instrument's calibration on the first call
    /// since the last accept/reset, calibrates from the accepted recordings (pivot, needle direction or both, then
    /// the flip) and stores the result with its provenance as the instrument's calibration (value 0.0), with
    /// origin() and upAxisWorld(). The status and its message are those of the tool calibration (0 success, 2-4
    /// failures; see ToolCalibrationAlgorithm). A failure is logged, empties origin() and upAxisWorld() and gives
    /// the instrument back the calibration it had before the wizard (none if it had none).
    void compute() override;
    /// Keeps the new calibration, and the saved one as the instrument's previous calibration (none when it had
    /// none), so that restoring the previous calibration undoes the wizard.
    void accept();
    /// Restores the saved calibration of the instrument with its provenance (removing the wizard's when it had none)
    /// and drops the recordings and the flip. origin() and upAxisWorld() stay.
    void reset();

    [[nodiscard]] CalibrationData& calibrationData() { return m_calibrationData; }
    /// Unit up direction of the tool in tracker coordinates from the last compute(); may be empty.
    [[nodiscard]] std::optional<Eigen::Vector3d> upAxisWorld() const { return m_upAxisWorld; }
    /// Pivot point in tracker coordinates (mm) from the last compute(); may be empty.
    [[nodiscard]] std::optional<Eigen::Vector3d> origin() const { return m_origin; }

private:
    [[nodiscard]] InstrumentCalibrationDataComponent& calibrationComponent();
    /// Keeps and logs the reason a recording was refused; returns false for the caller to pass on.
    bool refuse(std::string reason);

    TrackingStream* m_trackingStream;
    CalibrationData m_calibrationData;
    std::string m_instrument;
    mutable std::mutex m_instrumentMutex;
    std::unique_ptr<TrackingStreamRecorder> m_recorder;
    /// The instrument's calibration before the wizard changed it: empty while nothing is saved; holding an empty
    /// optional when the instrument had no calibration, so that restoring removes the wizard's.
    std::optional<std::optional<InstrumentCalibrationDataComponent::Entry>> m_backup;
    std::optional<Eigen::Vector3d> m_upAxisWorld;
    std::optional<Eigen::Vector3d> m_origin;
    std::string m_refusal;
};

} // namespace Kelvaros
