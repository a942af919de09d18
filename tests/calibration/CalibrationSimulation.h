#pragma once

#include <algorithm>
#include <cmath>
#include <random>

#include "stream/TrackingInstrumentFiducialsData.h"
#include "stream/TrackingSequence.h"

#include "TrackingTestSupport.h"

// A simulated pointer pivoted about its tip or turned about its needle, with tracker noise and ground truth.
namespace Kelvaros::Testing
{

/// Ground truth of a simulated pointer: tip and needle axis in the tracked tool frame, the markers the tracker
/// sees on it, and where the tip rests in tracker space while it is pivoted. Upright (identity orientation), the
/// markers stand above the tip.
struct SimulatedTool
{
    std::string id = "pointer";
    Eigen::Vector3d tip_Tool{ 12.0, -7.0, -160.0 };
    /// Unit needle axis in the tool frame (tilted away from the tool's z on purpose).
    Eigen::Vector3d axis_Tool = Eigen::Vector3d(0.1, -0.2, 1.0).normalized();
    std::vector<Eigen::Vector3d> markers_Tool{ { 0, 0, 0 }, { 30, 0, 5 }, { 0, 45, -5 } };
    Eigen::Vector3d pivot_Tracker{ 40.0, -25.0, -900.0 };
};

/// Measurement noise of a simulated tracker, per axis: orientation noise in the tool frame and position noise.
struct SimulatedNoise
{
    double rotationDegrees = 0.0;
    double positionMm = 0.0;
};

inline Eigen::Vector3d noiseVector(double sigma, std::mt19937_64& rng)
{
    if (sigma <= 0.0)
        return Eigen::Vector3d::Zero();
    std::normal_distribution<double> gauss(0.0, sigma);
    return Eigen::Vector3d(gauss(rng), gauss(rng), gauss(rng));
}

inline Eigen::Matrix3d noiseRotation(double sigmaDegrees, std::mt19937_64& rng)
{
    const Eigen::Vector3d w = noiseVector(sigmaDegrees * kDegree, rng);
    return w.isZero(0.0) ? Eigen::Matrix3d::Identity() : Eigen::AngleAxisd(w.norm(), w.normalized()).toRotationMatrix();
}

inline Eigen::Matrix4d makePose(const Eigen::Matrix3d& rotation, const Eigen::Vector3d& translation)
{
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    pose.topLeftCorner<3, 3>() = rotation;
    pose.topRightCorner<3, 1>() = translation;
    return pose;
}

/// The tool at `rotation` with its tip on the pivot, as the tracker measures it.
inline Eigen::Matrix4d measuredPose(const SimulatedTool& tool, const Eigen::Matrix3d& rotation,
                                    const SimulatedNoise& noise, std::mt19937_64& rng)
{
    return makePose(rotation * noiseRotation(noise.rotationDegrees, rng),
                    tool.pivot_Tracker - rotation * tool.tip_Tool + noiseVector(noise.positionMm, rng));
}

/// The fiducials of one pose: the tool's markers keyed with the tool's id, value 1.
inline std::unique_ptr<TrackingInstrumentFiducialsData> markerFiducials(const SimulatedTool& tool,
                                                                        const Eigen::Matrix4d& pose)
{
    auto fiducials = std::make_unique<TrackingInstrumentFiducialsData>();
    for (const Eigen::Vector3d& marker : tool.markers_Tool)
        fiducials->addFiducial(apply(pose, marker), 1.0, TrackingInstrumentFiducialsData::instrumentKey(tool.id));
    return fiducials;
}

inline std::unique_ptr<TrackingSequence> emptyRecording(const SimulatedTool& tool)
{
    auto sequence = std::make_unique<TrackingSequence>(tool.id);
    sequence->setTrackerID(TrackerID(tool.id, "SimulatedPointer", "Pointer"));
    return sequence;
}

/// The tool pivoted about its resting tip: each pose tilts the upright tool by up to `maxTiltDegrees` about a
/// random horizontal axis and spins it at random about the vertical. With `withFiducials` every sample carries
/// the markers (at their true positions) as fiducials.
inline std::unique_ptr<TrackingSequence> pivotingRecording(const SimulatedTool& tool, int count, double maxTiltDegrees,
                                                           const SimulatedNoise& noise, std::mt19937_64& rng,
                                                           bool withFiducials = false)
{
    auto sequence = emptyRecording(tool);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < count; ++i)
    {
        const double heading = 2.0 * kPi * unit(rng);
        const double tilt = maxTiltDegrees * kDegree * std::sqrt(unit(rng));
        const double spin = 2.0 * kPi * unit(rng);
        const Eigen::Matrix3d rotation =
          (Eigen::AngleAxisd(tilt, Eigen::Vector3d(std::cos(heading), std::sin(heading), 0.0)) *
           Eigen::AngleAxisd(spin, Eigen::Vector3d::UnitZ()))
            .toRotationMatrix();
        const int index = sequence->add(measuredPose(tool, rotation, noise, rng), 1000 * int64_t(i));
        if (withFiducials)
            sequence->elementwiseComponents().element(index).add(
              markerFiducials(tool, makePose(rotation, tool.pivot_Tracker - rotation * tool.tip_Tool)));
    }
    return sequence;
}

/// The tool turned about its own needle axis by `spinDegrees` in `count` even steps, starting from `start`.
inline std::unique_ptr<TrackingSequence> rotationRecording(const SimulatedTool& tool, int count, double spinDegrees,
                                                           const Eigen::Matrix3d& start, const SimulatedNoise& noise,
                                                           std::mt19937_64& rng)
{
    auto sequence = emptyRecording(tool);
    for (int i = 0; i < count; ++i)
    {
        const double angle = count > 1 ? spinDegrees * kDegree * i / (count - 1) : 0.0;
        const Eigen::Matrix3d rotation = start * Eigen::AngleAxisd(angle, tool.axis_Tool).toRotationMatrix();
        sequence->add(measuredPose(tool, rotation, noise, rng), 1000 * int64_t(i));
    }
    return sequence;
}

/// Angle in degrees between two lines (the sign of the directions is ignored).
inline double lineAngleDegrees(const Eigen::Vector3d& a, const Eigen::Vector3d& b)
{
    return std::acos(std::min(1.0, std::abs(a.normalized().dot(b.normalized())))) / kDegree;
}

} // namespace Kelvaros::Testing
