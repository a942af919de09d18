// Smoothing quality of the smoothed tracking stream's two modes on simulated ground truth.
//
// The smoothers are the stream's own per-instrument ones (ShippedSmoothers.h).
//
// The scenarios and figures are those of bench/support/SmoothingScenarios.h. Bar for the Kalman mode (adaptive
// filters of the literature): jitter reduction >= 3, lag <= 5 ms, sine RMS <= 0.7 mm.

#include <algorithm>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "ShippedSmoothers.h"
#include "SmoothingScenarios.h"

namespace
{

namespace Bench = Kelvaros::Bench;
using Bench::MovingAverageSmoothing;
using Bench::smootherOf;

std::string rateName(double rate)
{
    return fmt::format("{}hz", static_cast<int>(rate));
}

void printRow(const std::string& label, const Bench::Metrics& m)
{
    fmt::print("  {:<28} {:>7.2f}x {:>7.2f}x {:>8.2f} {:>8.2f} {:>8.3f} {:>8.3f} {}\n", label,
               m.jitterReductionPosition, m.jitterReductionRotation, m.lagPositionMs, m.lagRotationMs, m.sineRmsMm,
               m.sineRmsDegrees, m.meetsBar() ? "meets bar" : "");
}

} // namespace

int main()
{
    const std::vector<double> rates{ 60.0, 250.0, 400.0 };
    const std::vector<Bench::Noise> noises{ { 0.1, 0.1, "lownoise" }, { 0.25, 0.3, "highnoise" } };
    const std::vector<double> sigmas{ 0.5, 0.3, 0.2, 0.1, 0.05, 0.03, 0.02, 0.015, 0.012, 0.01, 0.007, 0.005, 0.002 };
    const std::vector<int> windows{ 5, 10, 20 };
    std::vector<std::string> figures;
    auto figure = [&](const std::string& name, double value, const char* unit)
    { figures.push_back(fmt::format("FIGURE {} {:.4g} {}", name, value, unit)); };

    fmt::print("Smoothing on simulated ground truth (defaults: translationError 0.5, angularError 1.0, "
               "processSigma 0.5)\n");
    fmt::print("columns: jitter reduction position / rotation, ramp lag position / rotation [ms], "
               "sine RMS error [mm] / [deg]\n");
    for (const double rate : rates)
    {
        for (const auto& noise : noises)
        {
            fmt::print("\n{} Hz, noise {} mm / {} deg RMS\n", rate, noise.positionMm, noise.rotationDegrees);
            const bool headline = rate < 300.0;
            const std::string tag = rateName(rate) + "_" + noise.name;
            for (const int n : windows)
            {
                const Bench::Metrics m = Bench::measure(smootherOf<MovingAverageSmoothing>(n), rate, noise);
                printRow(fmt::format("moving average N={}", n), m);
                if (headline)
                {
                    const std::string base = fmt::format("smoothing_average{}_{}", n, tag);
                    figure(base + "_jitter_reduction", m.jitterReductionPosition, "x");
                    figure(base + "_ramp_lag", m.lagPositionMs, "ms");
                    figure(base + "_sine_rms", m.sineRmsMm, "mm");
                }
            }
            double best = 0.0;
            double bestSigma = 0.0;
            double bestWithinErrorLimits = 0.0;
            for (const double sigma : sigmas)
            {
                const Bench::Metrics m = Bench::measure(Bench::kalmanSmoothing(sigma), rate, noise);
                printRow(fmt::format("kalman processSigma={}", sigma), m);
                if (m.withinErrorLimits())
                    bestWithinErrorLimits = std::max(bestWithinErrorLimits, m.jitterReductionPosition);
                if (m.meetsBar() && m.jitterReductionPosition > best)
                {
                    best = m.jitterReductionPosition;
                    bestSigma = sigma;
                }
                if (headline && sigma == 0.5)
                {
                    const std::string base = "smoothing_kalman_default_" + tag;
                    figure(base + "_jitter_reduction", m.jitterReductionPosition, "x");
                    figure(base + "_rotation_jitter_reduction", m.jitterReductionRotation, "x");
                    figure(base + "_ramp_lag", m.lagPositionMs, "ms");
                    figure(base + "_sine_rms", m.sineRmsMm, "mm");
                    figure(base + "_sine_rms_rotation", m.sineRmsDegrees, "deg");
                }
            }
            // 0 when no processSigma of the sweep meets the bar.
            if (headline)
            {
                figure("smoothing_kalman_best_jitter_reduction_within_bar_" + tag, best, "x");
                figure("smoothing_kalman_processsigma_for_bar_" + tag, bestSigma, "a.u.");
                // How far the jitter side of the bar is reached while keeping lag and sine error within it.
                figure("smoothing_kalman_best_jitter_reduction_within_lag_and_sine_limits_" + tag,
                       bestWithinErrorLimits, "x");
            }
        }
    }
    fmt::print("\n");
    for (const auto& f : figures)
        fmt::print("{}\n", f);
    return 0;
}
