#include "visualization/SliceViewLinking.h"

#include <cmath>
#include <random>

#include <Eigen/Geometry>
#include <Eigen/LU>
#include <gtest/gtest.h>

#include "lib/numerics/Pose.h"
#include "lib/view/Slice.h"

#include "VisualizationTestSupport.h"
#include "visualization/ToolVisualizationAlgorithm.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
using Linking = SliceViewLinking;
using Views = std::array<Linking::View, 3>;

Views shownViews(std::mt19937& rng)
{
    Views views;
    for (auto& view : views)
    {
        view.pose = randomRigid(rng);
        view.width = 300;
        view.height = 200;
    }
    return views;
}

Eigen::Matrix4d rotation(const Eigen::Matrix3d& r)
{
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topLeftCorner<3, 3>() = r;
    return m;
}

void expectNear(const Eigen::Matrix4d& actual, const Eigen::Matrix4d& expected, double tolerance = 1e-9)
{
    EXPECT_LT((actual - expected).cwiseAbs().maxCoeff(), tolerance) << "actual\n"
                                                                    << actual << "\nexpected\n"
                                                                    << expected;
}

const Eigen::Vector3d kTriples[3] = { { 180, 0, 0 }, { 180, 90, 0 }, { -90, 0, 0 } };
} // namespace

TEST(SliceViewLinking, NothingMovesWithoutLinkingPoseOrAShownView)
{
    std::mt19937 rng(1);
    const Eigen::Matrix4d tool = randomRigid(rng);
    Views views = shownViews(rng);
    Linking::Options options;

    EXPECT_TRUE(Linking::linkedPoses(tool, options, views));
    EXPECT_FALSE(Linking::linkedPoses(std::nullopt, options, views));
    options.linkMPRs = false;
    EXPECT_FALSE(Linking::linkedPoses(tool, options, views));
    options.linkMPRs = true;

    // A view counts as shown only with a positive width and a positive height.
    views[0].width = 0;
    views[1].height = 0;
    views[2].width = -5;
    EXPECT_FALSE(Linking::linkedPoses(tool, options, views));
    // One shown view is enough, and then all three follow.
    views[1].height = 1;
    const auto poses = Linking::linkedPoses(tool, options, views);
    ASSERT_TRUE(poses);
    for (int k = 0; k < 3; ++k)
        expectNear((*poses)[size_t(k)], tool * Pose::eulerToMat(Eigen::Vector3d::Zero(), kTriples[k]));
}

TEST(SliceViewLinking, WithRotationTheViewsTakeTheToolFrame)
{
    std::mt19937 rng(2);
    for (int trial = 0; trial < 20; ++trial)
    {
        const Eigen::Matrix4d tool = randomRigid(rng);
        const auto poses = Linking::linkedPoses(tool, Linking::Options{}, shownViews(rng));
        ASSERT_TRUE(poses);
        const Eigen::Vector3d tip = tool.block<3, 1>(0, 3);
        const Eigen::Vector3d needle = tool.block<3, 1>(0, 2);
        for (size_t k = 0; k < 3; ++k)
        {
            EXPECT_LT((((*poses)[k].block<3, 1>(0, 3)) - tip).norm(), 1e-9);
            EXPECT_NEAR(((*poses)[k].topLeftCorner<3, 3>().determinant()), 1.0, 1e-9);
        }
        // The axial view looks down the needle (normal = −z of the tool); the other two contain it.
        EXPECT_LT((((*poses)[0].block<3, 1>(0, 2)) + needle).norm(), 1e-9);
        EXPECT_NEAR(((*poses)[1].block<3, 1>(0, 2).dot(needle)), 0.0, 1e-9);
        EXPECT_NEAR(((*poses)[2].block<3, 1>(0, 2).dot(needle)), 0.0, 1e-9);
    }
}

TEST(SliceViewLinking, WithoutRotationOnlyTheOriginMovesToTheTip)
{
    std::mt19937 rng(3);
    const Eigen::Matrix4d tool = randomRigid(rng);
    const Views views = shownViews(rng);
    Linking::Options options;
    options.linkWithRot = false;
    options.snapToClosestAxis = true; // irrelevant without rotation
    const auto poses = Linking::linkedPoses(tool, options, views);
    ASSERT_TRUE(poses);
    for (size_t k = 0; k < 3; ++k)
    {
        Eigen::Matrix4d expected = views[k].pose;
        expected.block<3, 1>(0, 3) = tool.block<3, 1>(0, 3);
        EXPECT_EQ((*poses)[k], expected);
    }
}

TEST(SliceViewLinking, IgnoringInPlaneTranslationMovesAlongTheViewNormalOnly)
{
    std::mt19937 rng(4);
    for (bool withRotation : { true, false })
    {
        const Eigen::Matrix4d tool = randomRigid(rng);
        const Views views = shownViews(rng);
        Linking::Options options;
        options.linkWithRot = withRotation;
        options.ignoreInPlaneTranslation = true;
        const auto poses = Linking::linkedPoses(tool, options, views);
        ASSERT_TRUE(poses);
        const Eigen::Vector3d tip = tool.block<3, 1>(0, 3);
        for (size_t k = 0; k < 3; ++k)
        {
            const Slice before = [&]
            {
                Slice s;
                s.setPose(views[k].pose);
                return s;
            }();
            const Eigen::Vector3d origin = (*poses)[k].block<3, 1>(0, 3);
            // The new origin lies on the old normal through the old origin, in the plane parallel to the old view
            // that holds the tip.
            EXPECT_LT((before.project(origin) - before.origin()).norm(), 1e-9);
            EXPECT_NEAR(before.signedDistance(origin), before.signedDistance(tip), 1e-9);
            // Orientation as without the option.
            options.ignoreInPlaneTranslation = false;
            const auto free = Linking::linkedPoses(tool, options, views);
            options.ignoreInPlaneTranslation = true;
            EXPECT_EQ(((*poses)[k].topLeftCorner<3, 3>()), ((*free)[k].topLeftCorner<3, 3>()));
        }
    }
}

TEST(SliceViewLinking, SnapWithIdentityRotationKeepsTheAnatomicalViews)
{
    Eigen::Matrix4d tool = Eigen::Matrix4d::Identity();
    tool.block<3, 1>(0, 3) = Eigen::Vector3d(5, 6, 7);
    EXPECT_EQ(Linking::closestAxisPermutation(tool), Eigen::Matrix4d::Identity());
    const auto bases = Linking::baseOrientations(tool, true);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(bases[size_t(k)], Slice(*Slice::planeFromIndex(k)).pose());
}

TEST(SliceViewLinking, SnapPicksTheClosestAxesAndKeepsAProperRotation)
{
    // Even permutation: the tool's x, y, z lie near world y, z, x.
    Eigen::Matrix3d cyclic;
    cyclic << 0, 0, 1, 1, 0, 0, 0, 1, 0;
    const Eigen::Matrix3d tilt = Eigen::AngleAxisd(0.2, Eigen::Vector3d(1, 2, 3).normalized()).toRotationMatrix();
    Eigen::Matrix4d p = Linking::closestAxisPermutation(rotation(tilt * cyclic));
    Eigen::Matrix4d expected = Eigen::Matrix4d::Identity();
    // π = (2, 0, 1): P(π(j), j) = 1.
    expected.topLeftCorner<3, 3>() << 0, 1, 0, 0, 0, 1, 1, 0, 0;
    EXPECT_EQ(p, expected);

    // Odd permutation (x and y swapped, z reversed: a rotation whose axis pattern is a transposition): the
    // permutation matrix is a reflection and is negated into a rotation.
    Eigen::Matrix3d swap;
    swap << 0, 1, 0, 1, 0, 0, 0, 0, -1;
    p = Linking::closestAxisPermutation(rotation(tilt * swap));
    expected.setZero();
    expected(3, 3) = 1;
    expected.topLeftCorner<3, 3>() << 0, -1, 0, -1, 0, 0, 0, 0, -1;
    EXPECT_EQ(p, expected);
    EXPECT_EQ(p.determinant(), 1.0);

    // Random tools: P is always a signed permutation with determinant +1, and the linked views stay rotations.
    std::mt19937 rng(5);
    Linking::Options options;
    options.snapToClosestAxis = true;
    for (int trial = 0; trial < 50; ++trial)
    {
        const Eigen::Matrix4d tool = randomRigid(rng);
        p = Linking::closestAxisPermutation(tool);
        EXPECT_EQ(p.determinant(), 1.0);
        EXPECT_EQ(p.cwiseAbs().sum(), 4.0);
        const auto poses = Linking::linkedPoses(tool, options, shownViews(rng));
        for (size_t k = 0; k < 3; ++k)
        {
            expectNear((*poses)[k], tool * p * Slice(*Slice::planeFromIndex(int(k))).pose());
            EXPECT_NEAR(((*poses)[k].topLeftCorner<3, 3>().determinant()), 1.0, 1e-9);
        }
    }
}

TEST(SliceViewLinking, SnapTieKeepsTheFirstPermutation)
{
    // 45 degrees about z, written with one exact value: |M(0,0)| + |M(1,1)| and |M(0,1)| + |M(1,0)| are equal, so
    // the identity (visited first) must win over the swap of x and y.
    const double c = std::sqrt(0.5);
    Eigen::Matrix3d r;
    r << c, -c, 0, c, c, 0, 0, 0, 1;
    EXPECT_EQ(Linking::closestAxisPermutation(rotation(r)), Eigen::Matrix4d::Identity());
}

TEST(SliceViewLinking, OptionsAndPoseComeFromTheAlgorithm)
{
    ToolVisualizationAlgorithm algorithm(nullptr, nullptr);
    algorithm.p_linkWithRot.setValue(false);
    algorithm.p_ignoreInPlaneTranslation.setValue(true);
    algorithm.p_snapToClosestAxis.setValue(true);
    const auto options = Linking::Options::from(algorithm);
    EXPECT_TRUE(options.linkMPRs);
    EXPECT_FALSE(options.linkWithRot);
    EXPECT_TRUE(options.snapToClosestAxis);
    EXPECT_TRUE(options.ignoreInPlaneTranslation);

    // No sample yet: no pose, no move.
    std::mt19937 rng(6);
    EXPECT_FALSE(Linking::linkedPoses(algorithm, shownViews(rng)));
}
