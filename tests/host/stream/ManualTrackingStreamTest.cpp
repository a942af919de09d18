#include "stream/ManualTrackingStream.h"

#include <atomic>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "core/Log.h"
#include "stream/TrackingInstrumentFiducialsData.h"

#include "LogExpectation.h"
#include "StreamTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

TEST(ManualTrackingStream, DeliversPushedSamplesInOrderOnItsThread)
{
    ManualTrackingStream stream("Manual");
    SampleCollector collector(stream);
    ASSERT_TRUE(stream.open() && stream.start());

    constexpr int count = 500;
    std::thread producer(
      [&]
      {
          for (int i = 0; i < count; ++i)
              stream.push({ makeInstrument("pointer", Eigen::Vector3d(i, 2 * i, 0)) }, 1000 + i);
      });
    producer.join();
    ASSERT_TRUE(stream.waitUntilDelivered());

    const auto samples = collector.samples();
    ASSERT_EQ(samples.size(), size_t(count));
    int64_t lastArrival = 0;
    for (int i = 0; i < count; ++i)
    {
        ASSERT_TRUE(samples[i]);
        EXPECT_EQ(samples[i]->timestampDevice(), 1000 + i);
        EXPECT_GE(samples[i]->timestampArrival(), lastArrival);
        lastArrival = samples[i]->timestampArrival();
        EXPECT_EQ(samples[i]->trackingStream(), &stream);
        EXPECT_EQ(samples[i]->stream(), &stream);
        ASSERT_EQ(samples[i]->numInstruments(), 1u);
        EXPECT_DOUBLE_EQ(samples[i]->instrumentList()[0].matrix(0, 3), i);
    }
    EXPECT_EQ(stream.numDelivered(), count);
}

TEST(ManualTrackingStream, HoldsSamplesUntilRunningAndAcrossStopStart)
{
    ManualTrackingStream stream;
    SampleCollector collector(stream);
    stream.push({ makeInstrument("a", { 0, 0, 0 }) }, 1);
    ASSERT_TRUE(stream.open());
    EXPECT_FALSE(stream.waitUntilDelivered(std::chrono::milliseconds(20)));
    ASSERT_TRUE(stream.start());
    ASSERT_TRUE(stream.waitUntilDelivered());
    EXPECT_EQ(collector.count(), 1u);

    ASSERT_TRUE(stream.stop());
    stream.push({ makeInstrument("a", { 0, 0, 0 }) }, 2);
    EXPECT_FALSE(stream.waitUntilDelivered(std::chrono::milliseconds(20)));
    EXPECT_EQ(stream.numQueued(), 1u);
    ASSERT_TRUE(stream.start());
    ASSERT_TRUE(stream.waitUntilDelivered());
    EXPECT_EQ(collector.count(), 2u);
}

TEST(ManualTrackingStream, PauseHoldsAndCloseDropsTheQueue)
{
    ManualTrackingStream stream;
    SampleCollector collector(stream);
    ASSERT_TRUE(stream.open() && stream.start() && stream.pause());
    for (int i = 0; i < 3; ++i)
        stream.push({ makeInstrument("a", { 0, 0, 0 }) }, i);
    EXPECT_FALSE(stream.waitUntilDelivered(std::chrono::milliseconds(20)));
    ASSERT_TRUE(stream.resume());
    ASSERT_TRUE(stream.waitUntilDelivered());
    EXPECT_EQ(collector.count(), 3u);

    ASSERT_TRUE(stream.stop());
    stream.push({ makeInstrument("a", { 0, 0, 0 }) }, 9);
    ASSERT_TRUE(stream.close());
    EXPECT_EQ(stream.numQueued(), 0u);
    EXPECT_TRUE(stream.waitUntilDelivered(std::chrono::milliseconds(1)));
}

TEST(ManualTrackingStream, ReportsInstrumentsSeenAndTheTrackedOnes)
{
    ManualTrackingStream stream;
    int changes = 0;
    stream.signalInstrumentsChanged.connect([&] { ++changes; });
    ASSERT_TRUE(stream.open() && stream.start());
    stream.push({ makeInstrument("ref", { 0, 0, 0 }), makeInstrument("pointer", { 1, 0, 0 }, 0, 0.9, false) }, 1);
    stream.push({ makeInstrument("pointer", { 2, 0, 0 }), makeInstrument("needle", { 3, 0, 0 }) }, 2);
    stream.push({ makeInstrument("pointer", { 4, 0, 0 }) }, 3);
    stream.push({ makeInstrument("pointer", { 5, 0, 0 }, 0, 1.0, true, 0, "renamed") }, 4);
    ASSERT_TRUE(stream.waitUntilDelivered());

    const auto seen = stream.instruments();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].ID(), "ref");
    EXPECT_EQ(seen[1].ID(), "pointer");
    EXPECT_EQ(seen[1].name(), "renamed");
    EXPECT_DOUBLE_EQ(seen[1].matrix(0, 3), 5.0);
    EXPECT_EQ(seen[2].ID(), "needle");
    EXPECT_EQ(stream.numInstruments(), 3u);
    EXPECT_EQ(stream.devices().size(), 3u);
    // Two new ids in sample 1, one in sample 2, a rename in sample 4; listeners run on the delivery thread,
    // which waitUntilDelivered has waited for.
    EXPECT_EQ(changes, 3);
    ASSERT_EQ(stream.activeInstruments().size(), 1u);
    EXPECT_EQ(stream.activeInstruments()[0].ID(), "pointer");
}

TEST(ManualTrackingStream, SampleComponentsArriveWithTheSample)
{
    ManualTrackingStream stream;
    SampleCollector collector(stream);
    ASSERT_TRUE(stream.open() && stream.start());
    DataComponentList components;
    auto& fiducials = components.getOrAdd<TrackingInstrumentFiducialsData>();
    fiducials.addFiducial({ 1, 2, 3 }, 0.5, TrackingInstrumentFiducialsData::instrumentKey("pointer"));
    stream.push({ makeInstrument("pointer", { 0, 0, 0 }) }, 7, components);
    fiducials.points()[0] = { 9, 9, 9 }; // the stream kept its own copy
    ASSERT_TRUE(stream.waitUntilDelivered());

    const auto samples = collector.samples();
    ASSERT_EQ(samples.size(), 1u);
    const auto* delivered = samples[0]->components().get<TrackingInstrumentFiducialsData>();
    ASSERT_NE(delivered, nullptr);
    ASSERT_EQ(delivered->size(), 1u);
    EXPECT_TRUE(delivered->points()[0].isApprox(Eigen::Vector3d(1, 2, 3)));
}

TEST(ManualTrackingStream, ListenersMayDisconnectWhileSamplesAreEmitted)
{
    ManualTrackingStream stream;
    ASSERT_TRUE(stream.open() && stream.start());

    // A listener that disconnects itself from inside its own call, and one that another thread disconnects
    // while samples flow; after disconnect() returns the second must never be entered again.
    std::atomic<int> selfCalls{ 0 };
    SignalConnection self;
    self = stream.signalStreamData.connect(
      [&](const std::shared_ptr<const StreamData>&)
      {
          if (++selfCalls == 10)
              self.disconnect();
      });
    std::atomic<bool> disconnected{ false };
    std::atomic<int> lateCalls{ 0 };
    std::atomic<int> otherCalls{ 0 };
    auto receiver = std::make_unique<SignalReceiver>();
    stream.signalStreamData.connect(receiver.get(),
                                    [&](const std::shared_ptr<const StreamData>&)
                                    {
                                        if (disconnected)
                                            ++lateCalls;
                                        ++otherCalls;
                                    });

    std::thread producer(
      [&]
      {
          for (int i = 0; i < 2000; ++i)
              stream.push({ makeInstrument("a", Eigen::Vector3d(i, 0, 0)) }, i);
      });
    ASSERT_TRUE(eventually([&] { return otherCalls >= 20; }));
    receiver->disconnectAll();
    disconnected = true;
    receiver.reset();
    producer.join();
    ASSERT_TRUE(stream.waitUntilDelivered());

    EXPECT_EQ(selfCalls, 10);
    EXPECT_EQ(lateCalls, 0);
}

TEST(ManualTrackingStream, DestroyedWhileProducersPushAndListenersRun)
{
    std::mt19937 random(42);
    for (int round = 0; round < 10; ++round)
    {
        auto stream = std::make_unique<ManualTrackingStream>();
        SampleCollector collector(*stream);
        ASSERT_TRUE(stream->open() && stream->start());
        std::atomic<bool> stopProducing{ false };
        ManualTrackingStream* raw = stream.get();
        std::thread producer(
          [&]
          {
              for (int i = 0; !stopProducing; ++i)
                  raw->push({ makeInstrument("a", Eigen::Vector3d(i, 0, 0)) }, i);
          });
        ASSERT_TRUE(eventually([&] { return collector.count() > 5; }));
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
        stopProducing = true;
        producer.join();
        stream.reset();
    }
}

TEST(ManualTrackingStream, WaitingFromItsOwnListenerIsRefused)
{
    ManualTrackingStream stream;
    std::atomic<int> result{ -1 };
    stream.signalStreamData.connect([&](const std::shared_ptr<const StreamData>&)
                                    { result = stream.waitUntilDelivered(std::chrono::seconds(5)) ? 1 : 0; });
    LogExpectation expect(Log::Error, "waitUntilDelivered called by one of its own listeners", 1);
    ASSERT_TRUE(stream.open() && stream.start());
    stream.push({}, 1);
    ASSERT_TRUE(stream.waitUntilDelivered());
    EXPECT_EQ(result, 0);
}
