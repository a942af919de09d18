#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"

#include "TrackingTestSupport.h"
#include "WaitUntil.h"

namespace Kelvaros::Testing
{

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
        publish({ instrument("tool", pose(Eigen::Vector3d(n, 0, 0)), 1.0, true, n) });
        return WorkContinuation::after(m_period);
    }

private:
    ThreadingMode m_mode;
    std::chrono::microseconds m_period;
};

} // namespace Kelvaros::Testing
