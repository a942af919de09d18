#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"
#include "stream/TrackingInstrument.h"
#include "stream/TrackingInstrumentFiducialsData.h"

namespace Kelvaros
{

/// The deterministic model behind the simulated tracker: three rigid marker bodies ("Pointer", "Needle",
/// "Reference") moving through a scenario with known ground truth, measured like an optical tracker measures
/// them.
///
/// Measurement model: every marker of a visible tool is displaced by isotropic Gaussian noise (standard deviation
/// noiseMm per axis) and the reported pose is the least-squares rigid fit of the tool's marker geometry to the
/// noisy markers, so that pose noise has the structure of a real tracker (rotation noise grows as the marker body
/// shrinks, tip error grows with the tip's distance from the markers). Quality is 1 / (1 + (FRE / 1 mm)²) of that
/// fit. With probability dropoutProbability per tool and frame the tool drops out: two of its markers are occluded,
/// the others still appear among the raw fiducials, and the instrument reads tracked = false, quality 0, identity
/// pose.
///
/// Clock: frame k has the device timestamp 1 s + round(k · 1e6 / rateHz) microseconds, so the simulated clock
/// never drifts from the frame count (successive timestamps differ by 1e6 / rateHz rounded to a microsecond).
///
/// Determinism: the random numbers of frame k depend only on (seed, k), so any frame can be computed on its own,
/// in any order, on any thread, and gives the same values on every run and platform. The object is immutable
/// after construction; all functions are const and thread-safe.
class KELVAROS_API TrackingSimulator
{
public:
    enum class Scenario : int
    {
        /// The pointer and the needle are pivoted about their fixed tips (cone motion with varying tilt), at
        /// pivotPoint_Tracker and needlePivotPoint_Tracker.
        Pivot = 0,
        /// The needle is spun about its own axis with its tip fixed at pivotPoint_Tracker, and the pointer about its
        /// own with its tip at needlePivotPoint_Tracker.
        Spin = 1,
        /// The pointer touches the phantom's landmarks one after the other (dwell, lift, move on), in a loop.
        Landmarks = 2,
        /// The needle approaches the entry point, is inserted along the planned path to the target, held and
        /// withdrawn, in a loop.
        Insertion = 3,
        /// The pointer's tip slides over the reachable side of the phantom's body (its skin), pointing into it, in
        /// a slow figure that covers a patch of about 110 degrees, as a user sweeps a surface to refine a
        /// registration.
        Sweep = 4
    };

    /// Simulation settings. Lengths in mm.
    struct Settings
    {
        double rateHz = 60.0;
        double noiseMm = 0.1;
        double dropoutProbability = 0.01;
        Scenario scenario = Scenario::Pivot;
        uint64_t seed = 1;
    };

    /// One simulated tool: its id and its geometry in its own (tracked) frame.
    struct Tool
    {
        std::string id;
        /// Marker centres in the tool frame (mm).
        std::vector<Eigen::Vector3d> markers_Tool;
        /// The tool tip in the tool frame (mm); zero for the reference.
        Eigen::Vector3d tipOffset_Tool = Eigen::Vector3d::Zero();
        /// Unit direction of the shaft in the tool frame, pointing from the markers towards the tip.
        Eigen::Vector3d axis_Tool = Eigen::Vector3d::UnitZ();
    };

    /// The fixed geometry of every scenario; tracker space unless the name says otherwise, mm.
    struct GroundTruth
    {
        std::vector<Tool> tools;
        /// The fixed tip of the pointer in Pivot and of the needle in Spin.
        Eigen::Vector3d pivotPoint_Tracker = Eigen::Vector3d::Zero();
        /// The fixed tip of the needle in Pivot and of the pointer in Spin.
        Eigen::Vector3d needlePivotPoint_Tracker = Eigen::Vector3d::Zero();
        /// The direction the tools' axes keep during Spin.
        Eigen::Vector3d spinDirection_Tracker = Eigen::Vector3d::UnitZ();
        /// The reference's pose, constant in every scenario.
        Eigen::Matrix4d referenceToTracker = Eigen::Matrix4d::Identity();
        /// The phantom is fixed to the reference: phantomToTracker = referenceToTracker · phantomToReference.
        Eigen::Matrix4d phantomToTracker = Eigen::Matrix4d::Identity();
        /// The phantom's landmarks in phantom coordinates, in the order the Landmarks scenario touches them.
        std::vector<Eigen::Vector3d> landmarks_Phantom;
        /// The planned path of the Insertion scenario.
        Eigen::Vector3d pathEntry_Tracker = Eigen::Vector3d::Zero();
        Eigen::Vector3d pathTarget_Tracker = Eigen::Vector3d::Zero();

        /// The phantom's soft-tissue body: an ellipsoid with axes along the phantom's, around the box of the
        /// landmarks and the insertion target, moved towards the target so that the target lies deep inside.
        /// Phantom coordinates (mm).
        struct Body
        {
            Eigen::Vector3d centre;
            Eigen::Vector3d semiAxes;
        };
        [[nodiscard]] Body body_Phantom() const;
        /// The insertion path's target in phantom coordinates.
        [[nodiscard]] Eigen::Vector3d pathTarget_Phantom() const;

        /// The tool of that id, or null.
        [[nodiscard]] const Tool* tool(const std::string& id) const;
        /// The landmarks in tracker space.
        [[nodiscard]] std::vector<Eigen::Vector3d> landmarks_Tracker() const;
    };

    /// One simulated measurement: what a tracking sample carries.
    struct Frame
    {
        int64_t timestampDevice = 0;
        /// Pointer, Needle, Reference, in that order, each with the frame's device timestamp.
        std::vector<TrackingInstrument> instruments;
        /// The noisy visible markers of all tools, keyed by instrument, value 1.
        TrackingInstrumentFiducialsData fiducials;
    };

    /// Settings are taken as given; validate them first (validate()).
    explicit TrackingSimulator(Settings settings);

    /// An empty string when the settings can be simulated, else the reason (rate not in (0, 10000] Hz, negative or
    /// non-finite noise, dropout probability outside [0, 1]).
    [[nodiscard]] static std::string validate(const Settings& settings);
    /// "pivot", "spin", "landmarks", "insertion", "sweep".
    [[nodiscard]] static const char* scenarioName(Scenario scenario);
    /// The scenario of that name (case-sensitive), or empty.
    [[nodiscard]] static std::optional<Scenario> scenarioFromName(const std::string& name);
    /// Every scenario's name, in the enumeration's order.
    [[nodiscard]] static std::vector<std::string> scenarioNames();
    /// The geometry shared by all scenarios and settings.
    [[nodiscard]] static const GroundTruth& groundTruth();

    [[nodiscard]] const Settings& settings() const { return m_settings; }

    /// Device timestamp of frame k (microseconds); k >= 0.
    [[nodiscard]] int64_t deviceTimestamp(int64_t frame) const;
    /// The noise-free pose (tool → tracker, mm) of a tool at frame k; identity for an unknown id.
    [[nodiscard]] Eigen::Matrix4d truePose(const std::string& toolId, int64_t frame) const;
    /// Landmarks scenario: the index of the landmark the pointer tip rests on at frame k, or -1 while it moves
    /// (and in other scenarios).
    [[nodiscard]] int touchedLandmark(int64_t frame) const;
    /// Sweep scenario: where the pointer's tip touches the body's skin at a time (s), and the skin's outward normal
    /// there; phantom coordinates.
    [[nodiscard]] static std::pair<Eigen::Vector3d, Eigen::Vector3d> sweptSkin(double seconds);
    /// Insertion scenario: the needle tip's distance beyond the entry point along the path (mm; negative before
    /// entry, path length at the target). 0 in other scenarios.
    [[nodiscard]] double insertionDepth(int64_t frame) const;
    /// The measurement of frame k.
    [[nodiscard]] Frame frame(int64_t frame) const;

private:
    [[nodiscard]] double seconds(int64_t frame) const;

    Settings m_settings;
};

} // namespace Kelvaros
