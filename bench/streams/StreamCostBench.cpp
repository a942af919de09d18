// Cost of the derived tracking streams per sample, and the latency a chain of them adds.
//
// Cost: a driver stream publishes pre-built samples synchronously; the time of publish() with the derived stream (and
// a listener of it that does nothing) attached, minus the time of publish() alone, is the derived stream's work per
// sample: copying, filtering or combining, building and emitting its own sample. Batches of 1000 samples; the fastest
// batch is reported, since on a shared machine the slower ones measure other processes rather than this code.
// - smoothed stream, Kalman mode (the default) and moving average over the default window of 200 samples (full);
// - combined stream: n output instruments, each an instrument of stream B relative to a reference of stream A,
//   triggered by B's samples.
//
// Latency: a ManualTrackingStream (own delivery thread) feeds a smoothed stream (Kalman) which feeds a combined stream
// (n instruments relative to a reference, all from the smoothed stream) with a listener at the end. A listener
// connected to the source before the chain stamps the start of the source's emission; the end listener stamps the
// end. One sample at a time (push, wait until delivered), so each stamp pair measures one pass through the chain.
//
// Target: under 2 microseconds per instrument per stage.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <Eigen/Geometry>
#include <fmt/format.h>

#include "core/Properties.h"
#include "stream/ManualTrackingStream.h"

#include "BenchDriverStream.h"
#include "streams/CombinedTrackingStream.h"
#include "streams/SmoothedTrackingStream.h"

namespace
{

using namespace Kelvaros;
using Bench::DriverStream;
using Clock = std::chrono::steady_clock;

constexpr int64_t kPeriodMicroseconds = 4000; // 250 Hz device clock
constexpr size_t kBatch = 1000;
constexpr int kBatches = 30;

/// n instruments "tool0".. with noisy poses moving slowly, as a tracker would send them.
class PoseSource
{
public:
    explicit PoseSource(size_t count, std::string prefix = "tool") : m_count(count), m_prefix(std::move(prefix)) {}

    std::vector<TrackingInstrument> next()
    {
        ++m_step;
        std::vector<TrackingInstrument> instruments;
        instruments.reserve(m_count);
        for (size_t i = 0; i < m_count; ++i)
        {
            const double t = 0.004 * double(m_step);
            Eigen::Affine3d pose = Eigen::Translation3d(10.0 * double(i) + 20.0 * std::sin(t) + m_noise(m_rng),
                                                        5.0 + m_noise(m_rng), -900.0 + m_noise(m_rng)) *
                                   Eigen::AngleAxisd(0.3 * std::sin(t) + 0.001 * m_noise(m_rng),
                                                     Eigen::Vector3d(0.2, 0.5, 1.0).normalized());
            instruments.push_back(TrackingInstrument{ TrackerID(m_prefix + std::to_string(i), "Model", "Tool"),
                                                      pose.matrix(), 0.9, m_step * kPeriodMicroseconds, true });
        }
        return instruments;
    }

    [[nodiscard]] int64_t timestamp() const { return 1'000'000 + m_step * kPeriodMicroseconds; }

private:
    size_t m_count;
    std::string m_prefix;
    int64_t m_step = 0;
    std::mt19937 m_rng{ 5 };
    std::normal_distribution<double> m_noise{ 0.0, 0.2 };
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const auto index = static_cast<size_t>(std::min<double>(double(values.size() - 1), p * double(values.size())));
    return values[index];
}

/// Fastest batch's time per publish() in nanoseconds. `makeSample` builds (untimed) the next sample.
double publishCostNs(DriverStream& driver, const std::function<std::shared_ptr<const StreamData>()>& makeSample)
{
    std::vector<double> perSample;
    std::vector<std::shared_ptr<const StreamData>> batch(kBatch);
    for (int b = 0; b < kBatches + 1; ++b)
    {
        for (auto& sample : batch)
            sample = makeSample();
        const auto start = Clock::now();
        for (auto& sample : batch)
            driver.publish(sample);
        const auto stop = Clock::now();
        if (b > 0) // the first batch warms caches and fills moving-average windows
            perSample.push_back(std::chrono::duration<double, std::nano>(stop - start).count() / double(kBatch));
    }
    return *std::min_element(perSample.begin(), perSample.end());
}

struct NullListener : SignalReceiver
{
    explicit NullListener(Stream& stream)
    {
        stream.signalStreamData.connect(static_cast<SignalReceiver*>(this),
                                        [this](const std::shared_ptr<const StreamData>&) { ++samples; });
    }
    ~NullListener() override { disconnectAll(); }
    std::atomic<int64_t> samples{ 0 };
};

double smoothedCostNs(size_t instruments, int mode)
{
    const auto run = [&](bool attached)
    {
        DriverStream driver("Tracker");
        PoseSource source(instruments);
        std::unique_ptr<SmoothedTrackingStream> smoothed;
        std::unique_ptr<NullListener> listener;
        if (attached)
        {
            smoothed = std::make_unique<SmoothedTrackingStream>(&driver);
            Properties settings;
            settings.setParam("smoothingMode", mode);
            smoothed->configure(&settings);
            smoothed->open();
            smoothed->start();
            listener = std::make_unique<NullListener>(*smoothed);
        }
        const double ns = publishCostNs(driver, [&] { return driver.makeSample(source.next(), source.timestamp()); });
        listener.reset();
        smoothed.reset();
        return ns;
    };
    const double baseline = run(false);
    return run(true) - baseline;
}

double combinedCostNs(size_t instruments)
{
    const auto run = [&](bool attached)
    {
        DriverStream referenceStream("Reference Tracker");
        DriverStream targetStream("Tool Tracker");
        PoseSource references(1, "ref");
        PoseSource targets(instruments);
        std::unique_ptr<CombinedTrackingStream> combined;
        std::unique_ptr<NullListener> listener;
        if (attached)
        {
            combined =
              std::make_unique<CombinedTrackingStream>(std::vector<TrackingStream*>{ &referenceStream, &targetStream });
            for (size_t i = 0; i < instruments; ++i)
            {
                CombinedTrackingStream::CombinationInstruction instruction;
                instruction.p_outputInstrument = fmt::format("tool{} in reference", i);
                instruction.p_preStreamName = referenceStream.name();
                instruction.p_preInstrument = "ref0";
                instruction.p_postStreamName = targetStream.name();
                instruction.p_postInstrument = fmt::format("tool{}", i);
                combined->addOutputInstrument(instruction);
            }
            combined->open();
            combined->start();
            listener = std::make_unique<NullListener>(*combined);
        }
        referenceStream.publish(referenceStream.makeSample(references.next(), references.timestamp()));
        const double ns =
          publishCostNs(targetStream, [&] { return targetStream.makeSample(targets.next(), targets.timestamp()); });
        listener.reset();
        combined.reset();
        return ns;
    };
    const double baseline = run(false);
    return run(true) - baseline;
}

struct Latency
{
    double medianNs = 0.0;
    double p99Ns = 0.0;
};

Latency chainLatency(size_t instruments)
{
    ManualTrackingStream source("Tracker");
    // Connected first, so it runs first in the source's emission: the stamp is the moment the chain starts.
    std::atomic<int64_t> startNs{ 0 };
    const auto nowNs = []
    { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); };
    SignalReceiver stamps;
    source.signalStreamData.connect(&stamps, [&](const std::shared_ptr<const StreamData>&) { startNs = nowNs(); });

    SmoothedTrackingStream smoothed(&source);
    CombinedTrackingStream combined(std::vector<TrackingStream*>{ &smoothed });
    for (size_t i = 0; i < instruments; ++i)
    {
        CombinedTrackingStream::CombinationInstruction instruction;
        instruction.p_outputInstrument = fmt::format("tool{} in reference", i);
        instruction.p_preStreamName = smoothed.name();
        instruction.p_preInstrument = "ref0";
        instruction.p_postStreamName = smoothed.name();
        instruction.p_postInstrument = fmt::format("tool{}", i);
        combined.addOutputInstrument(instruction);
    }
    std::vector<double> latencies;
    latencies.reserve(4000);
    combined.signalStreamData.connect(&stamps, [&](const std::shared_ptr<const StreamData>&)
                                      { latencies.push_back(double(nowNs() - startNs.load())); });
    smoothed.open();
    smoothed.start();
    combined.open();
    combined.start();

    PoseSource references(1, "ref");
    PoseSource tools(instruments);
    constexpr int kWarmUp = 200;
    constexpr int kSamples = 3000;
    for (int k = 0; k < kWarmUp + kSamples; ++k)
    {
        std::vector<TrackingInstrument> sample = references.next();
        for (TrackingInstrument& tool : tools.next())
            sample.push_back(std::move(tool));
        source.push(std::move(sample), tools.timestamp());
        source.waitUntilDelivered();
    }
    stamps.disconnectAll();
    latencies.erase(latencies.begin(), latencies.begin() + std::min<size_t>(kWarmUp, latencies.size()));
    return { median(latencies), percentile(latencies, 0.99) };
}

} // namespace

int main()
{
    std::vector<std::string> figures;
    const auto figure = [&](const std::string& name, double value, const char* unit)
    { figures.push_back(fmt::format("FIGURE {} {:.3g} {}", name, value, unit)); };
    double worstPerInstrumentUs = 0.0;

    fmt::print("Cost per sample of each derived stream [us] (per instrument in brackets)\n");
    fmt::print("  {:<28} {:>16} {:>16} {:>16}\n", "", "1 instrument", "4 instruments", "16 instruments");
    const std::vector<size_t> counts{ 1, 4, 16 };
    const auto row = [&](const std::string& label, const std::string& key, const std::function<double(size_t)>& costNs)
    {
        fmt::print("  {:<28}", label);
        for (const size_t n : counts)
        {
            const double us = costNs(n) / 1000.0;
            const double perInstrument = us / double(n);
            worstPerInstrumentUs = std::max(worstPerInstrumentUs, perInstrument);
            fmt::print(" {:>7.3f} ({:>6.3f})", us, perInstrument);
            figure(fmt::format("stream_cost_{}_{}instr", key, n), us, "us");
        }
        fmt::print("\n");
    };
    row("smoothed, Kalman", "smoothed_kalman", [](size_t n) { return smoothedCostNs(n, 2); });
    row("smoothed, moving average 200", "smoothed_average200", [](size_t n) { return smoothedCostNs(n, 1); });
    row("smoothed, none", "smoothed_none", [](size_t n) { return smoothedCostNs(n, 0); });
    row("combined, relative", "combined_relative", [](size_t n) { return combinedCostNs(n); });
    figure("stream_cost_worst_per_instrument", worstPerInstrumentUs, "us");

    fmt::print("\nLatency added by source -> smoothed (Kalman) -> combined -> listener [us]\n");
    for (const size_t n : counts)
    {
        const Latency latency = chainLatency(n);
        const double medianUs = latency.medianNs / 1000.0;
        const double p99Us = latency.p99Ns / 1000.0;
        // Two stages; the smoothed stage carries the reference as well.
        const double perInstrumentStage = medianUs / (2.0 * double(n));
        fmt::print("  {:>2} instruments: median {:.2f}, 99th percentile {:.2f}, per instrument and stage {:.3f}\n", n,
                   medianUs, p99Us, perInstrumentStage);
        figure(fmt::format("chain_latency_median_{}instr", n), medianUs, "us");
        figure(fmt::format("chain_latency_p99_{}instr", n), p99Us, "us");
        figure(fmt::format("chain_latency_median_per_instrument_stage_{}instr", n), perInstrumentStage, "us");
    }

    fmt::print("\n");
    for (const auto& f : figures)
        fmt::print("{}\n", f);
    return 0;
}
