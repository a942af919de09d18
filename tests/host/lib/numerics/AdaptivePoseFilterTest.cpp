#include "lib/numerics/AdaptivePoseFilter.h"

#include <cmath>
#include <functional>
#include <random>

#include <gtest/gtest.h>

namespace Kelvaros
{
namespace
{
constexpr double kDegree = M_PI / 180.0;
constexpr int64_t kStart = 1'000'000'000; // device clock, microseconds

Eigen::Matrix4d poseOf(const Eigen::Vector3d& position, const Eigen::Quaterniond& rotation)
{
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topLeftCorner<3, 3>() = rotation.toRotationMatrix();
    m.topRightCorner<3, 1>() = position;
    return m;
}

struct Errors
{
    double rawPosition = 0, position = 0, rawRotation = 0, rotation = 0; // RMS, mm and radians
};

/// Runs `truth` (seconds -> pose) with 0.2 mm / 0.2 degree RMS noise through a fresh filter; errors from 1 s on.
Errors run(double rate, double seconds, const std::function<Eigen::Matrix4d(double)>& truth)
{
    AdaptivePoseFilter filter;
    std::mt19937 rng(42);
    std::normal_distribution<double> position(0.0, 0.2 / std::sqrt(3.0));
    std::normal_distribution<double> angle(0.0, 0.2 * kDegree / std::sqrt(3.0));
    Errors e;
    int n = 0;
    const auto rotationError = [](const Eigen::Matrix4d& a, const Eigen::Matrix4d& b) {
        return Eigen::AngleAxisd(Eigen::Matrix3d(a.topLeftCorner<3, 3>().transpose() * b.topLeftCorner<3, 3>()))
          .angle();
    };
    for (int k = 0; k < int(seconds * rate); ++k)
    {
        const double t = k / rate;
        const Eigen::Matrix4d exact = truth(t);
        const Eigen::Vector3d v(angle(rng), angle(rng), angle(rng));
        const Eigen::Matrix4d measured =
          poseOf(exact.topRightCorner<3, 1>() + Eigen::Vector3d(position(rng), position(rng), position(rng)),
                 Eigen::Quaterniond(Eigen::AngleAxisd(v.norm(), v.normalized())) *
                   Eigen::Quaterniond(Eigen::Matrix3d(exact.topLeftCorner<3, 3>())));
        const Eigen::Matrix4d out = filter.update(measured, kStart + std::llround(t * 1e6));
        if (t < 1.0)
            continue;
        e.rawPosition += (measured - exact).topRightCorner<3, 1>().squaredNorm();
        e.position += (out - exact).topRightCorner<3, 1>().squaredNorm();
        e.rawRotation += std::pow(rotationError(measured, exact), 2);
        e.rotation += std::pow(rotationError(out, exact), 2);
        ++n;
    }
    for (double* value : { &e.rawPosition, &e.position, &e.rawRotation, &e.rotation })
        *value = std::sqrt(*value / n);
    return e;
}
} // namespace

// A resting tool is smoothed at least 3x, and a tool swinging 20 mm and 20 degrees at 1 Hz is followed closer than
// the raw measurement. No fixed gain does both (the steady Kalman gains that smooth 3x lag the sine by millimetres),
// so an adaptation that is switched off, stuck, or reacts the wrong way round fails one of the two.
TEST(AdaptivePoseFilter, SmoothsAtRestAndFollowsMotion)
{
    const Eigen::Vector3d base(20, -35, -1200);
    const Eigen::Vector3d axis = Eigen::Vector3d(1, 2, 0.5).normalized();
    for (const double rate : { 60.0, 250.0 })
    {
        SCOPED_TRACE(rate);
        const Errors still = run(rate, 10.0, [&](double) { return poseOf(base, Eigen::Quaterniond::Identity()); });
        EXPECT_GT(still.rawPosition / still.position, 3.0);
        EXPECT_GT(still.rawRotation / still.rotation, 3.0);

        const Errors sine = run(rate, 5.0,
                                [&](double t)
                                {
                                    const double s = std::sin(2.0 * M_PI * t);
                                    return poseOf(base + Eigen::Vector3d(20.0 * s, 0, 0),
                                                  Eigen::Quaterniond(Eigen::AngleAxisd(20.0 * kDegree * s, axis)));
                                });
        EXPECT_LT(sine.position, sine.rawPosition);
        EXPECT_LT(sine.rotation, sine.rawRotation);
    }
}

// After a pause of the device clock longer than a few periods, or a clock that runs backwards or stands still, the
// track restarts: the sample passes unchanged instead of being blended with where the tool was before.
TEST(AdaptivePoseFilter, RestartsAfterAGapInTheDeviceClock)
{
    constexpr int64_t kPeriod = 16'667;
    struct Case
    {
        int64_t step;
        bool restarts;
    };
    for (const Case& c : { Case{ kPeriod, false }, Case{ 3 * kPeriod, false }, Case{ 5 * kPeriod, true },
                           Case{ 0, true }, Case{ -kPeriod, true } })
    {
        SCOPED_TRACE(c.step);
        AdaptivePoseFilter filter;
        int64_t t = kStart;
        for (int k = 0; k < 60; ++k, t += kPeriod)
            filter.update(poseOf(Eigen::Vector3d::Zero(), Eigen::Quaterniond::Identity()), t);
        const Eigen::Matrix4d moved =
          poseOf(Eigen::Vector3d(0.3, 0, 0), Eigen::Quaterniond(Eigen::AngleAxisd(0.005, Eigen::Vector3d::UnitZ())));
        const Eigen::Matrix4d out = filter.update(moved, t - kPeriod + c.step);
        EXPECT_EQ(out == moved, c.restarts);
        EXPECT_EQ(filter.trackLength() == 1, c.restarts);
        EXPECT_EQ(filter.hold(), out) << "a sample without a measurement holds the last estimate";
    }
}

} // namespace Kelvaros
