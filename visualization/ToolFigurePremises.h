#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Geometry>

#include "stream/TrackingSnapshot.h"

namespace Kelvaros
{

class Data;
class SharedImageSet;

/// What a tool's calibration establishes. The calibrated tool frame has the tip at its origin and the shaft along
/// its z axis: without a calibrated tip that origin is the marker frame's, a shaft's length (some 140 mm on a
/// needle) from the real tip, and without a calibrated axis the z axis is the marker frame's and says nothing of
/// the shaft's direction.
struct ToolCalibrationKnowledge
{
    bool tip = false;
    bool axis = false;

    bool operator==(const ToolCalibrationKnowledge& other) const { return tip == other.tip && axis == other.axis; }
};

/// What the calibration `data` (a stream) holds for `instrumentId` establishes: the method of its provenance when
/// it has one ("pivot" gives the tip, "axis" the axis, "pivot+axis" both); else the matrix (a translation other
/// than zero gives the tip, a rotation other than the identity the axis). No calibration, or an identity without
/// provenance, gives neither. Any thread.
[[nodiscard]] ToolCalibrationKnowledge calibrationKnowledge(const Data& data, const std::string& instrumentId);

/// The warning a tool panel shows for a tool `toolName` whose calibration lacks its tip or its axis, saying what is
/// not shown and how to mend it; empty for a fully calibrated tool.
[[nodiscard]] std::string calibrationWarning(const ToolCalibrationKnowledge& knowledge, const std::string& toolName);

/// How the figures of a tracked tool relative to a plan (distances, depths, angles) stand. Every state but Valid
/// means the figures cannot be trusted and are not shown.
enum class FigureState : int
{
    Valid = 0,
    /// The last sample gave no valid pose of the tool.
    NotVisible = 1,
    /// No sample arrived for kStaleAfterUs or longer: whatever was last seen is no longer the tool's place.
    Stale = 2,
    /// The plan has no extent to measure against (entry and target coincide).
    NoPath = 3,
    /// The tool's tip is not calibrated: its "tip" is the marker frame's origin.
    Uncalibrated = 4,
    /// The tool lies far outside the region of the plan (see kNotRegisteredBeyond): tracker and image were never
    /// registered to each other, so no distance between them means anything.
    NotRegistered = 5
};

/// Samples older than this make every figure stale (µs): the host's rule for tracking streams.
constexpr int64_t kStaleAfterUs = std::chrono::duration_cast<std::chrono::microseconds>(kTrackingStaleAfter).count();

/// What a tool visualization knows of its tool at one moment, read in one go so that every figure of a frame rests
/// on one sample.
struct ToolSnapshot
{
    /// Calibrated tool → world (mm); empty when the last sample gave no valid pose.
    std::optional<Eigen::Matrix4d> toolMatrix;
    /// Time since the last sample arrived (µs); kStaleAfterUs or more before the first.
    int64_t sinceLastSampleUs = kStaleAfterUs;
    ToolCalibrationKnowledge calibration;
};

/// The region a plan lives in (world, mm): the box around the image it was made on (when there is one) and the
/// plan's own points. Empty for no image and no points.
[[nodiscard]] std::optional<Eigen::AlignedBox3d> planRegion(const SharedImageSet* image,
                                                            const std::vector<Eigen::Vector3d>& planPoints);

/// Distance (mm) of `point` from the box; 0 inside it.
[[nodiscard]] double distanceOutside(const Eigen::AlignedBox3d& box, const Eigen::Vector3d& point);

/// How far (mm) outside a plan region of diagonal d a tool may be before its figures are taken for a comparison of
/// two spaces never registered to each other: max(d, kNotRegisteredLeast). A needle held over the patient is well
/// within; a tracker a metre from an image placed at the origin is not.
[[nodiscard]] double notRegisteredBeyond(const Eigen::AlignedBox3d& region);
constexpr double kNotRegisteredLeastMm = 100.0;

/// The state of the figures of a tool for a plan in `region` (empty: no registration judgement), and how far the tip
/// lies outside that region (mm). Stale comes first (without samples nothing is known), then not visible, then the
/// calibration, then the registration.
struct FigureJudgement
{
    FigureState state = FigureState::NotVisible;
    double outsideMm = 0.0;
};
[[nodiscard]] FigureJudgement judgeFigures(const ToolSnapshot& snapshot,
                                           const std::optional<Eigen::AlignedBox3d>& region);

/// The lines shown instead of the figures, short enough for an overlay: "Tool not visible", "Stale: no tracking
/// data", "No path", "Tip not calibrated", or the two lines "Not registered:" and "tool 1052 mm from plan"; none for
/// Valid.
[[nodiscard]] std::vector<std::string> figureStateLines(const FigureJudgement& judgement);
/// The same lines joined by spaces.
[[nodiscard]] std::string figureStateText(const FigureJudgement& judgement);

} // namespace Kelvaros
