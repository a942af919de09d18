#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/Log.h"

#include "LogExpectation.h"
#include "StreamTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;
using State = Stream::State;

namespace
{
/// Records every state notification.
struct StateLog : SignalReceiver
{
    explicit StateLog(Stream& stream)
    {
        stream.signalStateChanged.connect(this,
                                          [this](State from, State to)
                                          {
                                              std::lock_guard<std::mutex> lock(mutex);
                                              changes.emplace_back(from, to);
                                          });
    }
    ~StateLog() override { disconnectAll(); }
    std::vector<std::pair<State, State>> take()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(changes, {});
    }
    std::mutex mutex;
    std::vector<std::pair<State, State>> changes;
};

using Changes = std::vector<std::pair<State, State>>;
} // namespace

TEST(StreamLifecycle, FullCycleMovesThroughEveryStateAndNotifiesEachChange)
{
    ScriptedStream stream;
    StateLog log(stream);
    EXPECT_EQ(stream.state(), State::Closed);

    EXPECT_TRUE(stream.open());
    EXPECT_TRUE(stream.start());
    EXPECT_TRUE(stream.isRunning());
    EXPECT_TRUE(stream.pause());
    EXPECT_TRUE(stream.isStateOneOf({ State::Running, State::Paused }));
    EXPECT_FALSE(stream.isRunning());
    EXPECT_TRUE(stream.resume());
    EXPECT_TRUE(stream.stop());
    EXPECT_TRUE(stream.close());

    EXPECT_EQ(log.take(), (Changes{ { State::Closed, State::Opened },
                                    { State::Opened, State::Running },
                                    { State::Running, State::Paused },
                                    { State::Paused, State::Running },
                                    { State::Running, State::Opened },
                                    { State::Opened, State::Closed } }));
    EXPECT_EQ(stream.opens + stream.starts + stream.pauses + stream.resumes + stream.stops + stream.closes, 6);
}

TEST(StreamLifecycle, CallsWhoseTargetAlreadyHoldsSucceedWithoutHooks)
{
    ScriptedStream stream;
    StateLog log(stream);
    EXPECT_TRUE(stream.stop());
    EXPECT_TRUE(stream.close());
    ASSERT_TRUE(stream.open());
    EXPECT_TRUE(stream.open());
    EXPECT_TRUE(stream.stop());
    ASSERT_TRUE(stream.start());
    EXPECT_TRUE(stream.start());
    EXPECT_TRUE(stream.open());
    EXPECT_TRUE(stream.resume());

    EXPECT_EQ(stream.opens, 1);
    EXPECT_EQ(stream.starts, 1);
    EXPECT_EQ(stream.stops + stream.closes + stream.resumes, 0);
    EXPECT_EQ(log.take().size(), 2u);
}

TEST(StreamLifecycle, ForbiddenTransitionsAreRefusedWithAWarning)
{
    ScriptedStream stream;
    {
        LogExpectation expect(Log::Warning, "start() is not allowed in state Closed", 1);
        EXPECT_FALSE(stream.start());
    }
    {
        LogExpectation expect(Log::Warning, "pause() is not allowed in state Closed", 1);
        EXPECT_FALSE(stream.pause());
    }
    ASSERT_TRUE(stream.open());
    {
        LogExpectation expect(Log::Warning, "resume() is not allowed in state Opened", 1);
        EXPECT_FALSE(stream.resume());
    }
    ASSERT_TRUE(stream.start());
    ASSERT_TRUE(stream.pause());
    {
        LogExpectation expect(Log::Warning, "start() is not allowed in state Paused", 1);
        EXPECT_FALSE(stream.start());
    }
    EXPECT_EQ(stream.state(), State::Paused);
    EXPECT_EQ(stream.starts, 1);
    EXPECT_EQ(stream.resumes, 0);

    // Pausing needs the source's support.
    ASSERT_TRUE(stream.resume());
    stream.pausing = false;
    {
        LogExpectation expect(Log::Warning, "does not support pausing", 1);
        EXPECT_FALSE(stream.pause());
    }
    EXPECT_EQ(stream.state(), State::Running);
    EXPECT_EQ(stream.pauses, 1);
}

TEST(StreamLifecycle, FailingHooksKeepTheState)
{
    ScriptedStream stream;
    StateLog log(stream);
    // Each step fails once through its hook, leaving the state as it was, and then succeeds.
    const auto failThenSucceed = [&](std::atomic<bool>& fail, auto call, State before)
    {
        fail = true;
        EXPECT_FALSE(call());
        EXPECT_EQ(stream.state(), before);
        fail = false;
        EXPECT_TRUE(call());
    };
    failThenSucceed(
      stream.failOpen, [&] { return stream.open(); }, State::Closed);
    failThenSucceed(
      stream.failStart, [&] { return stream.start(); }, State::Opened);
    failThenSucceed(
      stream.failPause, [&] { return stream.pause(); }, State::Running);
    failThenSucceed(
      stream.failResume, [&] { return stream.resume(); }, State::Paused);

    stream.failStop = true;
    EXPECT_FALSE(stream.stop());
    EXPECT_FALSE(stream.close());
    EXPECT_EQ(stream.state(), State::Running);
    stream.failStop = false;

    // close = stop + close: when only the close hook fails the stream is left stopped, not running.
    stream.failClose = true;
    EXPECT_FALSE(stream.close());
    EXPECT_EQ(stream.state(), State::Opened);
    stream.failClose = false;
    EXPECT_TRUE(stream.close());

    EXPECT_EQ(log.take(), (Changes{ { State::Closed, State::Opened },
                                    { State::Opened, State::Running },
                                    { State::Running, State::Paused },
                                    { State::Paused, State::Running },
                                    { State::Running, State::Opened },
                                    { State::Opened, State::Closed } }));
}

TEST(StreamLifecycle, DisconnectedSourceCanOnlyBeStoppedOrClosed)
{
    ScriptedStream stream;
    ASSERT_TRUE(stream.open() && stream.start());
    stream.changeState(State::Disconnected);
    {
        LogExpectation expect(Log::Warning, "open() is not allowed in state Disconnected", 1);
        EXPECT_FALSE(stream.open());
    }
    EXPECT_TRUE(stream.stop());
    EXPECT_EQ(stream.state(), State::Opened);
    EXPECT_EQ(stream.stops, 1);

    stream.changeState(State::Disconnected);
    EXPECT_TRUE(stream.stop()); // nothing was started: nothing to do
    EXPECT_EQ(stream.state(), State::Disconnected);
    EXPECT_TRUE(stream.close());
    EXPECT_EQ(stream.state(), State::Closed);
    EXPECT_EQ(stream.stops, 1);
    EXPECT_EQ(stream.closes, 1);
}

TEST(StreamLifecycle, ChangeStateNotifiesOnlyRealChanges)
{
    ScriptedStream stream;
    StateLog log(stream);
    stream.changeState(State::Closed);
    stream.changeState(State::Opened);
    stream.changeState(State::Opened);
    EXPECT_EQ(log.take(), (Changes{ { State::Closed, State::Opened } }));
    stream.changeState(State::Closed);
}

TEST(StreamLifecycle, StateNamesAndValuesAreStable)
{
    EXPECT_EQ(int(State::Running), 3);
    EXPECT_EQ(int(State::Paused), 4);
    EXPECT_STREQ(Stream::stateName(State::Disconnected), "Disconnected");
    ScriptedStream stream;
    EXPECT_EQ(stream.kind(), Data::Kind::TrackingStream);
    EXPECT_NE(stream.uuid(), ScriptedStream().uuid());
    EXPECT_EQ(stream.uuid().size(), 36u);
    EXPECT_NE(stream.describe().find("Closed"), std::string::npos);
}

TEST(StreamMainInstrument, ChangesAreSignalledOnce)
{
    ScriptedStream stream;
    std::vector<std::string> ids;
    stream.signalMainInstrumentIdChanged.connect([&](const std::string& id) { ids.push_back(id); });
    EXPECT_TRUE(stream.setMainInstrumentId("pointer"));
    EXPECT_TRUE(stream.setMainInstrumentId("pointer"));
    EXPECT_TRUE(stream.setMainInstrumentId("needle"));
    EXPECT_EQ(stream.mainInstrumentId(), "needle");
    EXPECT_EQ(ids, (std::vector<std::string>{ "pointer", "needle" }));
}

TEST(StreamMainInstrument, SamplesNeverChooseIt)
{
    // Choosing it while delivering would run its listeners on the delivery thread.
    ScriptedStream stream;
    stream.publish({ makeInstrument("ref", { 0, 0, 0 }), makeInstrument("pointer", { 1, 0, 0 }) });
    EXPECT_EQ(stream.mainInstrumentId(), "");
    stream.setMainInstrumentId("pointer");
    stream.publish({ makeInstrument("ref", { 0, 0, 0 }) });
    EXPECT_EQ(stream.mainInstrumentId(), "pointer");
}

TEST(StreamMainInstrument, RefusedWhenTheStreamOffersNoChoice)
{
    struct Fixed final : TrackingStream
    {
        Fixed() : TrackingStream("Fixed") {}
        ~Fixed() override { closeOnDestruction(); }
        bool supportsMainInstrumentSelection() const override { return false; }
    } stream;
    LogExpectation expect(Log::Warning, "does not support choosing its main instrument", 1);
    EXPECT_FALSE(stream.setMainInstrumentId("x"));
    EXPECT_EQ(stream.mainInstrumentId(), "");
}

// ---- Sources: the delivery thread --------------------------------------------------------------------------

TEST(StreamDeliveryThread, RunsOnlyBetweenStartAndStopAndRestarts)
{
    ScriptedStream source(Stream::ThreadingMode::OwnThread);
    SampleCollector collector(source);
    ASSERT_TRUE(source.open());
    EXPECT_EQ(source.works, 0);

    for (int round = 0; round < 3; ++round)
    {
        ASSERT_TRUE(source.start());
        const int before = source.works;
        ASSERT_TRUE(eventually([&] { return source.works >= before + 3; }));
        ASSERT_TRUE(source.stop());
        // stop() joined the thread: no doWork can follow it.
        const int atStop = source.works;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(source.works, atStop);
        EXPECT_EQ(int(collector.count()), atStop);
    }
}

TEST(StreamDeliveryThread, SamplesComeFromOneThreadThatIsNotTheCaller)
{
    ScriptedStream source(Stream::ThreadingMode::OwnThread);
    std::mutex mutex;
    std::vector<std::thread::id> threads;
    source.signalStreamData.connect(
      [&](const std::shared_ptr<const StreamData>&)
      {
          std::lock_guard<std::mutex> lock(mutex);
          threads.push_back(std::this_thread::get_id());
      });
    ASSERT_TRUE(source.open() && source.start());
    ASSERT_TRUE(eventually([&] { return source.works >= 5; }));
    ASSERT_TRUE(source.close());
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_FALSE(threads.empty());
    for (const auto& id : threads)
        EXPECT_EQ(id, threads.front());
    EXPECT_NE(threads.front(), std::this_thread::get_id());
}

TEST(StreamDeliveryThread, DerivedStreamsHaveNoThread)
{
    ScriptedStream derived(Stream::ThreadingMode::InputThread);
    ASSERT_TRUE(derived.open() && derived.start());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(derived.works, 0);
}

TEST(StreamDeliveryThread, PauseHoldsDeliveryUnlessTheSourceWorksWhilePaused)
{
    ScriptedStream source(Stream::ThreadingMode::OwnThread);
    ASSERT_TRUE(source.open() && source.start());
    ASSERT_TRUE(eventually([&] { return source.works >= 2; }));
    ASSERT_TRUE(source.pause());
    // At most one doWork that was already running when pause() returned.
    const int atPause = source.works;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_LE(source.works, atPause + 1);

    const int held = source.works;
    ASSERT_TRUE(source.resume());
    EXPECT_TRUE(eventually([&] { return source.works >= held + 3; }));

    source.workWhilePaused = true;
    ASSERT_TRUE(source.pause());
    const int paused = source.works;
    EXPECT_TRUE(eventually([&] { return source.works >= paused + 3; }));
}

TEST(StreamDeliveryThread, WorkLoopMayEndWhileTheStreamStaysRunning)
{
    ScriptedStream source(Stream::ThreadingMode::OwnThread);
    source.finishWork = true;
    ASSERT_TRUE(source.open() && source.start());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(source.state(), State::Running);
    EXPECT_EQ(source.works, 0);
    EXPECT_TRUE(source.stop());
    source.finishWork = false;
    ASSERT_TRUE(source.start());
    EXPECT_TRUE(eventually([&] { return source.works >= 1; }));
}

TEST(StreamDeliveryThread, FailingStopKeepsDelivering)
{
    ScriptedStream source(Stream::ThreadingMode::OwnThread);
    ASSERT_TRUE(source.open() && source.start());
    source.failStop = true;
    EXPECT_FALSE(source.stop());
    EXPECT_EQ(source.state(), State::Running);
    const int now = source.works;
    EXPECT_TRUE(eventually([&] { return source.works >= now + 3; }));
    source.failStop = false;
}

TEST(StreamDeliveryThread, DestructionWhileRunningJoinsTheThread)
{
    for (int i = 0; i < 20; ++i)
    {
        auto source = std::make_unique<ScriptedStream>(Stream::ThreadingMode::OwnThread, std::chrono::microseconds(0));
        SampleCollector collector(*source);
        ASSERT_TRUE(source->open() && source->start());
        ASSERT_TRUE(eventually([&] { return source->works >= 1; }));
        source.reset();
        const size_t afterDestruction = collector.count();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        EXPECT_EQ(collector.count(), afterDestruction);
    }
}

TEST(StreamDeliveryThread, ConcurrentLifecycleCallsFromSeveralThreadsStayConsistent)
{
    ScriptedStream source(Stream::ThreadingMode::OwnThread, std::chrono::microseconds(50));
    ASSERT_TRUE(source.open());
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back(
          [&source, t]
          {
              for (int i = 0; i < 50; ++i)
              {
                  if ((i + t) % 2 == 0)
                      EXPECT_TRUE(source.start());
                  else
                      EXPECT_TRUE(source.stop());
              }
          });
    for (auto& thread : threads)
        thread.join();
    ASSERT_TRUE(source.close());
    EXPECT_EQ(source.starts, source.stops);
}

TEST(StreamDeliveryThread, ListenerCannotStopItsOwnStream)
{
    ScriptedStream source(Stream::ThreadingMode::OwnThread);
    std::atomic<int> refused{ 0 };
    std::atomic<bool> tried{ false };
    source.signalStreamData.connect(
      [&](const std::shared_ptr<const StreamData>&)
      {
          if (!tried.exchange(true) && !source.stop())
              ++refused;
      });
    LogExpectation expect(Log::Error, "stop() refused on the stream's own delivery thread", 1);
    ASSERT_TRUE(source.open() && source.start());
    ASSERT_TRUE(eventually([&] { return tried.load(); }));
    EXPECT_TRUE(source.close());
    EXPECT_EQ(refused, 1);
}

TEST(StreamDeliveryThread, ExceptionInTheWorkLoopEndsDeliveryWithAnError)
{
    ScriptedStream source(Stream::ThreadingMode::OwnThread);
    source.signalStreamData.connect([](const std::shared_ptr<const StreamData>&)
                                    { throw std::runtime_error("listener broke"); });
    LogExpectation expect(Log::Error, "stopped delivering: listener broke", 1);
    ASSERT_TRUE(source.open() && source.start());
    ASSERT_TRUE(eventually([&] { return source.works >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(source.works, 1);
    EXPECT_TRUE(source.close());
}
