#include "lib/numerics/KalmanPosition.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace Kelvaros
{
namespace
{

/// Drives a filter the way the smoothed stream does: q = (e sigma / dt^2)^2, r = e^2, dt in microseconds.
struct StreamDriver
{
    double translationError = 0.5;
    double processSigma = 0.5;
    KalmanPosition filter;
    bool started = false;

    Eigen::Vector3d step(const Eigen::Vector3d& measurement, double dt)
    {
        const double s = translationError / (dt * dt) * processSigma;
        if (!started)
        {
            filter.init(measurement, s * s);
            filter.setMeasurementVariance(translationError * translationError);
            started = true;
            return measurement;
        }
        filter.processVariance = s * s;
        filter.setMeasurementVariance(translationError * translationError);
        return filter.update(measurement, dt);
    }
};

std::vector<Eigen::Vector3d> noisyStatic(const Eigen::Vector3d& truth, double rmsNoiseMm, int count, unsigned seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, rmsNoiseMm / std::sqrt(3.0));
    std::vector<Eigen::Vector3d> out;
    for (int i = 0; i < count; ++i)
        out.push_back(truth + Eigen::Vector3d(noise(rng), noise(rng), noise(rng)));
    return out;
}

double rmsAboutMean(const std::vector<Eigen::Vector3d>& points, std::size_t from)
{
    Eigen::Vector3d mean = Eigen::Vector3d::Zero();
    for (std::size_t i = from; i < points.size(); ++i)
        mean += points[i];
    mean /= static_cast<double>(points.size() - from);
    double sum = 0.0;
    for (std::size_t i = from; i < points.size(); ++i)
        sum += (points[i] - mean).squaredNorm();
    return std::sqrt(sum / static_cast<double>(points.size() - from));
}

TEST(KalmanPosition, StaticPoseConvergesAndJitterShrinks)
{
    const Eigen::Vector3d truth(12.0, -40.0, 250.0);
    const auto input = noisyStatic(truth, 0.25, 3000, 7);
    StreamDriver driver;
    std::vector<Eigen::Vector3d> output;
    for (const auto& z : input)
        output.push_back(driver.step(z, 16667.0));

    Eigen::Vector3d mean = Eigen::Vector3d::Zero();
    for (std::size_t i = 100; i < output.size(); ++i)
        mean += output[i];
    mean /= static_cast<double>(output.size() - 100);
    EXPECT_LT((mean - truth).norm(), 0.02);
    // Alpha-beta theory for tracking index 0.5 gives a standard-deviation ratio of 0.73.
    const double ratio = rmsAboutMean(output, 100) / rmsAboutMean(input, 100);
    EXPECT_NEAR(ratio, 0.73, 0.04);
}

TEST(KalmanPosition, SteadyStateGainDependsOnlyOnProcessSigma)
{
    // The stream's mapping makes the tracking index sqrt(q) dt^2 / sqrt(r) equal to processSigma, so the steady state
    // is the same at every rate, translation error and time unit. Kalata's alpha-beta relations for index 0.5:
    // alpha = 1 - r^2 with r = (4 + l - sqrt(8 l + l^2)) / 4.
    const double l = 0.5;
    const double rr = (4.0 + l - std::sqrt(8.0 * l + l * l)) / 4.0;
    const double alpha = 1.0 - rr * rr;
    for (const double dt : { 2500.0, 16667.0, 0.0166667 })
    {
        for (const double error : { 0.1, 0.5, 3.0 })
        {
            StreamDriver driver;
            driver.translationError = error;
            for (int i = 0; i < 400; ++i)
                driver.step(Eigen::Vector3d::Zero(), dt);
            // Right after an update the position variance is alpha * r.
            EXPECT_NEAR(driver.filter.positionVariance() / (error * error), alpha, 1e-9)
              << "dt " << dt << " error " << error;
        }
    }
}

TEST(KalmanPosition, ConstantVelocityIsTrackedWithoutLag)
{
    const Eigen::Vector3d velocity(0.05e-3, -0.02e-3, 0.01e-3); // mm per microsecond (50 mm/s along x)
    StreamDriver driver;
    const double dt = 4000.0;
    Eigen::Vector3d out;
    Eigen::Vector3d truth;
    // At rest first, so the filter must pick the motion up rather than start with it.
    for (int i = 0; i < 300; ++i)
    {
        truth = Eigen::Vector3d(5.0, 6.0, 7.0) + velocity * (dt * std::max(0, i - 50));
        out = driver.step(truth, dt);
    }
    EXPECT_LT((out - truth).norm(), 1e-6);
    EXPECT_LT((driver.filter.velocity() - velocity).norm(), 1e-9);
}

TEST(KalmanPosition, DegenerateTimeStepsAndInputStayFinite)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    StreamDriver driver;
    const auto input = noisyStatic(Eigen::Vector3d(10.0, 0.0, 0.0), 0.25, 200, 3);
    for (int i = 0; i < 100; ++i)
        driver.step(input[i], 16667.0);
    // dt = 0: the stream's formula gives an infinite process variance; no prediction, the measurement still fuses.
    const Eigen::Vector3d before = driver.filter.position();
    const Eigen::Vector3d pulled = driver.step(before + Eigen::Vector3d(1.0, 0.0, 0.0), 0.0);
    ASSERT_TRUE(pulled.allFinite());
    EXPECT_GT(pulled.x(), before.x());
    EXPECT_LT(pulled.x(), before.x() + 1.0);
    for (const double dt : { -16667.0, nan, std::numeric_limits<double>::infinity(), 1e200 })
    {
        ASSERT_TRUE(driver.step(input[100], dt).allFinite()) << "dt " << dt;
        ASSERT_TRUE(driver.filter.update(dt).allFinite()) << "dt " << dt;
    }
    driver.filter.processVariance = nan;
    EXPECT_TRUE(driver.filter.update(Eigen::Vector3d(nan, 0.0, 0.0), 16667.0).allFinite());
    // After all that the filter still converges back onto the static position.
    for (int i = 100; i < 200; ++i)
        driver.step(input[i], 16667.0);
    EXPECT_LT((driver.filter.position() - Eigen::Vector3d(10.0, 0.0, 0.0)).norm(), 0.5);
}

TEST(KalmanPosition, PredictionRunsExtrapolateAndReacquire)
{
    StreamDriver driver;
    const Eigen::Vector3d velocity(0.05e-3, 0.0, 0.0);
    const double dt = 16667.0;
    for (int i = 0; i < 100; ++i)
        driver.step(velocity * (dt * i), dt);
    // Quality 0 for a second: constant-velocity extrapolation, growing uncertainty, always finite.
    double variance = driver.filter.positionVariance();
    for (int i = 100; i < 160; ++i)
    {
        const Eigen::Vector3d p = driver.filter.update(dt);
        ASSERT_TRUE(p.allFinite());
        EXPECT_LT((p - velocity * (dt * i)).norm(), 1e-6);
        EXPECT_GT(driver.filter.positionVariance(), variance);
        variance = driver.filter.positionVariance();
    }
    // The object stopped meanwhile; the grown covariance lets the filter catch up within a few samples.
    const Eigen::Vector3d stop = velocity * (dt * 130);
    Eigen::Vector3d p;
    for (int i = 0; i < 30; ++i)
        p = driver.step(stop, dt);
    EXPECT_LT((p - stop).norm(), 0.1);
}

} // namespace
} // namespace Kelvaros
