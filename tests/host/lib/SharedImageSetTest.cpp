#include "lib/SharedImageSet.h"

#include <cmath>
#include <random>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "core/Log.h"
#include "lib/TrackedSharedImageSet.h"

#include "LogExpectation.h"

namespace Kelvaros
{
namespace
{
using Testing::LogExpectation;

constexpr double kToleranceMm = 1e-9;

Eigen::Matrix4d pose(double angle, const Eigen::Vector3d& axis, const Eigen::Vector3d& translation)
{
    return (Eigen::Translation3d(translation) * Eigen::AngleAxisd(angle, axis.normalized())).matrix();
}

TEST(SharedImageSet, KindFollowsTheNumberOfSlices)
{
    SharedImageSet volume("ct", { 10, 12, 8 }, { 0.5, 0.5, 1.25 }, Data::Modality::CT);
    EXPECT_EQ(volume.kind(), Data::Kind::Volume);
    EXPECT_EQ(volume.voxels().size(), 960u);
    EXPECT_EQ(SharedImageSet("us", { 64, 48, 1 }, { 0.2, 0.2, 1.0 }).kind(), Data::Kind::Image);
}

TEST(SharedImageSet, ImageFrameIsCentredOnTheGrid)
{
    SharedImageSet volume("ct", { 10, 12, 8 }, { 0.5, 0.75, 2.0 });
    // The middle of the grid is the origin; voxel 0 lies (d - 1) / 2 voxels below it.
    EXPECT_TRUE(volume.voxelToImage({ 4.5, 5.5, 3.5 }).isZero(kToleranceMm));
    EXPECT_TRUE(volume.voxelToImage({ 0, 0, 0 }).isApprox(Eigen::Vector3d(-2.25, -4.125, -7.0), kToleranceMm));
    EXPECT_TRUE(volume.voxelToImage({ 9, 11, 7 }).isApprox(Eigen::Vector3d(2.25, 4.125, 7.0), kToleranceMm));
    EXPECT_TRUE(volume.extent().isApprox(Eigen::Vector3d(5.0, 9.0, 16.0)));
    // The outer faces of the grid are half a voxel beyond the outer voxel centres.
    const Eigen::AlignedBox3d box = volume.imageBoundingBox();
    EXPECT_TRUE(box.min().isApprox(volume.voxelToImage({ -0.5, -0.5, -0.5 }), kToleranceMm));
    EXPECT_TRUE(box.max().isApprox(volume.voxelToImage({ 9.5, 11.5, 7.5 }), kToleranceMm));
}

TEST(SharedImageSet, VoxelWorldRoundTrip)
{
    std::mt19937 rng(42);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_real_distribution<double> voxel(-5.0, 40.0);
    SharedImageSet volume("mri", { 32, 24, 16 }, { 0.9, 1.1, 2.5 }, Data::Modality::MRI);
    for (int trial = 0; trial < 50; ++trial)
    {
        const Eigen::Matrix4d placement = pose(3.0 * unit(rng), { unit(rng), unit(rng), unit(rng) },
                                               200.0 * Eigen::Vector3d(unit(rng), unit(rng), unit(rng)));
        volume.setMatrix(placement);
        const Eigen::Vector3d v(voxel(rng), voxel(rng), voxel(rng));
        const Eigen::Vector3d world = volume.voxelToWorld(v);
        const Eigen::Vector3d expected = (placement * volume.voxelToImage(v).homogeneous()).head<3>();
        EXPECT_TRUE(world.isApprox(expected, kToleranceMm));
        EXPECT_LT((volume.worldToVoxel(world) - v).norm(), 1e-9);
        EXPECT_TRUE(volume.matrix(-1).isApprox(placement));
        EXPECT_TRUE(volume.matrix(0).isApprox(volume.matrix()));
    }
}

TEST(SharedImageSet, WorldBoundingBoxFollowsThePlacement)
{
    SharedImageSet volume("ct", { 20, 10, 4 }, { 1.0, 1.0, 2.5 });
    EXPECT_TRUE(volume.worldBoundingBox().min().isApprox(Eigen::Vector3d(-10, -5, -5)));
    // A quarter turn about z swaps the x and y extents; the translation moves the centre.
    volume.setMatrix(pose(M_PI / 2, Eigen::Vector3d::UnitZ(), { 100, 0, -30 }));
    const Eigen::AlignedBox3d box = volume.worldBoundingBox();
    EXPECT_TRUE(box.min().isApprox(Eigen::Vector3d(95, -10, -35), 1e-9));
    EXPECT_TRUE(box.max().isApprox(Eigen::Vector3d(105, 10, -25), 1e-9));
    EXPECT_TRUE(box.center().isApprox(volume.imageToWorld(Eigen::Vector3d::Zero())));
}

TEST(SharedImageSet, VoxelsAreStoredXFastest)
{
    SharedImageSet volume("ct", { 3, 4, 5 }, { 1, 1, 1 });
    volume.setVoxel({ 1, 0, 0 }, 1.0f);
    volume.setVoxel({ 0, 1, 0 }, 2.0f);
    volume.setVoxel({ 0, 0, 1 }, 3.0f);
    volume.setVoxel({ 2, 3, 4 }, 4.0f);
    EXPECT_EQ(volume.voxels()[1], 1.0f);
    EXPECT_EQ(volume.voxels()[3], 2.0f);
    EXPECT_EQ(volume.voxels()[12], 3.0f);
    EXPECT_EQ(volume.voxels().back(), 4.0f);
    EXPECT_EQ(volume.voxel({ 2, 3, 4 }), 4.0f);
    EXPECT_TRUE(volume.contains({ 2, 3, 4 }));
    EXPECT_FALSE(volume.contains({ 3, 0, 0 }));
    EXPECT_FALSE(volume.contains({ 0, -1, 0 }));
}

TEST(SharedImageSet, InterpolationIsExactOnLinearImages)
{
    SharedImageSet volume("ramp", { 6, 5, 4 }, { 1, 1, 1 });
    for (int z = 0; z < 4; ++z)
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 6; ++x)
                volume.setVoxel({ x, y, z }, float(2 * x + 3 * y - 5 * z));
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int trial = 0; trial < 100; ++trial)
    {
        const Eigen::Vector3d p(5.0 * u(rng), 4.0 * u(rng), 3.0 * u(rng));
        const std::optional<float> value = volume.interpolate(p);
        ASSERT_TRUE(value);
        EXPECT_NEAR(*value, 2 * p.x() + 3 * p.y() - 5 * p.z(), 1e-4);
    }
    EXPECT_NEAR(*volume.interpolate({ 5, 4, 3 }), 10 + 12 - 15, 1e-5);
    EXPECT_FALSE(volume.interpolate({ -0.01, 0, 0 }));
    EXPECT_FALSE(volume.interpolate({ 0, 0, 3.01 }));
    EXPECT_FALSE(volume.interpolate({ 0, 0, 0 }, 1));

    SharedImageSet slice("slice", { 2, 2, 1 }, { 1, 1, 1 });
    slice.voxels() = { 0.0f, 1.0f, 2.0f, 3.0f };
    EXPECT_NEAR(*slice.interpolate({ 0.5, 0.5, 0.0 }), 1.5, 1e-6);
    EXPECT_FALSE(slice.interpolate({ 0.5, 0.5, 0.2 }));
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

TEST(SharedImageSet, CopyIsDeep)
{
    SharedImageSet original("ct", { 2, 2, 2 }, { 1, 1, 1 }, Data::Modality::CT);
    original.setMatrix(pose(0.3, Eigen::Vector3d::UnitX(), { 1, 2, 3 }));
    original.setVoxel({ 1, 1, 1 }, 7.0f);
    SharedImageSet copy(original);
    copy.setVoxel({ 1, 1, 1 }, 9.0f);
    EXPECT_EQ(original.voxel({ 1, 1, 1 }), 7.0f);
    EXPECT_EQ(copy.modality(), Data::Modality::CT);
    EXPECT_TRUE(copy.matrix().isApprox(original.matrix()));
}

TEST(TrackedSharedImageSet, EachFrameHasItsOwnPose)
{
    TrackedSharedImageSet sweep("sweep", { 40, 30 }, { 0.25, 0.25 });
    EXPECT_EQ(sweep.kind(), Data::Kind::Image);
    EXPECT_TRUE(sweep.worldBoundingBox().isEmpty());

    // The probe moves 2 mm along z between frames, with the image plane tilted about x.
    const int frames = 5;
    for (int k = 0; k < frames; ++k)
    {
        const Eigen::Matrix4d frameToTracker = pose(0.2, Eigen::Vector3d::UnitX(), { 10, 20, 2.0 * k });
        EXPECT_EQ(sweep.addFrame(std::vector<float>(1200, float(k)), frameToTracker, 1000 * k), k);
    }
    {
        LogExpectation expect(Log::Error, "does not fit dimensions", 1);
        EXPECT_EQ(sweep.addFrame(std::vector<float>(10, 0.0f), Eigen::Matrix4d::Identity()), -1);
    }
    ASSERT_EQ(sweep.numImages(), frames);
    EXPECT_EQ(sweep.timestamp(3), 3000);
    EXPECT_EQ(sweep.voxels(4)[0], 4.0f);

    const Eigen::Matrix4d registration = pose(-0.7, { 0, 1, 1 }, { -50, 5, 0 });
    sweep.setMatrix(registration);
    for (int k = 0; k < frames; ++k)
        EXPECT_TRUE(sweep.matrix(k).isApprox(registration * sweep.frameMatrix(k)));
    // The centre of frame 2 in world space.
    const Eigen::Vector3d centre = sweep.imageToWorld(Eigen::Vector3d::Zero(), 2);
    EXPECT_TRUE(centre.isApprox((registration * Eigen::Vector4d(10, 20, 4, 1)).head<3>(), kToleranceMm));

    sweep.setSelectedImage(3);
    EXPECT_TRUE(sweep.matrix(-1).isApprox(sweep.matrix(3)));
    sweep.setSelectedImage(17);
    EXPECT_EQ(sweep.selectedImage(), 3);
    EXPECT_TRUE(sweep.frameMatrix(99).isIdentity());

    // Every frame's corners lie inside the world box.
    const Eigen::AlignedBox3d tight = sweep.worldBoundingBox();
    const Eigen::AlignedBox3d box(tight.min().array() - 1e-9, tight.max().array() + 1e-9);
    for (int k = 0; k < frames; ++k)
        EXPECT_TRUE(box.contains(sweep.voxelToWorld({ 39.5, -0.5, 0.0 }, k)));
}

} // namespace
} // namespace Kelvaros
