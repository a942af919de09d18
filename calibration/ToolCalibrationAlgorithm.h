#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "lib/Algorithm.h"
#include "stream/InstrumentCalibrationDataComponent.h"

namespace Kelvaros
{

class DataList;
namespace Geometry
{
struct RotationAxisResult;
struct SpherePivotResult;
} // namespace Geometry
class Properties;
class TrackingSequence;

/// Calibration of a tracked pointer or needle from recorded tracking sequences.
///
/// The result maps the calibrated tool frame into the tool's tracked frame (the frame the tracker reports): its
/// translation is the tip in the tracked frame (pivot calibration) and, when a needle direction was calibrated,
/// its third column is the needle axis in the tracked frame. Two recordings feed it:
///  - a pivot sequence, the tool pivoted about its fixed tip: gives the tip offset and the pivot point in tracker
///    coordinates (origin);
///  - a rotation sequence, the tool turned about its own needle: gives the needle axis.
/// With two sequences the first is the pivot and the second the rotation sequence and the result combines both;
/// with one the calibration type chooses. compute() writes the result into every held sequence, and with its
/// provenance into each sequence's InstrumentCalibrationDataComponent under the sequence's instrument id.
///
/// The needle axis comes from all poses of the rotation recording (Geometry::fitRotationAxis), which must show a
/// steady turn about one axis: the fit keeps at least kLeastAxisKeptShare of the poses, they tilt the axis by at
/// most kMostAxisTiltRmsDegrees (RMS) and scatter about it rather than drift (at least kLeastIndependentAxisPoses
/// independent looks at it), and the turn about it covers at least kLeastAxisSpinDegrees. A pivoting motion, a
/// wave of the tool or a recording that barely turned fails instead of giving a wrong axis. The provenance
/// carries the axis's predicted error with the tilt and the turn.
///
/// Status after compute(): 0 success; StatusUnknownType (2) for one sequence and a type other than Pivot3d or
/// NeedleDir; StatusInvalidInput (3) when the sequences are missing, too many, too short (the first needs at least
/// 2 samples) or the rotation sequence is empty; StatusCalibrationFailed (4) when the poses do not determine the
/// tip (too few usable poses, no rotation, or rotation about one axis only) or the rotation recording is not a turn
/// about one axis (see above). On 3 nothing changes; on 2 and 4 the held sequences are left with the identity
/// calibration and calibration(), origin() and directionUp() keep the values of the last successful run
/// (calibration() the identity before one, even when a flip was armed); 1 (Error) if the host containers throw.
/// Every failure comes with statusMessage(), a sentence saying what happened and what to do; failures are also
/// logged at Error level in category "ToolCalibrationAlgorithm".
///
/// Not synchronised: every call on one thread (normally the user-interface thread); the sequences must not change
/// during compute(). The sequences are not owned and must outlive the algorithm.
class ToolCalibrationAlgorithm : public Algorithm
{
public:
    /// Which calibration a single sequence receives. The constructors also store 2 ("both sequences given"),
    /// which compute() refuses for a single sequence.
    enum CalibrationType : int
    {
        Pivot3d = 0,
        NeedleDir = 1
    };

    /// Failure codes of compute() beyond the host's 0 (success).
    enum CalibrationStatus : int
    {
        StatusUnknownType = 2,
        StatusInvalidInput = 3,
        StatusCalibrationFailed = 4
    };

    /// Thresholds of the needle-axis judgement, chosen on the simulated tracker (marker noise 0.1 to 0.5 mm, spins
    /// with and without a hand's wobble of 1 to 3 degrees, its pivot recordings given as the spin; see
    /// NeedleAxisProvenanceBench):
    /// A rotation recording needs this many poses: fewer cannot show whether the tool turned about one axis.
    static constexpr int kLeastAxisPoses = 10;
    /// Most RMS tilt of the needle axis over the recording, degrees. A wobble of 1 to 3 degrees gives 1 to 3; a
    /// pivot recording of 10 s or more gives 6.4 or more (a breathing cone's tilt).
    static constexpr double kMostAxisTiltRmsDegrees = 4.0;
    /// Least turn about the axis, degrees: half a turn. The simulated pivot cone is locally a turn about the
    /// vertical, 90 degrees a second: a second or so of it, with marker noise enough to hide the drift of its axis,
    /// passes every other test; from half a turn on none did (marker noise up to 0.5 mm). A hand's wobble of 2
    /// degrees leaves the axis about half a degree off here, and several degrees off below a quarter turn.
    static constexpr double kLeastAxisSpinDegrees = 180.0;
    /// Least number of independent looks at the axis (Geometry::RotationAxisResult::independentPoses). A spin
    /// with tracker noise alone gives about one per pose, with a hand's wobble about three a second; a pivot
    /// recording of 2 to 10 s gives 3 to 6 (its axis drifts steadily), however small its tilt (longer ones tilt the
    /// axis too far, shorter ones fall short of the least turn). Above 8 the axis error the fit predicts meets the
    /// true one within about 10 per cent.
    static constexpr double kLeastIndependentAxisPoses = 8.0;
    /// Least share of the recording's poses the axis fit keeps: more strays than that means that part of the
    /// recording was another motion.
    static constexpr double kLeastAxisKeptShare = 0.8;

    /// Holds the listed sequences (null entries are kept and make compute() refuse the input). The type is
    /// Pivot3d for exactly one entry, otherwise 2.
    explicit ToolCalibrationAlgorithm(const std::vector<TrackingSequence*>& sequences);
    /// Holds the non-null ones of a pivot and a rotation sequence, in that order. The type is Pivot3d when only
    /// the pivot sequence is given, NeedleDir when only the rotation sequence is given, otherwise 2.
    ToolCalibrationAlgorithm(TrackingSequence* pivotSequence, TrackingSequence* rotationSequence);
    ~ToolCalibrationAlgorithm() override;

    /// True when the data hold one or two tracking sequences (other data are ignored). With a non-null out-pointer
    /// the algorithm is built on (first, second or null) with the two-sequence constructor.
    static bool createCompatible(const DataList& data, std::unique_ptr<Algorithm>* algorithm);

    /// "CalibrationType" (only 0 or 1 are taken) and "flip"; nothing for null.
    void configure(const Properties* properties) override;
    /// Writes "CalibrationType" (enumeration, values Pivot3d and NeedleDir) and "flip" when exactly one sequence
    /// is held, nothing otherwise or for null.
    void configuration(Properties* properties) const override;

    /// Runs the calibration chosen by the held sequences and the type, then the pending 180-degree flip; sets the
    /// status (see the class comment).
    void compute() override;

    void setCalibrationType(CalibrationType type) { m_calibrationType = type; }
    [[nodiscard]] CalibrationType calibrationType() const { return m_calibrationType; }

    /// Calibrated tool frame → tracked tool frame, 4x4 homogeneous, millimetres; identity before a successful run.
    [[nodiscard]] Eigen::Matrix4d calibration() const { return m_calibration; }
    /// Pivot point in tracker coordinates (mm); empty until a pivot calibration succeeded.
    [[nodiscard]] std::optional<Eigen::Vector3d> origin() const { return m_origin; }
    /// Unit "up" direction of the tool in tracker coordinates: from the tip towards the tool's own fiducials
    /// (pivot calibration, when the recording carries them) or the needle axis at the first sample (needle
    /// direction). Empty until one of them was found.
    [[nodiscard]] std::optional<Eigen::Vector3d> directionUp() const { return m_directionUp; }
    /// How the last successful compute() obtained calibration(): method, poses, angular range, the pivot fit's
    /// residuals and the tip error it predicts for itself, the axis fit's tilt, spin and predicted axis error.
    /// Empty before a successful run.
    [[nodiscard]] std::optional<InstrumentCalibrationDataComponent::Provenance> provenance() const
    {
        return m_provenance;
    }
    /// Whether the next compute() ends with rotateCalibration180().
    [[nodiscard]] bool flip() const { return m_flip; }

    /// Turns the calibration of every held sequence by 180 degrees about the calibrated x-axis (reversing the
    /// calibrated y- and z-axes, keeping the tip), keeps the last one as calibration(), toggles flip() and negates
    /// directionUp(). Called before compute() it only arms the flip, since compute() resets the sequences first.
    void rotateCalibration180();

protected:
    /// Pivot calibration of one sequence: the identity with the tip offset as translation. Sets origin() and,
    /// when sample 0 carries the tool's fiducials, directionUp(). Empty (logged, origin() and directionUp()
    /// unchanged) when the poses do not determine the tip.
    [[nodiscard]] std::optional<Eigen::Matrix4d> performPivotCalibration3d(const TrackingSequence& sequence);
    /// Needle-direction calibration from all poses: a pure rotation whose third column is the needle axis in the
    /// tracked frame. Sets directionUp() to that axis in tracker coordinates at the first sample. Empty (logged,
    /// directionUp() unchanged, the reason kept for statusMessage()) when the recording is too short or is not a
    /// turn about one axis.
    [[nodiscard]] std::optional<Eigen::Matrix4d> performNeedleDirectionCalibration(const TrackingSequence& sequence);

private:
    void run();
    /// Logs the reason at Error level and keeps it for the status message of the failure it leads to.
    void refuse(std::string reason);
    /// Ends a failed run with this status and the reason last refused; calibration() goes back to the last
    /// computed result.
    void fail(int status);
    /// Why the held sequences cannot be calibrated, as a sentence; empty when they can.
    [[nodiscard]] std::string inputProblem() const;
    /// Why the axis fit does not show a turn about one axis, as a sentence; empty when it does.
    [[nodiscard]] static std::string axisProblem(const Geometry::RotationAxisResult& fit, std::size_t poseCount);
    /// Pose count, spin, tilt and predicted error of the axis fit, for the run's provenance.
    void recordAxisFindings(const Geometry::RotationAxisResult& fit);
    void upDirectionFromFiducials(const TrackingSequence& sequence, const Eigen::Vector3d& origin);
    /// The needle-direction rotation turned by 180 degrees about x when its axis points from the tracked frame
    /// towards the tip, so that the calibrated z-axis points from the tip towards the markers.
    [[nodiscard]] Eigen::Matrix4d orientedTowardsMarkers(const Eigen::Matrix4d& direction,
                                                         const Eigen::Vector3d& tipOffset);
    /// Pose count, angular range, residuals and predicted tip error of a pivot fit, for the run's provenance.
    void recordPivotFindings(const std::vector<Eigen::Matrix4d>& poses, const Geometry::SpherePivotResult& fit);
    /// The method of the run that just succeeded, stamped with the current time, over what the fits recorded.
    [[nodiscard]] InstrumentCalibrationDataComponent::Provenance finishedProvenance() const;
    /// Writes each held sequence's calibration with provenance() into the sequence's calibration component.
    void storeInSequences();

    std::vector<TrackingSequence*> m_sequences;
    bool m_flip = false;
    CalibrationType m_calibrationType = Pivot3d;
    std::optional<Eigen::Vector3d> m_origin;
    std::optional<Eigen::Vector3d> m_directionUp;
    Eigen::Matrix4d m_calibration = Eigen::Matrix4d::Identity();
    /// calibration() after the last successful run (and any rotation since); empty before one.
    std::optional<Eigen::Matrix4d> m_lastResult;
    /// What the fits of the current run found; the method and time are added when it succeeds.
    InstrumentCalibrationDataComponent::Provenance m_runFindings;
    std::optional<InstrumentCalibrationDataComponent::Provenance> m_provenance;
    /// The reason given by the last refuse() of the current run.
    std::string m_refusal;
};

} // namespace Kelvaros
