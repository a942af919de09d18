#pragma once

// The ground-truth scenarios both smoothing studies (filter level and real stream) run, so that their figures can
// be set side by side:
// - still tool, 200 s: jitter reduction = RMS spread of the input about its mean / that of the output (position:
//   distance, orientation: angle), from 2 s on;
// - ramp: 1 s at rest, then 50 mm/s along x and 50 deg/s about z for 4 s: lag = mean of (truth - output) along the
//   motion over the last 2 s divided by the speed, in ms;
// - sine: x = 20 mm sin(2 pi 1 Hz t) with a 20 degree, 1 Hz rotation about a tilted axis, 12 s: RMS error against
//   the truth from 2 s on, noise included.
// Noise is isotropic Gaussian; the quoted value is the RMS 3D length / RMS rotation angle.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include <Eigen/Geometry>

namespace Kelvaros::Bench
{

constexpr double kDegree = M_PI / 180.0;

struct Pose
{
    Eigen::Vector3d position = Eigen::Vector3d::Zero();
    Eigen::Quaterniond rotation = Eigen::Quaterniond::Identity();
};

inline Eigen::Matrix4d toMatrix(const Pose& pose)
{
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topLeftCorner<3, 3>() = pose.rotation.toRotationMatrix();
    m.topRightCorner<3, 1>() = pose.position;
    return m;
}

inline Pose toPose(const Eigen::Matrix4d& m)
{
    return Pose{ m.topRightCorner<3, 1>(), Eigen::Quaterniond(Eigen::Matrix3d(m.topLeftCorner<3, 3>())) };
}

struct Noise
{
    double positionMm;
    double rotationDegrees;
    const char* name;
};

/// One scenario's samples: time (s), truth, the noisy measurement and what the smoother made of it.
struct Run
{
    std::vector<double> time;
    std::vector<Pose> truth;
    std::vector<Pose> input;
    std::vector<Pose> output;
};

/// A smoother under study: takes a measured pose and its device timestamp (µs), returns the smoothed pose.
using SmoothingStep = std::function<Pose(const Pose& measured, int64_t deviceTimestamp)>;
/// Makes a fresh smoother for one scenario.
using SmootherFactory = std::function<SmoothingStep()>;

/// Runs `truth` (time in seconds -> pose) through a fresh smoother at `rate` Hz with noise.
inline Run simulate(const SmootherFactory& make, double rate, double seconds, const std::function<Pose(double)>& truth,
                    const Noise& noise, unsigned seed)
{
    const SmoothingStep step = make();
    std::mt19937 rng(seed);
    std::normal_distribution<double> position(0.0, noise.positionMm / std::sqrt(3.0));
    std::normal_distribution<double> rotation(0.0, noise.rotationDegrees * kDegree / std::sqrt(3.0));
    // Device clock in microseconds, starting away from 0 (the stream's "no previous sample").
    const int64_t t0 = 1'000'000'000;
    Run run;
    const auto count = static_cast<int64_t>(seconds * rate);
    for (int64_t k = 0; k < count; ++k)
    {
        const int64_t us = std::llround(double(k) * 1e6 / rate);
        const double t = double(us) * 1e-6;
        const Pose p = truth(t);
        Pose measured;
        measured.position = p.position + Eigen::Vector3d(position(rng), position(rng), position(rng));
        const Eigen::Vector3d v(rotation(rng), rotation(rng), rotation(rng));
        measured.rotation = Eigen::Quaterniond(Eigen::AngleAxisd(v.norm(), v.normalized())) * p.rotation;
        run.time.push_back(t);
        run.truth.push_back(p);
        run.input.push_back(measured);
        run.output.push_back(step(measured, t0 + us));
    }
    return run;
}

const Eigen::Quaterniond kBaseRotation(Eigen::AngleAxisd(0.8, Eigen::Vector3d(0.2, -0.5, 1.0).normalized()));
const Eigen::Vector3d kBasePosition(20.0, -35.0, -1200.0);

/// RMS distance and RMS angle of the poses about their mean, from index `from` on.
inline std::pair<double, double> spread(const std::vector<Pose>& poses, size_t from)
{
    Eigen::Vector3d mean = Eigen::Vector3d::Zero();
    Eigen::Vector4d sum = Eigen::Vector4d::Zero();
    const Eigen::Vector4d reference = poses[from].rotation.coeffs();
    for (size_t i = from; i < poses.size(); ++i)
    {
        mean += poses[i].position;
        const Eigen::Vector4d q = poses[i].rotation.coeffs();
        sum += q.dot(reference) >= 0.0 ? q : Eigen::Vector4d(-q);
    }
    const double n = double(poses.size() - from);
    mean /= n;
    const Eigen::Quaterniond meanRotation(Eigen::Vector4d(sum.normalized()));
    double p2 = 0.0;
    double r2 = 0.0;
    for (size_t i = from; i < poses.size(); ++i)
    {
        p2 += (poses[i].position - mean).squaredNorm();
        r2 += std::pow(poses[i].rotation.angularDistance(meanRotation), 2);
    }
    return { std::sqrt(p2 / n), std::sqrt(r2 / n) };
}

struct Metrics
{
    double jitterReductionPosition = 0.0;
    double jitterReductionRotation = 0.0;
    double lagPositionMs = 0.0;
    double lagRotationMs = 0.0;
    double sineRmsMm = 0.0;
    double sineRmsDegrees = 0.0;

    /// The bar of adaptive filters in the literature: jitter reduction >= 3, lag <= 5 ms, sine RMS <= 0.7 mm.
    [[nodiscard]] bool withinErrorLimits() const { return std::abs(lagPositionMs) <= 5.0 && sineRmsMm <= 0.7; }
    [[nodiscard]] bool meetsBar() const { return jitterReductionPosition >= 3.0 && withinErrorLimits(); }
};

/// The three scenarios above for one smoother, rate and noise.
inline Metrics measure(const SmootherFactory& make, double rate, const Noise& noise)
{
    Metrics m;
    {
        const auto still = [](double) { return Pose{ kBasePosition, kBaseRotation }; };
        const Run run = simulate(make, rate, 200.0, still, noise, 101);
        const auto from = static_cast<size_t>(2.0 * rate);
        const auto in = spread(run.input, from);
        const auto out = spread(run.output, from);
        m.jitterReductionPosition = in.first / out.first;
        m.jitterReductionRotation = in.second / out.second;
    }
    {
        const double speed = 50.0;                  // mm/s
        const double angularSpeed = 50.0 * kDegree; // rad/s
        const auto ramp = [&](double t)
        {
            const double moving = std::max(0.0, t - 1.0);
            return Pose{ kBasePosition + Eigen::Vector3d(speed * moving, 0.0, 0.0),
                         Eigen::Quaterniond(Eigen::AngleAxisd(angularSpeed * moving, Eigen::Vector3d::UnitZ())) *
                           kBaseRotation };
        };
        const Run run = simulate(make, rate, 5.0, ramp, noise, 202);
        double lagPosition = 0.0;
        double lagRotation = 0.0;
        int n = 0;
        for (size_t i = 0; i < run.time.size(); ++i)
        {
            if (run.time[i] < 3.0)
                continue;
            lagPosition += (run.truth[i].position.x() - run.output[i].position.x()) / speed;
            // Signed angle about z of the rotation taking the output to the truth.
            const Eigen::AngleAxisd d(run.truth[i].rotation * run.output[i].rotation.conjugate());
            lagRotation += d.angle() * d.axis().z() / angularSpeed;
            ++n;
        }
        m.lagPositionMs = lagPosition / n * 1e3;
        m.lagRotationMs = lagRotation / n * 1e3;
    }
    {
        const Eigen::Vector3d axis = Eigen::Vector3d(1.0, 2.0, 0.5).normalized();
        const auto sine = [&](double t)
        {
            const double s = std::sin(2.0 * M_PI * t);
            return Pose{ kBasePosition + Eigen::Vector3d(20.0 * s, 0.0, 0.0),
                         Eigen::Quaterniond(Eigen::AngleAxisd(20.0 * kDegree * s, axis)) * kBaseRotation };
        };
        const Run run = simulate(make, rate, 12.0, sine, noise, 303);
        double p2 = 0.0;
        double r2 = 0.0;
        int n = 0;
        for (size_t i = 0; i < run.time.size(); ++i)
        {
            if (run.time[i] < 2.0)
                continue;
            p2 += (run.truth[i].position - run.output[i].position).squaredNorm();
            r2 += std::pow(run.truth[i].rotation.angularDistance(run.output[i].rotation), 2);
            ++n;
        }
        m.sineRmsMm = std::sqrt(p2 / n);
        m.sineRmsDegrees = std::sqrt(r2 / n) / kDegree;
    }
    return m;
}

} // namespace Kelvaros::Bench
