#pragma once

#include <memory>

#include <Eigen/Core>

#include "core/Export.h"
#include "lib/SharedImageSet.h"
#include "stream/sources/TrackingSimulator.h"

namespace Kelvaros
{

/// A CT-like image of the simulated tracker's phantom, so that a simulated session has a volume to register and to
/// navigate in. It is generated (a few megabytes at 1 mm), never stored.
///
/// Content, in Hounsfield-like units that a 16-bit file holds exactly (every voxel is an integer): air around an
/// ellipsoidal soft-tissue body as large as the box of the landmarks and the target, moved towards the target so
/// that it lies deep inside, a bone-like fiducial sphere at every landmark of the ground truth and a target sphere
/// at the insertion scenario's target. Edges are partial volume (a voxel's value mixes the materials by the share of
/// its width on either side of a surface), so that the intensity centroid of a sphere stays within a small fraction
/// of a voxel of its centre at any spacing.
///
/// Placement: world = the phantom's frame. A voxel's world position is its position in landmarks_Phantom
/// coordinates, so before any registration the fiducials appear at the ground truth's landmarks, and registering
/// the image to the tracker turns its matrix into phantomToTracker · matrix().
class KELVAROS_API PhantomVolume
{
public:
    static constexpr float kAir = -1000.0f;
    static constexpr float kSoftTissue = 40.0f;
    static constexpr float kFiducial = 1000.0f;
    static constexpr float kTarget = 300.0f;
    /// mm
    static constexpr double kFiducialRadius = 4.0;
    static constexpr double kTargetRadius = 5.0;

    /// The phantom image of `truth` at an isotropic `spacing` (mm, 0.5 to 10); null (after an Error in the log)
    /// for another spacing. Pure function, callable from any thread.
    [[nodiscard]] static std::unique_ptr<SharedImageSet> create(const TrackingSimulator::GroundTruth& truth,
                                                                double spacing = 1.0);

    /// The insertion scenario's target in phantom coordinates (mm).
    [[nodiscard]] static Eigen::Vector3d target_Phantom(const TrackingSimulator::GroundTruth& truth);

    /// The soft-tissue body, an ellipsoid with axes along the phantom's, in phantom coordinates (mm); the
    /// simulator's ground truth defines it, so that its sweep slides over this very skin.
    using Body = TrackingSimulator::GroundTruth::Body;
    [[nodiscard]] static Body body_Phantom(const TrackingSimulator::GroundTruth& truth);
};

} // namespace Kelvaros
