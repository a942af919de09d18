// Sustained load: nothing lost, memory flat, latency bounded while streams are reconfigured under way.
//
// Four simulated trackers publish four instruments each at 1 kHz on their own delivery threads. Each feeds a smoothed
// stream; one combined stream takes all four smoothed streams (each tool relative to the reference of its tracker)
// and feeds a tool visualization algorithm's listener. Meanwhile another thread reconfigures the smoothed streams
// (switching between Kalman filter and moving average), the combined stream (its instructions, rebuilt) and the
// visualization (its quality threshold) every 100 ms, as a user turning knobs would.
//
// Per stage (smoothed, combined, visualization): samples delivered and lost (published minus delivered; the goal is
// none lost) and the 99th-percentile latency from the tracker's emission to the stage's listener. Every stage runs
// synchronously on the tracker's thread, so a thread-local stamp taken just before the emission dates each sample.
// Memory: peak resident set (VmHWM) and growth of the resident set between second 10 and the end (goal: flat).
//
// Usage: SustainedLoadBench [--seconds N]   (default 60)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <Eigen/Geometry>
#include <fmt/format.h>

#include "core/Properties.h"
#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"

#include "streams/CombinedTrackingStream.h"
#include "streams/SmoothedTrackingStream.h"
#include "visualization/ToolVisualizationAlgorithm.h"

namespace
{

using namespace Kelvaros;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kTrackers = 4;
constexpr int kTools = 3; // plus one reference per tracker
constexpr auto kPeriod = 1ms;
constexpr auto kReconfigurePeriod = 100ms;

/// When the tracker on this thread began emitting its current sample.
thread_local Clock::time_point t_emittedAt;

/// A tracker at 1 kHz: a reference and three tools moving slowly. A stall of more than 100 ms restarts the schedule
/// instead of bursting, as a real tracker's clock would not wait for us.
class LoadTracker final : public TrackingStream
{
public:
    explicit LoadTracker(int index) : TrackingStream(fmt::format("Tracker {}", index)), m_index(index) {}
    ~LoadTracker() override { closeOnDestruction(); }

    std::atomic<int64_t> published{ 0 };

protected:
    bool startImpl() override
    {
        m_next = Clock::now();
        return true;
    }

    std::optional<WorkContinuation> doWork() override
    {
        const auto now = Clock::now();
        if (now < m_next)
            return WorkContinuation::after(std::chrono::duration_cast<std::chrono::microseconds>(m_next - now));
        if (now - m_next > 100ms)
            m_next = now;
        m_next += kPeriod;
        const int64_t step = published.load();
        const double t = 0.001 * double(step);
        std::vector<TrackingInstrument> instruments;
        for (int i = 0; i <= kTools; ++i)
        {
            const Eigen::Affine3d pose =
              Eigen::Translation3d(50.0 * i + 10.0 * std::sin(t + m_index), 20.0 * std::cos(t), -900.0) *
              Eigen::AngleAxisd(0.2 * std::sin(0.5 * t + i), Eigen::Vector3d(0.3, 0.4, 1.0).normalized());
            const std::string id = i == 0 ? "ref" : fmt::format("tool{}", i);
            instruments.push_back(
              TrackingInstrument{ TrackerID(id, "Load", id), pose.matrix(), 0.9, step * 1000, true });
        }
        auto sample = std::make_shared<TrackingStreamData>(this, std::move(instruments));
        sample->setTimestampDevice(step * 1000);
        sample->setTimestampArrival(StreamData::nowMicroseconds());
        ++published;
        t_emittedAt = Clock::now();
        emitStreamData(std::move(sample));
        return WorkContinuation::immediately();
    }

private:
    int m_index;
    Clock::time_point m_next;
};

/// Samples a stage delivered and the latency of each (1 us buckets up to 100 ms), filled from every tracker's thread.
class Stage : public SignalReceiver
{
public:
    explicit Stage(std::string name) : name(std::move(name)) {}
    ~Stage() override { disconnectAll(); }

    void note()
    {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t_emittedAt).count();
        m_buckets[size_t(std::clamp<int64_t>(us, 0, int64_t(m_buckets.size()) - 1))].fetch_add(
          1, std::memory_order_relaxed);
        delivered.fetch_add(1, std::memory_order_relaxed);
    }
    void listenTo(Stream& stream)
    {
        stream.signalStreamData.connect(static_cast<SignalReceiver*>(this),
                                        [this](const std::shared_ptr<const StreamData>&) { note(); });
    }

    [[nodiscard]] double percentileUs(double p) const
    {
        const auto wanted = int64_t(std::ceil(p * double(delivered.load())));
        int64_t seen = 0;
        for (size_t us = 0; us < m_buckets.size(); ++us)
            if ((seen += m_buckets[us].load()) >= wanted)
                return double(us);
        return double(m_buckets.size());
    }

    const std::string name;
    std::atomic<int64_t> delivered{ 0 };

private:
    std::vector<std::atomic<uint32_t>> m_buckets = std::vector<std::atomic<uint32_t>>(100001);
};

/// A field of /proc/self/status in MiB ("VmRSS", "VmHWM").
double statusMiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(prefix, 0) == 0)
            return std::stod(line.substr(prefix.size())) / 1024.0; // kB
    return 0.0;
}

/// The pipeline, built and started; stopped and taken apart in reverse order.
struct Pipeline
{
    std::vector<std::unique_ptr<LoadTracker>> trackers;
    std::vector<std::unique_ptr<SmoothedTrackingStream>> smoothed;
    Stage smoothedStage{ "smoothed" }, combinedStage{ "combined" }, visualizationStage{ "visualization" };
    std::unique_ptr<CombinedTrackingStream> combined;
    std::unique_ptr<ToolVisualizationAlgorithm> visualization;
    Properties combinedSettings;

    Pipeline()
    {
        std::vector<TrackingStream*> inputs;
        for (int i = 0; i < kTrackers; ++i)
        {
            trackers.push_back(std::make_unique<LoadTracker>(i));
            smoothed.push_back(std::make_unique<SmoothedTrackingStream>(trackers.back().get()));
            smoothedStage.listenTo(*smoothed.back());
            inputs.push_back(smoothed.back().get());
        }
        combined = std::make_unique<CombinedTrackingStream>(inputs);
        for (int i = 0; i < kTrackers; ++i)
            for (int t = 1; t <= kTools; ++t)
            {
                CombinedTrackingStream::CombinationInstruction instruction;
                instruction.p_outputInstrument = fmt::format("tool{} of tracker {} in its reference", t, i);
                instruction.p_preStreamName = smoothed[size_t(i)]->name();
                instruction.p_preInstrument = "ref";
                instruction.p_postStreamName = smoothed[size_t(i)]->name();
                instruction.p_postInstrument = fmt::format("tool{}", t);
                combined->addOutputInstrument(instruction);
            }
        combined->configuration(&combinedSettings);
        combinedStage.listenTo(*combined);
        visualization = std::make_unique<ToolVisualizationAlgorithm>(combined.get(), nullptr);
        visualization->p_trackingTargetId = std::string("tool1 of tracker 0 in its reference");
        visualization->signalToolUpdated.connect(static_cast<SignalReceiver*>(&visualizationStage),
                                                 [this] { visualizationStage.note(); });
        visualization->setRunning(true);
        combined->open();
        combined->start();
        for (auto& stream : smoothed) // each opens and starts its tracker
            if (!stream->open() || !stream->start())
                fmt::print(stderr, "{} did not start\n", stream->name());
    }

    ~Pipeline()
    {
        for (auto& stream : smoothed)
            stream->close();
        combined->close();
    }

    /// Round `k` of the user turning knobs.
    void reconfigure(int k)
    {
        Properties smoothing;
        smoothing.setParam("smoothingMode", k % 2 == 0 ? 2 : 1);
        smoothing.setParam("smoothingInterval", 50 + 50 * (k % 4));
        for (auto& stream : smoothed)
            stream->configure(&smoothing);
        combined->configure(&combinedSettings);
        Properties threshold;
        threshold.setParam("qualityThreshold", k % 2 == 0 ? 0.2 : 0.3);
        visualization->configure(&threshold);
    }

    [[nodiscard]] int64_t published() const
    {
        int64_t total = 0;
        for (const auto& tracker : trackers)
            total += tracker->published.load();
        return total;
    }
};

int secondsFromArguments(int argc, char** argv)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0)
            return std::max(1, std::atoi(argv[i + 1]));
    return 60;
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = secondsFromArguments(argc, argv);
    const int growthFrom = seconds > 10 ? 10 : 0;
    std::vector<double> rssMiB;
    rssMiB.reserve(size_t(seconds) + 1);
    int64_t published = 0;
    {
        Pipeline pipeline;
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        std::thread reconfigurer(
          [&]
          {
              std::unique_lock<std::mutex> lock(mutex);
              for (int k = 0; !finished.wait_for(lock, kReconfigurePeriod, [&] { return done; }); ++k)
                  pipeline.reconfigure(k);
          });
        const auto start = Clock::now();
        for (int s = 0; s <= seconds; ++s)
        {
            std::this_thread::sleep_until(start + std::chrono::seconds(s));
            rssMiB.push_back(statusMiB("VmRSS"));
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        finished.notify_all();
        reconfigurer.join();
        for (auto& stream : pipeline.smoothed)
            stream->stop(); // joins each tracker's thread: the counts below are final
        published = pipeline.published();

        fmt::print("Sustained load for {} s: {} trackers x {} instruments at 1 kHz, reconfigured every 100 ms\n",
                   seconds, kTrackers, kTools + 1);
        fmt::print("  {:<14} {:>10} {:>8} {:>12}\n", "stage", "delivered", "lost", "p99 [us]");
        std::vector<std::string> figures{ fmt::format("FIGURE load_published {} samples", published) };
        int64_t lost = 0;
        for (const Stage* stage : { &pipeline.smoothedStage, &pipeline.combinedStage, &pipeline.visualizationStage })
        {
            const int64_t stageLost = published - stage->delivered.load();
            lost = std::max(lost, stageLost);
            fmt::print("  {:<14} {:>10} {:>8} {:>12.0f}\n", stage->name, stage->delivered.load(), stageLost,
                       stage->percentileUs(0.99));
            figures.push_back(
              fmt::format("FIGURE load_latency_p99_us_{} {:.0f} us", stage->name, stage->percentileUs(0.99)));
            figures.push_back(fmt::format("FIGURE load_lost_{} {} samples", stage->name, stageLost));
        }
        figures.push_back(
          fmt::format("FIGURE load_delivered {} samples", pipeline.visualizationStage.delivered.load()));
        figures.push_back(fmt::format("FIGURE load_lost {} samples", lost));
        const double growth = rssMiB.back() - rssMiB[size_t(growthFrom)];
        fmt::print("  resident set: {:.1f} MiB at second {}, {:.1f} MiB at the end\n", rssMiB[size_t(growthFrom)],
                   growthFrom, rssMiB.back());
        figures.push_back(fmt::format("FIGURE load_peak_rss_mb {:.1f} MiB", statusMiB("VmHWM")));
        figures.push_back(fmt::format("FIGURE load_rss_growth_mb {:.1f} MiB", growth));
        fmt::print("\n");
        for (const auto& figure : figures)
            fmt::print("{}\n", figure);
    }
    return 0;
}
