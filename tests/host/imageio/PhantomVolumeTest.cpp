#include "imageio/PhantomVolume.h"

#include <gtest/gtest.h>

#include "lib/SharedImageSet.h"

namespace Kelvaros
{
namespace
{

/// The value-weighted centroid (world, mm) of the voxels brighter than `threshold` within `reach` mm of `near`.
Eigen::Vector3d brightCentroid(const SharedImageSet& image, const Eigen::Vector3d& near, double reach, float threshold)
{
    const Eigen::Vector3i centre = image.worldToVoxel(near).array().round().cast<int>();
    const int steps = int(std::ceil(reach / image.spacing().minCoeff()));
    Eigen::Vector3d sum = Eigen::Vector3d::Zero();
    double weight = 0.0;
    for (int z = -steps; z <= steps; ++z)
        for (int y = -steps; y <= steps; ++y)
            for (int x = -steps; x <= steps; ++x)
            {
                const Eigen::Vector3i voxel = centre + Eigen::Vector3i(x, y, z);
                if (!image.contains(voxel) || image.voxel(voxel) <= threshold)
                    continue;
                sum += (image.voxel(voxel) - threshold) * image.voxelToWorld(voxel.cast<double>());
                weight += image.voxel(voxel) - threshold;
            }
    return sum / weight;
}

TEST(PhantomVolumeTest, SpheresSitAtTheLandmarksAndTheTargetInPhantomCoordinates)
{
    const auto& truth = TrackingSimulator::groundTruth();
    for (const double spacing : { 1.0, 0.8 })
    {
        SCOPED_TRACE(spacing);
        const auto phantom = PhantomVolume::create(truth, spacing);
        ASSERT_TRUE(phantom);
        const double reach = PhantomVolume::kFiducialRadius + 2.0 * spacing;
        for (const Eigen::Vector3d& landmark : truth.landmarks_Phantom)
            EXPECT_LT((brightCentroid(*phantom, landmark, reach, 500.0f) - landmark).norm(), 0.5);
        const Eigen::Vector3d target = PhantomVolume::target_Phantom(truth);
        const double targetReach = PhantomVolume::kTargetRadius + 2.0 * spacing;
        EXPECT_LT((brightCentroid(*phantom, target, targetReach, 170.0f) - target).norm(), 0.5);
        // The target lies in soft tissue, the grid's corners in air.
        EXPECT_EQ(phantom->voxel({ 0, 0, 0 }), PhantomVolume::kAir);
        for (const Eigen::Vector3d& offset :
             { Eigen::Vector3d(9, 0, 0), Eigen::Vector3d(0, -9, 0), Eigen::Vector3d(0, 0, -9) })
            EXPECT_EQ(*phantom->interpolate(phantom->worldToVoxel(target + offset)), PhantomVolume::kSoftTissue);
    }
}

} // namespace
} // namespace Kelvaros
