#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <Eigen/Geometry>

#include "core/Signal.h"
#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"

namespace Kelvaros::Testing
{

/// An instrument with a pose made of a rotation about z by `angle` radians and a translation.
inline TrackingInstrument makeInstrument(const std::string& id, const Eigen::Vector3d& translation, double angle = 0.0,
                                         double quality = 1.0, bool tracked = true, int64_t timestamp = 0,
                                         const std::string& name = std::string())
{
    Eigen::Affine3d pose = Eigen::Translation3d(translation) * Eigen::AngleAxisd(angle, Eigen::Vector3d::UnitZ());
    return TrackingInstrument{ TrackerID(id, "TestModel", name.empty() ? id + " tool" : name), pose.matrix(), quality,
                               timestamp, tracked };
}

/// Collects the tracking samples a stream emits, on whichever thread emits them.
class SampleCollector : public SignalReceiver
{
public:
    explicit SampleCollector(Stream& stream)
    {
        stream.signalStreamData.connect(this, [this](const std::shared_ptr<const StreamData>& data) { add(data); });
    }
    ~SampleCollector() override { disconnectAll(); }

    std::vector<std::shared_ptr<const TrackingStreamData>> samples() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_samples;
    }
    size_t count() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_samples.size();
    }

private:
    void add(const std::shared_ptr<const StreamData>& data)
    {
        auto tracking = std::dynamic_pointer_cast<const TrackingStreamData>(data);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_samples.push_back(tracking);
    }

    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<const TrackingStreamData>> m_samples;
};

/// A tracking stream whose hooks count their calls and can be told to fail. As a source (OwnThread) its doWork
/// publishes one sample per period; as a derived stream (InputThread) samples are published with publish().
class ScriptedStream final : public TrackingStream
{
public:
    explicit ScriptedStream(ThreadingMode mode = ThreadingMode::InputThread,
                            std::chrono::microseconds period = std::chrono::microseconds(500))
      : TrackingStream("Scripted"), m_mode(mode), m_period(period)
    {
    }
    ~ScriptedStream() override { closeOnDestruction(); }

    [[nodiscard]] ThreadingMode threadingMode() const override { return m_mode; }
    [[nodiscard]] bool supportsPausing() const override { return pausing; }
    [[nodiscard]] bool worksWhilePaused() const override { return workWhilePaused; }

    void publish(std::vector<TrackingInstrument> instruments)
    {
        emitStreamData(std::make_shared<TrackingStreamData>(this, std::move(instruments)));
    }

    std::atomic<bool> failOpen{ false }, failClose{ false }, failStart{ false }, failStop{ false }, failPause{ false },
      failResume{ false };
    std::atomic<int> opens{ 0 }, closes{ 0 }, starts{ 0 }, stops{ 0 }, pauses{ 0 }, resumes{ 0 }, works{ 0 };
    std::atomic<bool> pausing{ true };
    std::atomic<bool> workWhilePaused{ false };
    /// While set, doWork ends the delivery thread (returns an empty optional).
    std::atomic<bool> finishWork{ false };

protected:
    bool openImpl() override { return ++opens, !failOpen; }
    bool closeImpl() override { return ++closes, !failClose; }
    bool startImpl() override { return ++starts, !failStart; }
    bool stopImpl() override { return ++stops, !failStop; }
    bool pauseImpl() override { return ++pauses, !failPause; }
    bool resumeImpl() override { return ++resumes, !failResume; }

    std::optional<WorkContinuation> doWork() override
    {
        if (finishWork)
            return std::nullopt;
        const int n = ++works;
        publish({ makeInstrument("tool", Eigen::Vector3d(n, 0, 0), 0.0, 1.0, true, n) });
        return WorkContinuation::after(m_period);
    }

private:
    ThreadingMode m_mode;
    std::chrono::microseconds m_period;
};

/// Polls a condition until it holds or a generous timeout passes (for effects on another thread).
template<typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace Kelvaros::Testing
