#include "lib/SharedImageSet.h"

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "core/Log.h"

#include "LogExpectation.h"

namespace Kelvaros
{
namespace
{
using Testing::LogExpectation;

constexpr double kToleranceMm = 1e-9;

TEST(SharedImageSet, FrameIsCentredOnTheGridAndInterpolationIsExactOnLinearImages)
{
    SharedImageSet volume("ramp", { 6, 5, 4 }, { 0.5, 0.75, 2.0 });
    for (int z = 0; z < 4; ++z)
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 6; ++x)
                volume.setVoxel({ x, y, z }, float(2 * x + 3 * y - 5 * z));
    // The middle of the grid is the origin; the outer faces lie half a voxel beyond the outer voxel centres.
    EXPECT_TRUE(volume.voxelToImage({ 2.5, 2, 1.5 }).isZero(kToleranceMm));
    EXPECT_TRUE(volume.voxelToImage({ 0, 0, 0 }).isApprox(Eigen::Vector3d(-1.25, -1.5, -3.0), kToleranceMm));
    EXPECT_TRUE(volume.imageBoundingBox().max().isApprox(Eigen::Vector3d(1.5, 1.875, 4.0), kToleranceMm));
    EXPECT_TRUE(volume.imageBoundingBox().min().isApprox(Eigen::Vector3d(-1.5, -1.875, -4.0), kToleranceMm));
    // Defined from the first to the last voxel centre, and nowhere else.
    for (const Eigen::Vector3d& p : { Eigen::Vector3d(0, 0, 0), Eigen::Vector3d(2.3, 1.7, 0.4),
                                      Eigen::Vector3d(4.9, 0.1, 2.5), Eigen::Vector3d(5, 4, 3) })
        EXPECT_NEAR(volume.interpolate(p).value_or(-1e9), 2 * p.x() + 3 * p.y() - 5 * p.z(), 1e-4) << p.transpose();
    EXPECT_FALSE(volume.interpolate({ -0.01, 0, 0 }));
    EXPECT_FALSE(volume.interpolate({ 0, 0, 3.01 }));
    EXPECT_FALSE(volume.interpolate({ 0, 0, 0 }, 1));
}

TEST(SharedImageSet, BadGeometryIsLoggedAndRepaired)
{
    {
        LogExpectation expect(Log::Warning, "is not positive, taken as 1 mm", 2);
        SharedImageSet image("bad", { 4, 4, 4 }, { 0.0, -1.0, 0.5 });
        EXPECT_TRUE(image.spacing().isApprox(Eigen::Vector3d(1.0, 1.0, 0.5)));
    }
    {
        LogExpectation expect(Log::Warning, "negative image dimensions", 1);
        SharedImageSet image("bad", { -3, 4, 4 }, { 1, 1, 1 });
        EXPECT_EQ(image.numVoxels(), 0u);
        EXPECT_FALSE(image.interpolate({ 0, 0, 0 }));
    }
    SharedImageSet image("ok", { 2, 2, 2 }, { 1, 1, 1 });
    LogExpectation expect(Log::Error, "does not fit dimensions", 1);
    EXPECT_EQ(image.addImage(std::vector<float>(7, 0.0f)), -1);
    EXPECT_EQ(image.addImage(std::vector<float>(8, 1.0f)), 1);
    EXPECT_EQ(image.numImages(), 2);
}

} // namespace
} // namespace Kelvaros
