// Smoothing quality of the real SmoothedTrackingStream on simulated ground truth.
//
// The stream follows a driver stream that publishes noisy poses with device timestamps in microseconds at 60 and
// 250 Hz; its emitted poses are compared with the truth. The scenarios are those of the filter-level study in
// bench/smoothing (bench/support/SmoothingScenarios.h), so both sets of figures can be set side by side.
// Noise is isotropic Gaussian: 0.1 mm / 0.1 deg RMS ("lownoise") and 0.25 mm / 0.3 deg RMS ("highnoise").
// Kalman mode with the default parameters (translationError 0.5, angularError 1.0, processSigma 0.5), the adaptive
// filter as the "adaptive" preset of kelvaros-nav sets it up, and for comparison the moving average over 10 samples.

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
#include "lib/numerics/AdaptivePoseFilter.h"

#include "BenchDriverStream.h"
#include "SmoothingScenarios.h"
#include "streams/SmoothedTrackingStream.h"

namespace
{

using namespace Kelvaros;
using Bench::DriverStream;

struct Settings
{
    int mode = 2;
    int interval = 200;
    bool adaptive = false;
};

/// The real smoothed stream behind a driver stream, recording what it emits.
struct StreamUnderTest
{
    explicit StreamUnderTest(const Settings& settings)
    {
        Properties properties;
        properties.setParam("smoothingMode", settings.mode);
        properties.setParam("smoothingInterval", settings.interval);
        if (settings.adaptive)
        {
            const AdaptivePoseFilter::Settings recommended;
            properties.setParam("adaptive", true);
            properties.setParam("translationError", recommended.positionNoiseMm);
            properties.setParam("angularError", recommended.rotationNoiseDegrees);
        }
        smoothed.configure(&properties);
        smoothed.open();
        smoothed.start();
        smoothed.signalStreamData.connect(&listener,
                                          [this](const std::shared_ptr<const StreamData>& data)
                                          {
                                              const auto& sample = static_cast<const TrackingStreamData&>(*data);
                                              emitted = sample.instrumentList().front().matrix;
                                          });
    }
    ~StreamUnderTest() { listener.disconnectAll(); }

    DriverStream driver{ "Simulated Tracker" };
    SmoothedTrackingStream smoothed{ &driver };
    SignalReceiver listener;
    Eigen::Matrix4d emitted = Eigen::Matrix4d::Identity();
};

Bench::SmootherFactory streamWith(const Settings& settings)
{
    return [settings]
    {
        auto stream = std::make_shared<StreamUnderTest>(settings);
        return Bench::SmoothingStep(
          [stream](const Bench::Pose& measured, int64_t t)
          {
              const TrackingInstrument tool{ TrackerID("tool", "", "Tool"), Bench::toMatrix(measured), 1.0, t, true };
              stream->driver.publish(stream->driver.makeSample({ tool }, t));
              return Bench::toPose(stream->emitted);
          });
    };
}

} // namespace

int main()
{
    std::vector<std::string> figures;
    const auto figure = [&](const std::string& name, double value, const char* unit)
    { figures.push_back(fmt::format("FIGURE {} {:.4g} {}", name, value, unit)); };

    const std::vector<Bench::Noise> noises{ { 0.1, 0.1, "lownoise" }, { 0.25, 0.3, "highnoise" } };
    const std::vector<std::pair<std::string, Settings>> variants{ { "kalman_default", Settings{ 2, 200 } },
                                                                  { "adaptive", Settings{ 2, 200, true } },
                                                                  { "average10", Settings{ 1, 10 } } };
    fmt::print("Smoothing through the real SmoothedTrackingStream\n");
    fmt::print("columns: jitter reduction position / rotation, ramp lag position / rotation [ms], sine RMS error "
               "[mm] / [deg]\n");
    for (const double rate : { 60.0, 250.0 })
    {
        for (const Bench::Noise& noise : noises)
        {
            fmt::print("\n{} Hz, noise {} mm / {} deg RMS\n", rate, noise.positionMm, noise.rotationDegrees);
            for (const auto& [name, settings] : variants)
            {
                const Bench::Metrics m = Bench::measure(streamWith(settings), rate, noise);
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
