// Smoothing quality of the real SmoothedTrackingStream on simulated ground truth.
//
// The stream follows a driver stream that publishes noisy poses with device timestamps in microseconds at 60 and
// 250 Hz; its emitted poses are compared with the truth. The scenarios are those of the filter-level study in
// bench/smoothing, so both sets of figures can be set side by side:
// - still tool, 200 s: jitter reduction = RMS spread of the input about its mean / that of the output (position:
//   distance, orientation: angle), from 2 s on;
// - ramp: 1 s at rest, then 50 mm/s along x and 50 deg/s about z for 4 s: lag = mean of (truth - output) along the
//   motion over the last 2 s divided by the speed, in ms;
// - sine: x = 20 mm sin(2 pi 1 Hz t) with a 20 degree, 1 Hz rotation about a tilted axis, 12 s: RMS error against the
//   truth from 2 s on, noise included.
// Noise is isotropic Gaussian: 0.1 mm / 0.1 deg RMS ("lownoise") and 0.25 mm / 0.3 deg RMS ("highnoise").
// Kalman mode with the default parameters (translationError 0.5, angularError 1.0, processSigma 0.5), and for
// comparison the moving average over 10 samples.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <Eigen/Geometry>
#include <fmt/format.h>

#include "core/Properties.h"

#include "BenchDriverStream.h"
#include "streams/SmoothedTrackingStream.h"

namespace
{

using namespace Kelvaros;
using Bench::DriverStream;

constexpr double kDegree = M_PI / 180.0;

struct Pose
{
    Eigen::Vector3d position = Eigen::Vector3d::Zero();
    Eigen::Quaterniond rotation = Eigen::Quaterniond::Identity();
};

struct Noise
{
    double positionMm;
    double rotationDegrees;
    const char* name;
};

struct Settings
{
    int mode = 2;
    int interval = 200;
};

struct Run
{
    std::vector<double> time;
    std::vector<Pose> truth;
    std::vector<Pose> input;
    std::vector<Pose> output;
};

/// Publishes the truth plus noise through a real smoothed stream and records what it emits.
Run simulate(const Settings& settings, double rate, double seconds, const std::function<Pose(double)>& truth,
             const Noise& noise, unsigned seed)
{
    DriverStream driver("Simulated Tracker");
    SmoothedTrackingStream smoothed(&driver);
    Properties properties;
    properties.setParam("smoothingMode", settings.mode);
    properties.setParam("smoothingInterval", settings.interval);
    smoothed.configure(&properties);
    smoothed.open();
    smoothed.start();

    Eigen::Matrix4d emitted = Eigen::Matrix4d::Identity();
    SignalReceiver listener;
    smoothed.signalStreamData.connect(&listener,
                                      [&](const std::shared_ptr<const StreamData>& data)
                                      {
                                          const auto& sample = static_cast<const TrackingStreamData&>(*data);
                                          emitted = sample.instrumentList().front().matrix;
                                      });

    std::mt19937 rng(seed);
    std::normal_distribution<double> position(0.0, noise.positionMm / std::sqrt(3.0));
    std::normal_distribution<double> rotation(0.0, noise.rotationDegrees * kDegree / std::sqrt(3.0));
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
        Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
        m.topLeftCorner<3, 3>() = measured.rotation.toRotationMatrix();
        m.topRightCorner<3, 1>() = measured.position;
        driver.publish(
          driver.makeSample({ TrackingInstrument{ TrackerID("tool", "", "Tool"), m, 1.0, t0 + us, true } }, t0 + us));

        Pose out;
        out.position = emitted.topRightCorner<3, 1>();
        out.rotation = Eigen::Quaterniond(Eigen::Matrix3d(emitted.topLeftCorner<3, 3>()));
        run.time.push_back(t);
        run.truth.push_back(p);
        run.input.push_back(measured);
        run.output.push_back(out);
    }
    listener.disconnectAll();
    return run;
}

const Eigen::Quaterniond kBaseRotation(Eigen::AngleAxisd(0.8, Eigen::Vector3d(0.2, -0.5, 1.0).normalized()));
const Eigen::Vector3d kBasePosition(20.0, -35.0, -1200.0);

/// RMS distance and RMS angle of the poses about their mean, from index `from` on.
std::pair<double, double> spread(const std::vector<Pose>& poses, size_t from)
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
};

Metrics measure(const Settings& settings, double rate, const Noise& noise)
{
    Metrics m;
    {
        const auto still = [](double) { return Pose{ kBasePosition, kBaseRotation }; };
        const Run run = simulate(settings, rate, 200.0, still, noise, 101);
        const auto from = static_cast<size_t>(2.0 * rate);
        const auto in = spread(run.input, from);
        const auto out = spread(run.output, from);
        m.jitterReductionPosition = in.first / out.first;
        m.jitterReductionRotation = in.second / out.second;
    }
    {
        const double speed = 50.0;
        const double angularSpeed = 50.0 * kDegree;
        const auto ramp = [&](double t)
        {
            const double moving = std::max(0.0, t - 1.0);
            return Pose{ kBasePosition + Eigen::Vector3d(speed * moving, 0.0, 0.0),
                         Eigen::Quaterniond(Eigen::AngleAxisd(angularSpeed * moving, Eigen::Vector3d::UnitZ())) *
                           kBaseRotation };
        };
        const Run run = simulate(settings, rate, 5.0, ramp, noise, 202);
        double lagPosition = 0.0;
        double lagRotation = 0.0;
        int n = 0;
        for (size_t i = 0; i < run.time.size(); ++i)
        {
            if (run.time[i] < 3.0)
                continue;
            lagPosition += (run.truth[i].position.x() - run.output[i].position.x()) / speed;
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
        const Run run = simulate(settings, rate, 12.0, sine, noise, 303);
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

} // namespace

int main()
{
    std::vector<std::string> figures;
    const auto figure = [&](const std::string& name, double value, const char* unit)
    { figures.push_back(fmt::format("FIGURE {} {:.4g} {}", name, value, unit)); };

    const std::vector<Noise> noises{ { 0.1, 0.1, "lownoise" }, { 0.25, 0.3, "highnoise" } };
    const std::vector<std::pair<std::string, Settings>> variants{ { "kalman_default", Settings{ 2, 200 } },
                                                                  { "average10", Settings{ 1, 10 } } };
    fmt::print("Smoothing through the real SmoothedTrackingStream\n");
    fmt::print("columns: jitter reduction position / rotation, ramp lag position / rotation [ms], sine RMS error "
               "[mm] / [deg]\n");
    for (const double rate : { 60.0, 250.0 })
    {
        for (const Noise& noise : noises)
        {
            fmt::print("\n{} Hz, noise {} mm / {} deg RMS\n", rate, noise.positionMm, noise.rotationDegrees);
            for (const auto& [name, settings] : variants)
            {
                const Metrics m = measure(settings, rate, noise);
                fmt::print("  {:<16} {:>7.2f}x {:>7.2f}x {:>8.2f} {:>8.2f} {:>8.3f} {:>8.3f}\n", name,
                           m.jitterReductionPosition, m.jitterReductionRotation, m.lagPositionMs, m.lagRotationMs,
                           m.sineRmsMm, m.sineRmsDegrees);
                const std::string base = fmt::format("stream_smoothing_{}_{}hz_{}", name, int(rate), noise.name);
                figure(base + "_jitter_reduction", m.jitterReductionPosition, "x");
                figure(base + "_rotation_jitter_reduction", m.jitterReductionRotation, "x");
                figure(base + "_ramp_lag", m.lagPositionMs, "ms");
                figure(base + "_sine_rms", m.sineRmsMm, "mm");
                figure(base + "_sine_rms_rotation", m.sineRmsDegrees, "deg");
            }
        }
    }
    fmt::print("\n");
    for (const auto& f : figures)
        fmt::print("{}\n", f);
    return 0;
}
