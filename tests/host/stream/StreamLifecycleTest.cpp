#include <optional>
#include <set>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/Log.h"
#include "stream/TrackingStreamRecorder.h"

#include "LogExpectation.h"
#include "StreamTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;
using State = Stream::State;
using namespace std::chrono_literals;

namespace
{
using Changes = std::vector<std::pair<State, State>>;
const Changes kFullCycle{ { State::Closed, State::Opened },  { State::Opened, State::Running },
                          { State::Running, State::Paused }, { State::Paused, State::Running },
                          { State::Running, State::Opened }, { State::Opened, State::Closed } };

int hookCalls(const ScriptedStream& s)
{
    return s.opens + s.closes + s.starts + s.stops + s.pauses + s.resumes;
}
} // namespace

TEST(StreamLifecycle, ChangeStateNotifiesRealChangesOnlyAndPausingNeedsTheSourcesSupport)
{
    Changes changes;
    ScriptedStream stream;
    stream.signalStateChanged.connect([&](State from, State to) { changes.emplace_back(from, to); });
    stream.changeState(State::Opened);
    stream.changeState(State::Opened);
    EXPECT_EQ(changes, (Changes{ { State::Closed, State::Opened } }));

    stream.pausing = false;
    ASSERT_TRUE(stream.start());
    LogExpectation expect(Log::Warning, "does not support pausing", 1);
    EXPECT_FALSE(stream.pause());
    EXPECT_EQ(stream.state(), State::Running);
}

TEST(StreamLifecycle, EachCallFromEachStateEitherMovesWithItsHookOrDoesNothing)
{
    using Call = bool (Stream::*)();
    struct Case
    {
        std::vector<Call> setup;
        std::optional<State> forced; // a state the source sets itself after the setup
        Call call;
        bool result;
        State after;
        const char* warning; // nullptr: no warning
    };
    const std::vector<Call> opened{ &Stream::open }, running{ &Stream::open, &Stream::start },
      paused{ &Stream::open, &Stream::start, &Stream::pause };
    const std::optional<State> lost = State::Disconnected;
    const std::vector<Case> cases{
        { {}, {}, &Stream::close, true, State::Closed, nullptr },
        { {}, {}, &Stream::start, false, State::Closed, "start() is not allowed in state Closed" },
        { {}, {}, &Stream::pause, false, State::Closed, "pause() is not allowed in state Closed" },
        { opened, {}, &Stream::open, true, State::Opened, nullptr },
        { opened, {}, &Stream::stop, true, State::Opened, nullptr },
        { opened, {}, &Stream::resume, false, State::Opened, "resume() is not allowed in state Opened" },
        { running, {}, &Stream::start, true, State::Running, nullptr },
        { running, {}, &Stream::resume, true, State::Running, nullptr },
        { paused, {}, &Stream::pause, true, State::Paused, nullptr },
        { paused, {}, &Stream::start, false, State::Paused, "start() is not allowed in state Paused" },
        // A source that lost its device after a start can only be stopped or closed.
        { running, lost, &Stream::open, false, State::Disconnected, "open() is not allowed in state Disconnected" },
        { running, lost, &Stream::stop, true, State::Opened, nullptr },
        // Before a start there is nothing to stop.
        { opened, lost, &Stream::stop, true, State::Disconnected, nullptr },
        { opened, lost, &Stream::close, true, State::Closed, nullptr },
    };
    for (size_t i = 0; i < cases.size(); ++i)
    {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        ScriptedStream stream;
        for (Call step : c.setup)
            ASSERT_TRUE((stream.*step)());
        if (c.forced)
            stream.changeState(*c.forced);
        const State before = stream.state();
        const int hooksBefore = hookCalls(stream);
        std::optional<LogExpectation> warning;
        if (c.warning)
            warning.emplace(Log::Warning, c.warning, 1);
        EXPECT_EQ((stream.*c.call)(), c.result);
        EXPECT_EQ(stream.state(), c.after);
        // A hook runs only for a real move.
        EXPECT_EQ(hookCalls(stream) - hooksBefore, before == c.after ? 0 : 1);
    }
}

TEST(StreamLifecycle, FailingHooksKeepTheStateAndASourceKeepsDelivering)
{
    Changes changes;
    ScriptedStream stream(Stream::ThreadingMode::OwnThread);
    stream.signalStateChanged.connect([&](State from, State to) { changes.emplace_back(from, to); });
    // Each step fails once through its hook, leaving the state as it was, and then succeeds.
    const std::pair<std::atomic<bool>*, bool (Stream::*)()> steps[] = { { &stream.failOpen, &Stream::open },
                                                                        { &stream.failStart, &Stream::start },
                                                                        { &stream.failPause, &Stream::pause },
                                                                        { &stream.failResume, &Stream::resume } };
    for (const auto& [fail, call] : steps)
    {
        const State before = stream.state();
        *fail = true;
        EXPECT_FALSE((stream.*call)());
        EXPECT_EQ(stream.state(), before);
        *fail = false;
        EXPECT_TRUE((stream.*call)());
    }

    stream.failStop = true;
    EXPECT_FALSE(stream.stop());
    EXPECT_FALSE(stream.close());
    EXPECT_EQ(stream.state(), State::Running);
    const int now = stream.works;
    EXPECT_TRUE(waitUntil([&] { return stream.works >= now + 3; }));
    stream.failStop = false;

    // close = stop + close: when only the close hook fails the stream is left stopped, not running.
    stream.failClose = true;
    EXPECT_FALSE(stream.close());
    EXPECT_EQ(stream.state(), State::Opened);
    stream.failClose = false;
    EXPECT_TRUE(stream.close());
    EXPECT_EQ(changes, kFullCycle);
}

TEST(TrackingStream, MainInstrumentIsChosenOnlyByTheUserAndSignalledOncePerChange)
{
    ScriptedStream stream;
    std::vector<std::string> ids;
    stream.signalMainInstrumentIdChanged.connect([&](const std::string& id) { ids.push_back(id); });
    // Choosing it while delivering would run its listeners on the delivery thread.
    stream.publish({ instrument("ref", pose({ 0, 0, 0 })), instrument("pointer", pose({ 1, 0, 0 })) });
    EXPECT_EQ(stream.mainInstrumentId(), "");
    EXPECT_TRUE(stream.setMainInstrumentId("pointer"));
    EXPECT_TRUE(stream.setMainInstrumentId("pointer"));
    EXPECT_TRUE(stream.setMainInstrumentId("needle"));
    stream.publish({ instrument("ref", pose({ 0, 0, 0 })) });
    EXPECT_EQ(stream.mainInstrumentId(), "needle");
    EXPECT_EQ(ids, (std::vector<std::string>{ "pointer", "needle" }));
}

TEST(TrackingStream, ReportsInstrumentsSeenAndTheTrackedOnes)
{
    ScriptedStream stream;
    int changes = 0;
    stream.signalInstrumentsChanged.connect([&] { ++changes; });
    stream.publish({ instrument("ref", pose({ 0, 0, 0 })), instrument("pointer", pose({ 1, 0, 0 }), 0.9, false) });
    stream.publish({ instrument("pointer", pose({ 2, 0, 0 })), instrument("needle", pose({ 3, 0, 0 })) });
    stream.publish(
      { TrackingInstrument{ TrackerID("pointer", "TestModel", "renamed"), pose({ 5, 0, 0 }), 1.0, 0, true } });
    // Two new ids in sample 1, one in sample 2, a rename in sample 3.
    EXPECT_EQ(changes, 3);
    const auto seen = stream.instruments();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].ID(), "ref");
    EXPECT_EQ(seen[1].name(), "renamed");
    EXPECT_DOUBLE_EQ(seen[1].matrix(0, 3), 5.0);
    EXPECT_EQ(seen[2].ID(), "needle");
    ASSERT_EQ(stream.activeInstruments().size(), 1u);
    EXPECT_EQ(stream.activeInstruments()[0].ID(), "pointer");
}

// ---- Sources: the delivery thread --------------------------------------------------------------------------

TEST(StreamDeliveryThread, RunsOnOneThreadOfItsOwnOnlyBetweenStartAndStopOrDestruction)
{
    auto source = std::make_unique<ScriptedStream>(Stream::ThreadingMode::OwnThread);
    SampleCollector collector(*source);
    std::mutex mutex;
    std::set<std::thread::id> threads;
    source->signalStreamData.connect(
      [&](const std::shared_ptr<const StreamData>&)
      {
          std::lock_guard<std::mutex> lock(mutex);
          threads.insert(std::this_thread::get_id());
      });
    ASSERT_TRUE(source->open());
    EXPECT_EQ(source->works, 0);
    for (int round = 0; round < 3; ++round)
    {
        ASSERT_TRUE(source->start());
        const size_t before = collector.count();
        ASSERT_TRUE(waitUntil([&] { return collector.count() >= before + 3; }));
        // stop() and the destructor join the thread: no delivery can follow them.
        if (round < 2)
            ASSERT_TRUE(source->stop());
        else
            source.reset();
        const size_t atEnd = collector.count();
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(collector.count(), atEnd);
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(threads.size(), 1u);
        EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
        threads.clear();
    }
}

TEST(StreamDeliveryThread, PauseHoldsDeliveryUnlessTheSourceWorksWhilePaused)
{
    ScriptedStream source(Stream::ThreadingMode::OwnThread);
    ASSERT_TRUE(source.open() && source.start());
    ASSERT_TRUE(waitUntil([&] { return source.works >= 2; }));
    ASSERT_TRUE(source.pause());
    EXPECT_FALSE(source.isRunning());
    // At most one doWork that was already running when pause() returned.
    const int atPause = source.works;
    std::this_thread::sleep_for(10ms);
    EXPECT_LE(source.works, atPause + 1);

    const int held = source.works;
    ASSERT_TRUE(source.resume());
    EXPECT_TRUE(source.isRunning());
    EXPECT_TRUE(waitUntil([&] { return source.works >= held + 3; }));

    source.workWhilePaused = true;
    ASSERT_TRUE(source.pause());
    const int paused = source.works;
    EXPECT_TRUE(waitUntil([&] { return source.works >= paused + 3; }));
}

TEST(StreamDeliveryThread, AListenerCannotStopItsStreamAndOneThatThrowsEndsDeliveryWithAnError)
{
    ScriptedStream source(Stream::ThreadingMode::OwnThread);
    std::atomic<int> calls{ 0 };
    std::atomic<bool> refused{ false };
    source.signalStreamData.connect(
      [&](const std::shared_ptr<const StreamData>&)
      {
          if (++calls == 1)
              refused = !source.stop();
          else
              throw std::runtime_error("listener broke");
      });
    LogExpectation refusal(Log::Error, "stop() refused on the stream's own delivery thread", 1);
    LogExpectation broke(Log::Error, "stopped delivering: listener broke", 1);
    ASSERT_TRUE(source.open() && source.start());
    ASSERT_TRUE(waitUntil([&] { return calls >= 2; }));
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(source.works, 2);
    EXPECT_TRUE(refused);
    EXPECT_TRUE(source.close());
}

TEST(StreamDeliveryThread, StartStopAndListenersComingAndGoingWhileSamplesFlow)
{
    // Two threads start and stop the source, one connects and drops listeners (recorders among them) while the
    // delivery thread emits, and one listener drops itself from inside its own call. Run under ThreadSanitizer.
    ScriptedStream source(Stream::ThreadingMode::OwnThread, 20us);
    SampleCollector collector(source);
    std::atomic<int> selfCalls{ 0 };
    SignalConnection self;
    self = source.signalStreamData.connect(
      [&](const std::shared_ptr<const StreamData>&)
      {
          if (++selfCalls == 10)
              self.disconnect();
      });
    ASSERT_TRUE(source.open());

    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back(
          [&source, t]
          {
              for (int i = 0; i < 100; ++i)
                  EXPECT_TRUE((i + t) % 2 == 0 ? source.start() : source.stop());
          });
    std::atomic<int> lateCalls{ 0 };
    threads.emplace_back(
      [&]
      {
          for (int i = 0; i < 100; ++i)
          {
              auto gone = std::make_shared<std::atomic<bool>>(false);
              SignalReceiver receiver;
              source.signalStreamData.connect(&receiver, [gone, &lateCalls](const std::shared_ptr<const StreamData>&)
                                              { lateCalls += *gone ? 1 : 0; });
              TrackingStreamRecorder recorder(&source);
              recorder.start();
              std::this_thread::yield();
              receiver.disconnectAll();
              *gone = true;
              recorder.stop();
              (void)recorder.takeOutput();
          }
      });
    for (auto& thread : threads)
        thread.join();

    ASSERT_TRUE(source.start());
    const size_t before = collector.count();
    EXPECT_TRUE(waitUntil([&] { return selfCalls >= 10 && collector.count() >= before + 20; }));
    ASSERT_TRUE(source.close());
    EXPECT_EQ(source.starts, source.stops);
    EXPECT_EQ(selfCalls, 10);
    EXPECT_EQ(lateCalls, 0);
}
