#include "lib/view/ViewCursor.h"

#include <Eigen/Geometry>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "lib/SharedImageSet.h"
#include "lib/view/CursorReadout.h"

using namespace Kelvaros;

// A click's point moves each other plane along its normal onto the point; the plane clicked in, which already holds
// the point, keeps its exact pose, and the signal reports each real move once.
TEST(ViewCursor, MovesOtherPlanesAlongTheirNormalOnly)
{
    const Eigen::Vector3d centre(4, -3, 17);
    Slice axial(Slice::AnatomicalPlane::Axial, centre);
    axial.setOrigin(axial.origin() + Eigen::Vector3d(6, 2, 0)); // panned
    const Eigen::Vector3d clicked = axial.origin() + 3.5 * axial.xAxis() - 8.25 * axial.yAxis();
    for (const auto plane : { Slice::AnatomicalPlane::Sagittal, Slice::AnatomicalPlane::Coronal })
    {
        const Slice before(plane, centre + Eigen::Vector3d(1, 2, 3));
        const Slice after = ViewCursor::sliceThrough(before, clicked);
        EXPECT_NEAR(after.signedDistance(clicked), 0, 1e-12);
        EXPECT_TRUE((after.pose().topLeftCorner<3, 3>() == before.pose().topLeftCorner<3, 3>()));
        EXPECT_NEAR((after.origin() - before.origin()).cross(before.normal()).norm(), 0, 1e-12);
    }
    EXPECT_TRUE(ViewCursor::sliceThrough(axial, clicked).pose() == axial.pose());

    ViewCursor cursor;
    std::vector<Eigen::Vector3d> moves;
    cursor.signalMoved.connect([&](const Eigen::Vector3d& p) { moves.push_back(p); });
    cursor.setPosition(clicked);
    cursor.setPosition(clicked);
    cursor.setPosition(Eigen::Vector3d(1, std::nan(""), 2));
    ASSERT_EQ(moves.size(), 1u);
    EXPECT_EQ(moves[0], clicked);
    EXPECT_EQ(cursor.position(), clicked);
}

// The voxel named is the one that holds the cursor in a volume that is anisotropic, rotated and shifted, with its
// value; past the grid's outer face the read-out says so instead of naming a voxel.
TEST(CursorReadout, NamesThePlaneTheCursorItsVoxelAndValue)
{
    SharedImageSet volume("asymmetric", Eigen::Vector3i(7, 9, 5), Eigen::Vector3d(0.8, 1.1, 1.6));
    for (int k = 0; k < 5; ++k)
        for (int j = 0; j < 9; ++j)
            for (int i = 0; i < 7; ++i)
                volume.setVoxel({ i, j, k }, float(40 + 17 * i + 7 * j + 3 * k));
    const Eigen::Affine3d placement =
      Eigen::Translation3d(12, -7, 30) * Eigen::AngleAxisd(0.4, Eigen::Vector3d(1, 2, 3).normalized());
    volume.setMatrix(placement.matrix());
    const Slice axial(Slice::AnatomicalPlane::Axial, Eigen::Vector3d(0, 0, -12.5));
    const std::pair<double, double> windowLevel(400, 40);

    const Eigen::Vector3d inside = volume.voxelToWorld(Eigen::Vector3d(6.45, 2.3, 3.2));
    const std::vector<std::string> lines = CursorReadout::lines(axial, inside, &volume, windowLevel);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "Axial  I 12.5 mm");
    EXPECT_EQ(lines[1], fmt::format("R {:.1f}  A {:.1f}  S {:.1f}", inside.x(), inside.y(), inside.z()));
    EXPECT_EQ(lines[2], "voxel 6, 2, 3");
    EXPECT_EQ(lines[3], "value 165");
    EXPECT_EQ(lines[4], "W 400 L 40");

    const Eigen::Vector3d beyond = volume.voxelToWorld(Eigen::Vector3d(6.55, 2.3, 3.2));
    const std::vector<std::string> outside = CursorReadout::lines(axial, beyond, &volume, windowLevel);
    ASSERT_EQ(outside.size(), 4u);
    EXPECT_EQ(outside[2], "outside the volume");

    EXPECT_EQ(CursorReadout::slicePosition(Slice(Slice::AnatomicalPlane::Sagittal, { 3.3, 9, 9 })),
              "Sagittal  R 3.3 mm");
    EXPECT_EQ(CursorReadout::lines(axial, std::nullopt, &volume, windowLevel).size(), 1u);
}
