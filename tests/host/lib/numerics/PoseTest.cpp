#include "lib/numerics/Pose.h"

#include <cmath>
#include <limits>
#include <random>

#include <Eigen/Dense>
#include <Eigen/Geometry>
#include <gtest/gtest.h>

namespace Kelvaros
{
namespace
{
constexpr double kPi = 3.14159265358979323846;
constexpr double kDegree = kPi / 180.0;

Eigen::Matrix3d rotation(const Eigen::Vector3d& anglesDegrees)
{
    return Pose::eulerToMat(Eigen::Vector3d::Zero(), anglesDegrees).topLeftCorner<3, 3>();
}

Eigen::Matrix4d rotationPose(double angle, const Eigen::Vector3d& axis)
{
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    pose.topLeftCorner<3, 3>() = Eigen::AngleAxisd(angle, axis.normalized()).toRotationMatrix();
    return pose;
}

TEST(PoseEulerTest, FollowsTheDocumentedOrderAboutFixedAxes)
{
    const double a = 25.0, b = -40.0, c = 110.0;
    const Eigen::Matrix3d expected = (Eigen::AngleAxisd(c * kDegree, Eigen::Vector3d::UnitZ()) *
                                      Eigen::AngleAxisd(b * kDegree, Eigen::Vector3d::UnitY()) *
                                      Eigen::AngleAxisd(a * kDegree, Eigen::Vector3d::UnitX()))
                                       .toRotationMatrix();
    EXPECT_TRUE(rotation({ a, b, c }).isApprox(expected, 1e-14));
    // Multiples of 90 degrees are exact in any turn: 180 about x flips y and z, as the calibration's flip needs.
    EXPECT_EQ(rotation({ 540, 0, 0 }), Eigen::Vector3d(1, -1, -1).asDiagonal().toDenseMatrix());
    EXPECT_EQ(rotation({ 0, -270, 0 }), rotation({ 0, 90, 0 }));
    const Eigen::Matrix4d pose = Pose::eulerToMat(Eigen::Vector3d(1.5, -2.0, 30.0), Eigen::Vector3d(a, b, c));
    EXPECT_EQ((pose.topRightCorner<3, 1>()), Eigen::Vector3d(1.5, -2.0, 30.0));
}

TEST(PoseEulerTest, RoundTripAwayFromGimbalLock)
{
    std::mt19937_64 rng(21);
    std::uniform_real_distribution<double> wide(-179.9, 179.9);
    std::uniform_real_distribution<double> middle(-89.0, 89.0);
    for (int i = 0; i < 500; ++i)
    {
        const Eigen::Vector3d angles(wide(rng), middle(rng), wide(rng));
        const Eigen::Vector3d back = Pose::matToEuler(Pose::eulerToMat(Eigen::Vector3d::Zero(), angles));
        EXPECT_LT((back - angles).cwiseAbs().maxCoeff(), 1e-9) << angles.transpose();
    }
}

TEST(PoseEulerTest, GimbalLockReturnsAnEquivalentTriple)
{
    for (const Eigen::Vector3d& angles :
         { Eigen::Vector3d(30, 90, 20), Eigen::Vector3d(-70, -90, 45), Eigen::Vector3d(180, 90, 0) })
    {
        const Eigen::Vector3d back = Pose::matToEuler(Pose::eulerToMat(Eigen::Vector3d::Zero(), angles));
        EXPECT_NEAR(std::abs(back.y()), 90.0, 1e-6);
        EXPECT_EQ(back.z(), 0.0);
        EXPECT_TRUE(rotation(back).isApprox(rotation(angles), 1e-12)) << back.transpose();
    }
}

TEST(PoseGeodesicTest, IsTheRelativeRotationAngleInRadians)
{
    const Eigen::Vector3d axis(0.3, -1.0, 0.5);
    EXPECT_NEAR(Pose::geodesicDistance(Eigen::Matrix4d::Identity(), rotationPose(0.3, axis)), 0.3, 1e-15);
    // Translations do not count.
    Eigen::Matrix4d moved = rotationPose(1.7, axis);
    moved.topRightCorner<3, 1>() << 50.0, -20.0, 300.0;
    EXPECT_NEAR(Pose::geodesicDistance(rotationPose(0.2, axis), moved), 1.5, 1e-14);
    EXPECT_NEAR(Pose::geodesicDistance(Eigen::Matrix4d::Identity(), rotationPose(kPi, axis)), kPi, 1e-15);
    // Beyond pi the shorter way round counts.
    EXPECT_NEAR(Pose::geodesicDistance(Eigen::Matrix4d::Identity(), rotationPose(4.0, axis)), 2.0 * kPi - 4.0, 1e-14);
    // Accurate for tiny angles too, where acos of the trace would lose half the digits.
    EXPECT_NEAR(Pose::geodesicDistance(Eigen::Matrix4d::Identity(), rotationPose(1e-9, axis)), 1e-9, 1e-20);
    // A scaled block compares its rotation.
    Eigen::Matrix4d scaled = rotationPose(0.4, axis);
    scaled.topLeftCorner<3, 3>() *= 2.5;
    EXPECT_NEAR(Pose::geodesicDistance(Eigen::Matrix4d::Identity(), scaled), 0.4, 1e-12);
}

TEST(PoseRigidTest, AcceptsRotationsAndRefusesWhatNoTrackerReports)
{
    const Eigen::Matrix4d rigid = Pose::eulerToMat({ 10, -20, 300 }, { 30, 40, 50 });
    EXPECT_TRUE(Pose::isRigid(rigid));
    Eigen::Matrix4d floatRounded = rigid.cast<float>().cast<double>();
    EXPECT_TRUE(Pose::isRigid(floatRounded));

    auto changed = [&](auto edit)
    {
        Eigen::Matrix4d m = rigid;
        edit(m);
        return m;
    };
    EXPECT_FALSE(Pose::isRigid(changed([](Eigen::Matrix4d& m) { m.topLeftCorner<3, 3>() *= 1000; })));
    EXPECT_FALSE(Pose::isRigid(changed([](Eigen::Matrix4d& m) { m.row(1).head<3>().setZero(); })));
    EXPECT_FALSE(Pose::isRigid(changed([](Eigen::Matrix4d& m) { m.col(0).head<3>() *= -1; }))); // mirrored
    EXPECT_FALSE(Pose::isRigid(changed([](Eigen::Matrix4d& m) { m(0, 3) = std::numeric_limits<double>::infinity(); })));
    EXPECT_FALSE(Pose::isRigid(changed([](Eigen::Matrix4d& m) { m(2, 3) = std::nan(""); })));
    EXPECT_FALSE(Pose::isRigid(changed([](Eigen::Matrix4d& m) { m(1, 3) = 1e30; })));
    EXPECT_FALSE(Pose::isRigid(changed([](Eigen::Matrix4d& m) { m(3, 0) = 0.5; })));
}

} // namespace
} // namespace Kelvaros
