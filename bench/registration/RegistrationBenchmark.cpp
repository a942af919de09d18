// Accuracy and speed of the paired-point rigid fit.
//
// Accuracy: Monte Carlo on fiducial configurations placed on the scalp of a head-sized phantom (ellipsoid with
// semi-axes 75 mm left-right, 95 mm front-back, 90 mm up-down), with 4, 6 and 10 fiducials. In each trial a random
// rigid motion moves the phantom into tracker space, every fiducial is localised there with an isotropic Gaussian
// error of RMS length FLE = 0.25 mm, and the fit maps the phantom fiducials onto the measured ones. Measured: RMS
// fiducial registration error and RMS target registration error at the fiducial centroid and at targets 60 mm and
// 100 mm from it, each against the Fitzpatrick-West-Maurer prediction (which is first-order in FLE, so agreement
// within a fraction of a per cent is expected at this FLE; the Monte Carlo's own standard error is printed).
//
// Speed: Google Benchmark of fitRigid for 4, 10 and 100 pairs (CPU time per fit, including the input checks).

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "lib/numerics/RigidRegistration.h"

namespace
{

using Points = std::vector<Eigen::Vector3d>;
namespace RR = Kelvaros::RigidRegistration;

constexpr double kDegree = M_PI / 180.0;
constexpr double kFle = 0.25;
constexpr int kTrials = 100000;

/// Scalp point at azimuth `azimuthDegrees` (0 = front/nose, 90 = right ear) and elevation above the ear plane.
Eigen::Vector3d scalp(double azimuthDegrees, double elevationDegrees)
{
    const double az = azimuthDegrees * kDegree;
    const double el = elevationDegrees * kDegree;
    return { 75.0 * std::cos(el) * std::sin(az), 95.0 * std::cos(el) * std::cos(az), 90.0 * std::sin(el) };
}

/// Marker layouts as used for navigation on a head: forehead, temples and the back of the head first, further
/// markers spread over the vertex and the parietal region; none on the face below the eyebrows.
Points configuration(int count)
{
    Points all{ scalp(0, 25),   scalp(-95, 15), scalp(95, 15), scalp(180, 40), scalp(-140, 50),
                scalp(140, 50), scalp(-40, 50), scalp(40, 50), scalp(0, 85),   scalp(180, 10) };
    if (count == 6)
        return { all[0], all[1], all[2], all[4], all[5], all[8] };
    return Points(all.begin(), all.begin() + count);
}

Eigen::Vector3d centroidOf(const Points& points)
{
    Eigen::Vector3d c = Eigen::Vector3d::Zero();
    for (const auto& p : points)
        c += p;
    return c / static_cast<double>(points.size());
}

Eigen::Matrix4d randomRigid(std::mt19937& rng)
{
    std::normal_distribution<double> n(0.0, 1.0);
    Eigen::Quaterniond q(n(rng), n(rng), n(rng), n(rng));
    q.normalize();
    Eigen::Matrix4d t = Eigen::Matrix4d::Identity();
    t.topLeftCorner<3, 3>() = q.toRotationMatrix();
    t.topRightCorner<3, 1>() = Eigen::Vector3d(n(rng), n(rng), n(rng)) * 300.0;
    return t;
}

Eigen::Vector3d apply(const Eigen::Matrix4d& t, const Eigen::Vector3d& p)
{
    return t.topLeftCorner<3, 3>() * p + t.topRightCorner<3, 1>();
}

struct Accumulator
{
    double sum = 0.0;
    double sumSq = 0.0;
    int n = 0;
    void add(double squared)
    {
        sum += squared;
        sumSq += squared * squared;
        ++n;
    }
    [[nodiscard]] double rms() const { return std::sqrt(sum / n); }
    /// Standard error of the RMS, relative: half the relative standard error of the mean square.
    [[nodiscard]] double relativeError() const
    {
        const double mean = sum / n;
        const double var = sumSq / n - mean * mean;
        return 0.5 * std::sqrt(var / n) / mean;
    }
};

std::vector<std::string> g_figures;

void figure(const std::string& name, double value, const char* unit)
{
    g_figures.push_back(fmt::format("FIGURE {} {:.4g} {}", name, value, unit));
}

void monteCarlo(int count)
{
    const Points fiducials = configuration(count);
    const Eigen::Vector3d centroid = centroidOf(fiducials);
    // Targets inside the head, below the marker ring: 60 mm straight down from the centroid, and 100 mm down and
    // towards the front left.
    const Eigen::Vector3d near = centroid + 60.0 * Eigen::Vector3d(0.0, 0.0, -1.0);
    const Eigen::Vector3d far = centroid + 100.0 * Eigen::Vector3d(-0.4, 0.3, -1.0).normalized();
    const Points targets{ centroid, near, far };
    const char* targetNames[] = { "centroid", "60mm", "100mm" };

    std::mt19937 rng(1000 + count);
    std::normal_distribution<double> noise(0.0, kFle / std::sqrt(3.0));
    Accumulator fre;
    std::vector<Accumulator> tre(targets.size());
    Points measured(fiducials.size());
    for (int trial = 0; trial < kTrials; ++trial)
    {
        const Eigen::Matrix4d truth = randomRigid(rng);
        for (std::size_t i = 0; i < fiducials.size(); ++i)
            measured[i] = apply(truth, fiducials[i]) + Eigen::Vector3d(noise(rng), noise(rng), noise(rng));
        double error = 0.0;
        const auto fit = RR::fitRigid(fiducials, measured, &error);
        if (!fit)
        {
            std::fprintf(stderr, "fit refused a valid configuration\n");
            std::exit(1);
        }
        fre.add(error * error);
        for (std::size_t k = 0; k < targets.size(); ++k)
            tre[k].add((apply(*fit, targets[k]) - apply(truth, targets[k])).squaredNorm());
    }

    const double freExpected = RR::expectedFre(kFle, fiducials.size());
    fmt::print("{} fiducials ({} trials, FLE {} mm RMS):\n", count, kTrials, kFle);
    fmt::print("  FRE  Monte Carlo {:.4f} mm  predicted {:.4f} mm  deviation {:+.2f} % (MC error {:.2f} %)\n",
               fre.rms(), freExpected, (fre.rms() / freExpected - 1.0) * 100.0, fre.relativeError() * 100.0);
    figure(fmt::format("registration_fre_{}fid", count), fre.rms(), "mm");
    figure(fmt::format("registration_fre_deviation_{}fid", count), (fre.rms() / freExpected - 1.0) * 100.0, "%");
    for (std::size_t k = 0; k < targets.size(); ++k)
    {
        const double predicted = *RR::predictedTre(fiducials, kFle, targets[k]);
        const double deviation = (tre[k].rms() / predicted - 1.0) * 100.0;
        fmt::print("  TRE at {:<8} ({:5.1f} mm from centroid)  Monte Carlo {:.4f} mm  predicted {:.4f} mm  deviation "
                   "{:+.2f} % (MC error {:.2f} %)\n",
                   targetNames[k], (targets[k] - centroid).norm(), tre[k].rms(), predicted, deviation,
                   tre[k].relativeError() * 100.0);
        figure(fmt::format("registration_tre_{}_{}fid", targetNames[k], count), tre[k].rms(), "mm");
        figure(fmt::format("registration_tre_{}_deviation_{}fid", targetNames[k], count), deviation, "%");
    }
}

Points timingPoints(int count, std::mt19937& rng)
{
    std::uniform_real_distribution<double> u(-100.0, 100.0);
    Points p;
    for (int i = 0; i < count; ++i)
        p.emplace_back(u(rng), u(rng), u(rng));
    return p;
}

void fitRigidTiming(benchmark::State& state)
{
    std::mt19937 rng(7);
    const int count = static_cast<int>(state.range(0));
    const Points source = timingPoints(count, rng);
    const Eigen::Matrix4d truth = randomRigid(rng);
    std::normal_distribution<double> noise(0.0, 0.1);
    Points target;
    for (const auto& p : source)
        target.push_back(apply(truth, p) + Eigen::Vector3d(noise(rng), noise(rng), noise(rng)));
    for (auto _ : state)
    {
        double error = 0.0;
        auto fit = RR::fitRigid(source, target, &error);
        benchmark::DoNotOptimize(fit);
        benchmark::DoNotOptimize(error);
    }
}
BENCHMARK(fitRigidTiming)->Arg(4)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

/// Prints as usual and keeps the time per fit of every run for the FIGURE lines.
class CollectingReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs)
        {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            // Adjusted times are in the run's unit (microseconds here). CPU time, because the machines that run
            // this are shared and wall time mostly measures the neighbours.
            microseconds.emplace_back(run.benchmark_name(), run.GetAdjustedCPUTime());
        }
    }
    std::vector<std::pair<std::string, double>> microseconds;
};

} // namespace

int main(int argc, char** argv)
{
    for (const int count : { 4, 6, 10 })
        monteCarlo(count);

    benchmark::Initialize(&argc, argv);
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const auto& [name, us] : reporter.microseconds)
    {
        const auto slash = name.rfind('/');
        figure(fmt::format("registration_fit_cpu_time_{}pairs", name.substr(slash + 1)), us, "us");
    }

    fmt::print("\n");
    for (const auto& f : g_figures)
        fmt::print("{}\n", f);
    return 0;
}
