#include "lib/numerics/RigidRegistration.h"

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "GeometryTestSupport.h"
#include "LogExpectation.h"

namespace Kelvaros
{
namespace
{

using Points = std::vector<Eigen::Vector3d>;
using Testing::LogExpectation;
using Testing::randomPoints;

Eigen::Matrix4d makeTransform(const Eigen::AngleAxisd& rotation, const Eigen::Vector3d& translation)
{
    Eigen::Matrix4d t = Eigen::Matrix4d::Identity();
    t.topLeftCorner<3, 3>() = rotation.toRotationMatrix();
    t.topRightCorner<3, 1>() = translation;
    return t;
}

Points apply(const Eigen::Matrix4d& t, const Points& points)
{
    Points out;
    for (const auto& p : points)
        out.push_back(t.topLeftCorner<3, 3>() * p + t.topRightCorner<3, 1>());
    return out;
}

void expectProperRotation(const Eigen::Matrix4d& t)
{
    const Eigen::Matrix3d r = t.topLeftCorner<3, 3>();
    EXPECT_LT((r.transpose() * r - Eigen::Matrix3d::Identity()).norm(), 1e-12);
    EXPECT_NEAR(r.determinant(), 1.0, 1e-12);
    EXPECT_EQ(t.row(3), Eigen::RowVector4d(0.0, 0.0, 0.0, 1.0));
}

TEST(RigidRegistration, RecoversExactTransformsIncludingHalfTurns)
{
    std::mt19937 rng(42);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    // Half turns are where quaternion and SVD solutions lose the sign of the rotation.
    for (const double angle : { 0.0, 1e-9, 0.7, 2.5, 3.0, M_PI - 1e-6, M_PI - 1e-9, M_PI })
    {
        for (const int count : { 3, 4, 10 })
        {
            const Eigen::Vector3d axis = Eigen::Vector3d(u(rng), u(rng), u(rng)).normalized();
            const Eigen::Matrix4d truth =
              makeTransform(Eigen::AngleAxisd(angle, axis), Eigen::Vector3d(u(rng), u(rng), u(rng)) * 500.0);
            const Points source = randomPoints(rng, count, 100.0);
            double fre = -1.0;
            const auto fit = RigidRegistration::fitRigid(source, apply(truth, source), &fre);
            ASSERT_TRUE(fit) << "angle " << angle << " count " << count;
            EXPECT_LT((*fit - truth).cwiseAbs().maxCoeff(), 1e-9) << "angle " << angle << " count " << count;
            EXPECT_LT(fre, 1e-9);
            expectProperRotation(*fit);
        }
    }
}

TEST(RigidRegistration, MirrorImageGivesBestProperRotationNotAReflection)
{
    std::mt19937 rng(3);
    const Points source = randomPoints(rng, 8, 80.0);
    Points target;
    for (const auto& p : source)
        target.emplace_back(-p.x(), p.y(), p.z());
    double fre = 0.0;
    const auto fit = RigidRegistration::fitRigid(source, target, &fre);
    ASSERT_TRUE(fit);
    expectProperRotation(*fit);
    EXPECT_GT(fre, 1.0);
    EXPECT_NEAR(RigidRegistration::rmsResidual(*fit, source, target), fre, 1e-12);
    // Least squares over rotations: no small rotation or shift of the result does better.
    for (int k = 0; k < 6; ++k)
    {
        Eigen::Matrix4d nudge = Eigen::Matrix4d::Identity();
        if (k < 3)
            nudge.topLeftCorner<3, 3>() = Eigen::AngleAxisd(1e-4, Eigen::Vector3d::Unit(k)).toRotationMatrix();
        else
            nudge(k - 3, 3) = 1e-3;
        EXPECT_GT(RigidRegistration::rmsResidual(nudge * *fit, source, target), fre);
        EXPECT_GT(RigidRegistration::rmsResidual(nudge.inverse() * *fit, source, target), fre);
    }
}

TEST(RigidRegistration, FiducialErrorIsTheRmsResidual)
{
    // Each corner of a square pushed outwards by 0.3 mm: by symmetry the best rigid fit is the identity, and every
    // residual is 0.3 mm.
    const Points source{ { 50, 50, 0 }, { -50, 50, 0 }, { -50, -50, 0 }, { 50, -50, 0 }, { 0, 0, 30 } };
    Points target;
    for (const auto& p : source)
        target.push_back(p.z() == 0.0 ? Eigen::Vector3d(p + 0.3 * Eigen::Vector3d(p.x(), p.y(), 0).normalized())
                                      : Eigen::Vector3d(p + Eigen::Vector3d(0, 0, 0.3)));
    double fre = 0.0;
    const auto fit = RigidRegistration::fitRigid(source, target, &fre);
    ASSERT_TRUE(fit);
    EXPECT_LT((fit->topLeftCorner<3, 3>() - Eigen::Matrix3d::Identity()).norm(), 1e-12);
    // The centroid moves by 0.3 / 5 along z, which the translation takes up; the residuals follow from that.
    const double expected = std::sqrt((4 * (0.09 + 0.06 * 0.06) + 0.24 * 0.24) / 5.0);
    EXPECT_NEAR(fre, expected, 1e-12);
}

TEST(RigidRegistration, RefusesUnsolvableInputWithALogLine)
{
    const Points good{ { 0, 0, 0 }, { 10, 0, 0 }, { 0, 10, 0 }, { 0, 0, 10 } };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case
    {
        const char* what;
        Points source;
        Points target;
        const char* logFragment;
    };
    const std::vector<Case> cases{
        { "mismatched counts", good, Points(good.begin(), good.begin() + 3), "4 source points but 3 target points" },
        { "two pairs", Points(good.begin(), good.begin() + 2), Points(good.begin(), good.begin() + 2),
          "need at least 3 point pairs, got 2" },
        { "NaN", good, { { 0, 0, 0 }, { 10, nan, 0 }, { 0, 10, 0 }, { 0, 0, 10 } }, "point pair 1 is not finite" },
        { "coincident source",
          { { 5, 5, 5 }, { 5, 5, 5 }, { 5, 5, 5 }, { 5, 5, 5 } },
          good,
          "source points are coincident" },
        { "collinear source",
          { { 0, 0, 0 }, { 1, 1, 1 }, { 2, 2, 2 }, { -7, -7, -7 } },
          good,
          "source points are collinear" },
        { "collinear target",
          good,
          { { 100, 0, 0 }, { 110, 0, 0 }, { 120, 0, 0 }, { 130, 0, 0 } },
          "target points are collinear" },
        { "collinear far from origin",
          good,
          { { 1e4, 1e4, 1e4 }, { 1e4 + 1, 1e4, 1e4 }, { 1e4 + 2, 1e4, 1e4 }, { 1e4 + 3, 1e4, 1e4 } },
          "target points are collinear" },
    };
    for (const auto& c : cases)
    {
        LogExpectation expect(Log::Warning, c.logFragment, 1);
        double fre = -1.0;
        EXPECT_FALSE(RigidRegistration::fitRigid(c.source, c.target, &fre)) << c.what;
        EXPECT_EQ(fre, -1.0) << c.what;
    }
    for (const auto& record : Testing::capturedLog())
        EXPECT_EQ(record.category, "RigidRegistration");
}

TEST(RigidRegistration, PredictedTreFollowsTheConfiguration)
{
    const Points fiducials{ { 60, 0, 0 }, { -60, 0, 0 }, { 0, 80, 0 }, { 0, -80, 0 }, { 0, 0, 40 }, { 0, 0, -40 } };
    const double fle = 0.25;
    const auto atCentroid = RigidRegistration::predictedTreAtCentroid(fiducials, fle);
    ASSERT_TRUE(atCentroid);
    EXPECT_NEAR(*atCentroid, fle / std::sqrt(6.0), 1e-12);
    // Principal axes are x, y, z; f_x^2 = mean(y^2 + z^2) = (2*6400 + 2*1600) / 6, and so on.
    const double fx2 = (2 * 6400.0 + 2 * 1600.0) / 6.0;
    const double fy2 = (2 * 3600.0 + 2 * 1600.0) / 6.0;
    const double fz2 = (2 * 3600.0 + 2 * 6400.0) / 6.0;
    const Eigen::Vector3d r(30, 40, 50);
    const double expected =
      std::sqrt(fle * fle / 6.0 *
                (1.0 + ((40 * 40 + 50 * 50) / fx2 + (30 * 30 + 50 * 50) / fy2 + (30 * 30 + 40 * 40) / fz2) / 3.0));
    const auto tre = RigidRegistration::predictedTre(fiducials, fle, r);
    ASSERT_TRUE(tre);
    EXPECT_NEAR(*tre, expected, 1e-12);
    // Invariant under a rigid motion of fiducials and target together.
    const Eigen::Matrix4d motion =
      makeTransform(Eigen::AngleAxisd(2.0, Eigen::Vector3d(1, 2, 3).normalized()), { 300, -20, 7 });
    const auto moved = RigidRegistration::predictedTre(apply(motion, fiducials), fle, apply(motion, { r })[0]);
    ASSERT_TRUE(moved);
    EXPECT_NEAR(*moved, *tre, 1e-9);

    EXPECT_TRUE(std::isnan(RigidRegistration::expectedFre(fle, 2)));
    EXPECT_TRUE(std::isnan(RigidRegistration::estimateFle(-1.0, 5)));

    LogExpectation expect(Log::Warning, "Cannot predict the target registration error", 3);
    EXPECT_FALSE(RigidRegistration::predictedTre({ { 0, 0, 0 }, { 1, 0, 0 }, { 2, 0, 0 } }, fle, r));
    EXPECT_FALSE(RigidRegistration::predictedTre(Points(fiducials.begin(), fiducials.begin() + 2), fle, r));
    EXPECT_FALSE(RigidRegistration::predictedTre(fiducials, -0.1, r));
}

TEST(RigidRegistration, MonteCarloErrorsAgreeWithPrediction)
{
    // Loose check (10 %) with 2000 trials; the benchmark makes the tight comparison.
    const Points fiducials{ { 70, 10, 30 }, { -65, 5, 35 }, { 0, 90, 40 }, { 5, -85, 20 }, { 10, 0, 95 } };
    const Eigen::Vector3d target(20, 60, -40);
    const double fle = 0.25;
    std::mt19937 rng(1234);
    std::normal_distribution<double> noise(0.0, fle / std::sqrt(3.0));
    double freSq = 0.0;
    double treSq = 0.0;
    const int trials = 2000;
    for (int i = 0; i < trials; ++i)
    {
        Points measured;
        for (const auto& f : fiducials)
            measured.push_back(f + Eigen::Vector3d(noise(rng), noise(rng), noise(rng)));
        double fre = 0.0;
        const auto fit = RigidRegistration::fitRigid(fiducials, measured, &fre);
        ASSERT_TRUE(fit);
        freSq += fre * fre;
        treSq += (fit->topLeftCorner<3, 3>() * target + fit->topRightCorner<3, 1>() - target).squaredNorm();
    }
    EXPECT_NEAR(std::sqrt(freSq / trials) / RigidRegistration::expectedFre(fle, fiducials.size()), 1.0, 0.1);
    EXPECT_NEAR(std::sqrt(treSq / trials) / *RigidRegistration::predictedTre(fiducials, fle, target), 1.0, 0.1);
}

} // namespace
} // namespace Kelvaros
