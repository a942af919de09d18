#include "visualization/SliceViewLinking.h"

#include <cmath>
#include <random>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "lib/numerics/Pose.h"

#include "GeometryTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
using Linking = SliceViewLinking;
using Views = std::array<Linking::View, 3>;

Eigen::Matrix4d rotation(const Eigen::Matrix3d& r)
{
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topLeftCorner<3, 3>() = r;
    return m;
}

Eigen::Matrix3d rows(double a, double b, double c, double d, double e, double f, double g, double h, double i)
{
    Eigen::Matrix3d m;
    m << a, b, c, d, e, f, g, h, i;
    return m;
}

const Eigen::Matrix3d kTilt = Eigen::AngleAxisd(0.2, Eigen::Vector3d(1, 2, 3).normalized()).toRotationMatrix();
// The tool's x, y, z lie near world y, z, x: π = (2, 0, 1), an even permutation.
const Eigen::Matrix3d kCyclic = rows(0, 0, 1, 1, 0, 0, 0, 1, 0);
const Eigen::Matrix3d kCyclicSnap = rows(0, 1, 0, 0, 0, 1, 1, 0, 0);
} // namespace

TEST(SliceViewLinking, ClosestAxisPermutationIsAProperRotation)
{
    const double c = std::sqrt(0.5);
    struct Case
    {
        const char* name;
        Eigen::Matrix3d tool;
        Eigen::Matrix3d expected;
    };
    const Case cases[] = {
        { "identity", Eigen::Matrix3d::Identity(), Eigen::Matrix3d::Identity() },
        { "even permutation", kTilt * kCyclic, kCyclicSnap },
        // x and y swapped, z reversed: the permutation matrix is a reflection and is negated into a rotation.
        { "odd permutation", kTilt * rows(0, 1, 0, 1, 0, 0, 0, 0, -1), rows(0, -1, 0, -1, 0, 0, 0, 0, -1) },
        // 45 degrees about z: identity and x/y swap tie; the first visited wins.
        { "tie", rows(c, -c, 0, c, c, 0, 0, 0, 1), Eigen::Matrix3d::Identity() },
    };
    for (const Case& test : cases)
    {
        SCOPED_TRACE(test.name);
        EXPECT_EQ(Linking::closestAxisPermutation(rotation(test.tool)), rotation(test.expected));
    }
}

TEST(SliceViewLinking, ViewsFollowTheToolByTheLinkingFlags)
{
    std::mt19937 rng(1);
    Eigen::Matrix4d tool = rotation(kTilt * kCyclic);
    const Eigen::Vector3d tip(5, -6, 70);
    tool.topRightCorner<3, 1>() = tip;
    const Eigen::Vector3d triples[3] = { { 180, 0, 0 }, { 180, 90, 0 }, { -90, 0, 0 } };
    Views views;
    for (auto& view : views)
        view = { randomRigid(rng), 0, 0 };
    views[1].width = 300; // one shown view is enough, and then all three follow
    views[1].height = 200;

    for (int flags = 0; flags < 8; ++flags)
    {
        Linking::Options options;
        options.linkWithRot = flags & 1;
        options.snapToClosestAxis = flags & 2;
        options.ignoreInPlaneTranslation = flags & 4;
        SCOPED_TRACE(flags);
        const auto poses = Linking::linkedPoses(tool, options, views);
        ASSERT_TRUE(poses.has_value());
        for (size_t k = 0; k < 3; ++k)
        {
            const Eigen::Matrix4d& before = views[k].pose;
            const Eigen::Matrix4d& after = (*poses)[k];
            const Eigen::Matrix4d snap =
              options.snapToClosestAxis ? rotation(kCyclicSnap) : Eigen::Matrix4d::Identity();
            // Without rotation linking the view keeps its orientation (and snapping does not matter).
            const Eigen::Matrix4d expected =
              options.linkWithRot ? Eigen::Matrix4d(tool * snap * Pose::eulerToMat({ 0, 0, 0 }, triples[k])) : before;
            EXPECT_LT(((after - expected).topLeftCorner<3, 3>().norm()), 1e-9);

            const Eigen::Vector3d origin = after.topRightCorner<3, 1>();
            if (!options.ignoreInPlaneTranslation)
            {
                EXPECT_LT((origin - tip).norm(), 1e-9);
                continue;
            }
            // On the old normal through the old origin, in the plane parallel to the old view that holds the tip.
            const Eigen::Vector3d normal = before.block<3, 1>(0, 2);
            const Eigen::Vector3d move = origin - before.topRightCorner<3, 1>();
            EXPECT_LT(move.cross(normal).norm(), 1e-9);
            EXPECT_NEAR((tip - origin).dot(normal), 0.0, 1e-9);
        }
    }

    // Nothing moves without linking, without a pose, or without a view of positive width and height.
    Linking::Options off;
    off.linkMPRs = false;
    EXPECT_FALSE(Linking::linkedPoses(tool, off, views).has_value());
    EXPECT_FALSE(Linking::linkedPoses(std::nullopt, Linking::Options{}, views).has_value());
    views[1].height = 0;
    views[0] = { views[0].pose, -5, 200 };
    views[2] = { views[2].pose, 300, 0 };
    EXPECT_FALSE(Linking::linkedPoses(tool, Linking::Options{}, views).has_value());
}
