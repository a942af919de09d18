#pragma once

// The ground-truth scenarios the smoothing studies (filter level and real stream) run, so that their figures can
// be set side by side:
// - still tool, 200 s: jitter reduction = RMS spread of the input about its mean / that of the output (position:
//   distance, orientation: angle), from 2 s on;
// - ramp: 1 s at rest, then 50 mm/s along the pattern's direction and a constant turn about its ramp axis for 4 s:
//   lag = mean of (truth - output) along the motion over the last 2 s divided by the speed, in ms;
// - sine: 20 mm sin(2 pi 1 Hz t) along the direction with a 20 degree, 1 Hz rotation about a tilted axis, 12 s: RMS
//   error against the truth from 2 s on, noise included;
// - step: a tool picked up and put down again, 50 mm along the direction in 100 ms (minimum-jerk profile) after 1 s
//   at rest, then 1 s at rest: settling time = from the end of the move until the position error stays within 2 %
//   of the step (1 mm), overshoot = largest excursion beyond the target along the direction.
// Each scenario also yields the RMS position error of the input and of the output over the whole run, from 0.5 s on
// (after the start-up of any filter), so "never worse than the raw input" can be checked on every one.
// A motion pattern fixes the base pose, the axes and the noise seeds, so that settings tuned on one pattern can be
// judged on another. Noise is isotropic Gaussian; the quoted value is the RMS 3D length / RMS rotation angle.

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

/// Where and along which axes the scenarios move, and the seeds of their noise.
struct MotionPattern
{
    Eigen::Vector3d basePosition = kBasePosition;
    Eigen::Quaterniond baseRotation = kBaseRotation;
    Eigen::Vector3d direction = Eigen::Vector3d::UnitX();
    Eigen::Vector3d rampAxis = Eigen::Vector3d::UnitZ();
    double rampDegreesPerSecond = 50.0;
    Eigen::Vector3d sineAxis = Eigen::Vector3d(1.0, 2.0, 0.5).normalized();
    unsigned seed = 100; ///< the still, ramp, sine and step runs use seed + 1, + 102, + 203 and + 304
};

/// The pattern of the first studies (motion along x, turns about z).
inline MotionPattern tuningPattern()
{
    return {};
}

/// Another base pose, oblique axes, a 30 degree/s turn and other seeds.
inline MotionPattern reportPattern()
{
    MotionPattern p;
    p.basePosition = Eigen::Vector3d(-140.0, 60.0, -950.0);
    p.baseRotation = Eigen::Quaterniond(Eigen::AngleAxisd(2.1, Eigen::Vector3d(-0.7, 0.3, 0.4).normalized()));
    p.direction = Eigen::Vector3d(0.6, -0.3, 0.74).normalized();
    p.rampAxis = Eigen::Vector3d(0.3, 0.9, -0.2).normalized();
    p.rampDegreesPerSecond = 30.0;
    p.sineAxis = Eigen::Vector3d(-0.4, 0.2, 1.0).normalized();
    p.seed = 7000;
    return p;
}

/// RMS position error of the input and of the output against the truth from `fromSeconds` on.
inline std::pair<double, double> positionErrors(const Run& run, double fromSeconds)
{
    double in = 0.0;
    double out = 0.0;
    int n = 0;
    for (size_t i = 0; i < run.time.size(); ++i)
    {
        if (run.time[i] < fromSeconds)
            continue;
        in += (run.input[i].position - run.truth[i].position).squaredNorm();
        out += (run.output[i].position - run.truth[i].position).squaredNorm();
        ++n;
    }
    return { std::sqrt(in / n), std::sqrt(out / n) };
}

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
    double stepSettlingMs = 0.0;
    double stepOvershootMm = 0.0;
    /// Largest ratio of the output's to the input's RMS position error over the four scenarios.
    double worstErrorRatio = 0.0;

    /// The bar of adaptive filters in the literature: jitter reduction >= 3, lag <= 5 ms, sine RMS <= 0.7 mm.
    [[nodiscard]] bool withinErrorLimits() const { return std::abs(lagPositionMs) <= 5.0 && sineRmsMm <= 0.7; }
    [[nodiscard]] bool meetsBar() const { return jitterReductionPosition >= 3.0 && withinErrorLimits(); }
};

/// The scenarios above for one smoother, rate, noise and motion pattern; the step only with `withStep`.
inline Metrics measure(const SmootherFactory& make, double rate, const Noise& noise,
                       const MotionPattern& pattern = tuningPattern(), bool withStep = false)
{
    Metrics m;
    const auto account = [&m](const Run& run)
    {
        const auto [in, out] = positionErrors(run, 0.5);
        m.worstErrorRatio = std::max(m.worstErrorRatio, out / in);
    };
    const Eigen::Vector3d& base = pattern.basePosition;
    const Eigen::Quaterniond& baseRotation = pattern.baseRotation;
    const Eigen::Vector3d& direction = pattern.direction;
    {
        const auto still = [&](double) { return Pose{ base, baseRotation }; };
        const Run run = simulate(make, rate, 200.0, still, noise, pattern.seed + 1);
        account(run);
        const auto from = static_cast<size_t>(2.0 * rate);
        const auto in = spread(run.input, from);
        const auto out = spread(run.output, from);
        m.jitterReductionPosition = in.first / out.first;
        m.jitterReductionRotation = in.second / out.second;
    }
    {
        const double speed = 50.0; // mm/s
        const double angularSpeed = pattern.rampDegreesPerSecond * kDegree;
        const auto ramp = [&](double t)
        {
            const double moving = std::max(0.0, t - 1.0);
            return Pose{ base + speed * moving * direction,
                         Eigen::Quaterniond(Eigen::AngleAxisd(angularSpeed * moving, pattern.rampAxis)) *
                           baseRotation };
        };
        const Run run = simulate(make, rate, 5.0, ramp, noise, pattern.seed + 102);
        account(run);
        double lagPosition = 0.0;
        double lagRotation = 0.0;
        int n = 0;
        for (size_t i = 0; i < run.time.size(); ++i)
        {
            if (run.time[i] < 3.0)
                continue;
            lagPosition += (run.truth[i].position - run.output[i].position).dot(direction) / speed;
            // Signed angle about the ramp axis of the rotation taking the output to the truth.
            const Eigen::AngleAxisd d(run.truth[i].rotation * run.output[i].rotation.conjugate());
            lagRotation += d.angle() * d.axis().dot(pattern.rampAxis) / angularSpeed;
            ++n;
        }
        m.lagPositionMs = lagPosition / n * 1e3;
        m.lagRotationMs = lagRotation / n * 1e3;
    }
    {
        const auto sine = [&](double t)
        {
            const double s = std::sin(2.0 * M_PI * t);
            return Pose{ base + 20.0 * s * direction,
                         Eigen::Quaterniond(Eigen::AngleAxisd(20.0 * kDegree * s, pattern.sineAxis)) * baseRotation };
        };
        const Run run = simulate(make, rate, 12.0, sine, noise, pattern.seed + 203);
        account(run);
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
    if (withStep)
    {
        const double length = 50.0;  // mm
        const double duration = 0.1; // s
        const double start = 1.0;
        const auto step = [&](double t)
        {
            const double u = std::clamp((t - start) / duration, 0.0, 1.0);
            const double s = u * u * u * (10.0 - 15.0 * u + 6.0 * u * u);
            return Pose{ base + length * s * direction, baseRotation };
        };
        const Run run = simulate(make, rate, 2.1, step, noise, pattern.seed + 304);
        account(run);
        const double end = start + duration;
        double settled = end;
        for (size_t i = 0; i < run.time.size(); ++i)
        {
            const Eigen::Vector3d error = run.output[i].position - run.truth[i].position;
            if (run.time[i] >= end)
                m.stepOvershootMm = std::max(m.stepOvershootMm, error.dot(direction));
            if (run.time[i] >= start && error.norm() > 0.02 * length)
                settled = std::max(settled, i + 1 < run.time.size() ? run.time[i + 1] : run.time[i]);
        }
        m.stepSettlingMs = (settled - end) * 1e3;
    }
    return m;
}

} // namespace Kelvaros::Bench
