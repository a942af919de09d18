#include "lib/numerics/KalmanQuaternion.h"

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

namespace Kelvaros
{
namespace
{

constexpr double kDegree = M_PI / 180.0;

Eigen::Vector4d wxyz(const Eigen::Quaterniond& q)
{
    return Eigen::Vector4d(q.w(), q.x(), q.y(), q.z());
}

Eigen::Quaterniond fromWxyz(const Eigen::Vector4d& v)
{
    return Eigen::Quaterniond(v[0], v[1], v[2], v[3]);
}

double angleBetween(const Eigen::Vector4d& a, const Eigen::Vector4d& b)
{
    return fromWxyz(a).angularDistance(fromWxyz(b));
}

/// Drives a filter the way the smoothed stream does: q = ((e / 100) sigma / dt^2)^2, r = (e / 100)^2.
struct StreamDriver
{
    double angularErrorDegrees = 1.0;
    double processSigma = 0.5;
    KalmanQuaternion filter;
    bool started = false;

    Eigen::Vector4d step(const Eigen::Vector4d& measurement, double dt)
    {
        const double e = angularErrorDegrees / 100.0;
        const double s = e / (dt * dt) * processSigma;
        if (!started)
        {
            filter.init(measurement, s * s);
            filter.setMeasurementVariance(e * e);
            started = true;
            return measurement;
        }
        filter.processVariance = s * s;
        filter.setMeasurementVariance(e * e);
        return filter.update(measurement, dt);
    }
};

Eigen::Quaterniond perturbed(const Eigen::Quaterniond& q, double rmsAngle, std::mt19937& rng)
{
    std::normal_distribution<double> noise(0.0, rmsAngle / std::sqrt(3.0));
    const Eigen::Vector3d v(noise(rng), noise(rng), noise(rng));
    return Eigen::Quaterniond(Eigen::AngleAxisd(v.norm(), v.normalized())) * q;
}

TEST(KalmanQuaternion, StaticOrientationConvergesWithUnitOutput)
{
    const Eigen::Quaterniond truth(Eigen::AngleAxisd(2.0, Eigen::Vector3d(1.0, -2.0, 0.5).normalized()));
    std::mt19937 rng(5);
    StreamDriver driver;
    double inputSq = 0.0;
    double outputSq = 0.0;
    int counted = 0;
    for (int i = 0; i < 3000; ++i)
    {
        const Eigen::Vector4d z = wxyz(perturbed(truth, 0.3 * kDegree, rng));
        const Eigen::Vector4d out = driver.step(z, 16667.0);
        ASSERT_NEAR(out.norm(), 1.0, 1e-12);
        if (i >= 100)
        {
            inputSq += std::pow(angleBetween(z, wxyz(truth)), 2);
            outputSq += std::pow(angleBetween(out, wxyz(truth)), 2);
            ++counted;
        }
    }
    // Same tracking index as the position filter at the defaults: RMS error ratio about 0.73.
    EXPECT_NEAR(std::sqrt(outputSq / inputSq), 0.73, 0.04);
    EXPECT_LT(angleBetween(driver.filter.orientation(), wxyz(truth)), 0.3 * kDegree);
}

TEST(KalmanQuaternion, SignFlipsOfTheInputDoNotReachTheOutput)
{
    // A rotation at 90 degrees per second about a tilted axis, through the half turn where w changes sign, fed once
    // as is and once with random signs (as matrix-to-quaternion conversion produces them).
    const Eigen::Vector3d axis = Eigen::Vector3d(0.3, 1.0, -0.4).normalized();
    const Eigen::Quaterniond start(Eigen::AngleAxisd(0.4, Eigen::Vector3d::UnitX()));
    std::mt19937 rng(9);
    std::bernoulli_distribution flip(0.5);
    StreamDriver plain;
    StreamDriver flipped;
    Eigen::Vector4d previous = Eigen::Vector4d::Zero();
    for (int i = 0; i < 1000; ++i)
    {
        const double t = i * 0.004;
        const Eigen::Quaterniond q =
          perturbed(Eigen::Quaterniond(Eigen::AngleAxisd(M_PI / 2 * t, axis)) * start, 0.2 * kDegree, rng);
        const Eigen::Vector4d a = plain.step(wxyz(q), 4000.0);
        const Eigen::Vector4d b = flipped.step(flip(rng) ? Eigen::Vector4d(-wxyz(q)) : wxyz(q), 4000.0);
        ASSERT_NEAR(b.norm(), 1.0, 1e-12);
        if (i > 0)
        {
            // Continuous: consecutive outputs are close as 4-vectors, not only as rotations.
            ASSERT_LT((b - previous).norm(), 0.05) << "sample " << i;
            // The sign of the very first input decides the sign once; after that the two runs agree up to it.
            ASSERT_LT(std::min((a - b).norm(), (a + b).norm()), 1e-9) << "sample " << i;
        }
        previous = b;
    }
}

TEST(KalmanQuaternion, ConstantAngularVelocityIsTrackedWithoutLag)
{
    const Eigen::Vector3d axis = Eigen::Vector3d(1.0, 1.0, 1.0).normalized();
    const double rate = 50.0 * kDegree * 1e-6; // radians per microsecond
    const double dt = 16667.0;
    StreamDriver driver;
    Eigen::Vector4d out;
    Eigen::Quaterniond truth;
    for (int i = 0; i < 400; ++i)
    {
        truth = Eigen::Quaterniond(Eigen::AngleAxisd(rate * dt * std::max(0, i - 30), axis));
        out = driver.step(wxyz(truth), dt);
    }
    EXPECT_LT(angleBetween(out, wxyz(truth)), 1e-6);
    EXPECT_LT((driver.filter.angularVelocity() - rate * axis).norm(), 1e-12);
}

TEST(KalmanQuaternion, DegenerateTimeStepsAndInputStayUnit)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::mt19937 rng(2);
    const Eigen::Quaterniond truth(Eigen::AngleAxisd(1.0, Eigen::Vector3d::UnitZ()));
    StreamDriver driver;
    for (const double dt : { 16667.0, 0.0, -1.0, nan, std::numeric_limits<double>::infinity(), 1e200 })
    {
        ASSERT_NEAR(driver.step(wxyz(perturbed(truth, 0.3 * kDegree, rng)), dt).norm(), 1.0, 1e-12) << dt;
        ASSERT_NEAR(driver.filter.update(dt).norm(), 1.0, 1e-12) << dt;
    }
    // Unusable measurements count as missing; a long prediction-only run (quality 0) keeps a unit quaternion.
    EXPECT_NEAR(driver.filter.update(Eigen::Vector4d::Zero(), 16667.0).norm(), 1.0, 1e-12);
    EXPECT_NEAR(driver.filter.update(Eigen::Vector4d(nan, 0.0, 0.0, 1.0), 16667.0).norm(), 1.0, 1e-12);
    for (int i = 0; i < 10000; ++i)
        ASSERT_NEAR(driver.filter.update(16667.0).norm(), 1.0, 1e-12);
    for (int i = 0; i < 200; ++i)
        driver.step(wxyz(perturbed(truth, 0.3 * kDegree, rng)), 16667.0);
    EXPECT_LT(angleBetween(driver.filter.orientation(), wxyz(truth)), 0.5 * kDegree);
}

} // namespace
} // namespace Kelvaros
