#include "stream/sources/SimulatedTrackingStream.h"

#include <thread>

#include <gtest/gtest.h>

#include "core/Log.h"
#include "core/Properties.h"
#include "stream/TrackingInstrumentFiducialsData.h"

#include "LogExpectation.h"
#include "StreamTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

TEST(SimulatedTrackingStream, FreeRunningPublishesConsecutiveSimulatorFrames)
{
    SimulatedTrackingStream stream;
    stream.scenario = std::string("landmarks");
    stream.dropoutProbability = 0.05;
    stream.seed = 9;
    stream.freeRunning = true;
    SampleCollector collector(stream);
    ASSERT_TRUE(stream.open() && stream.start());
    ASSERT_TRUE(stream.waitUntilDelivered(300));
    ASSERT_TRUE(stream.stop());

    const auto samples = collector.samples();
    ASSERT_GE(samples.size(), 300u);
    const TrackingSimulator simulator = stream.simulator();
    EXPECT_EQ(simulator.settings().scenario, TrackingSimulator::Scenario::Landmarks);
    for (size_t i = 0; i < samples.size(); ++i)
    {
        ASSERT_EQ(stream.frameForTimestamp(samples[i]->timestampDevice()), int64_t(i));
        const auto expected = simulator.frame(int64_t(i));
        ASSERT_EQ(samples[i]->numInstruments(), 3u);
        for (size_t j = 0; j < 3; ++j)
        {
            EXPECT_EQ(samples[i]->instrumentList()[j].matrix, expected.instruments[j].matrix);
            EXPECT_EQ(samples[i]->instrumentList()[j].tracked, expected.instruments[j].tracked);
        }
        const auto* fiducials = samples[i]->components().get<TrackingInstrumentFiducialsData>();
        ASSERT_NE(fiducials, nullptr);
        EXPECT_EQ(fiducials->points(), expected.fiducials.points());
    }
    // Every tool is known to the stream after the first frame.
    EXPECT_EQ(stream.instruments().size(), 3u);

    // The frame counter continues across stop/start; reset rewinds it.
    const int64_t delivered = stream.numDelivered();
    ASSERT_TRUE(stream.start());
    ASSERT_TRUE(stream.waitUntilDelivered(delivered + 1));
    ASSERT_TRUE(stream.stop());
    EXPECT_EQ(stream.frameForTimestamp(collector.samples()[size_t(delivered)]->timestampDevice()), delivered);
    stream.reset();
    const int64_t beforeReset = stream.numDelivered();
    ASSERT_TRUE(stream.start());
    ASSERT_TRUE(stream.waitUntilDelivered(beforeReset + 1));
    ASSERT_TRUE(stream.close());
    EXPECT_EQ(collector.samples()[size_t(beforeReset)]->timestampDevice(), simulator.deviceTimestamp(0));
}

TEST(SimulatedTrackingStream, PacesItselfAtTheConfiguredRate)
{
    SimulatedTrackingStream stream;
    stream.rate = 200.0;
    SampleCollector collector(stream);
    ASSERT_TRUE(stream.open());
    const int64_t started = StreamData::nowMicroseconds();
    ASSERT_TRUE(stream.start());
    ASSERT_TRUE(stream.waitUntilDelivered(11));
    ASSERT_TRUE(stream.stop());
    const auto samples = collector.samples();
    // Frame 10 is due ten periods of 5 ms after the start (a free-running stream takes microseconds). Measured from
    // the start, not from frame 0, which a slow thread start may publish late without delaying the schedule.
    EXPECT_GE(samples[10]->timestampArrival() - started, 49'000);
    EXPECT_EQ(samples[10]->timestampDevice() - samples[0]->timestampDevice(), 50'000);
}

TEST(SimulatedTrackingStream, PauseHoldsDeliveryAndResumeContinues)
{
    SimulatedTrackingStream stream;
    stream.rate = 500.0;
    SampleCollector collector(stream);
    ASSERT_TRUE(stream.open() && stream.start());
    ASSERT_TRUE(stream.waitUntilDelivered(3));
    ASSERT_TRUE(stream.pause());
    const size_t held = collector.count();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_LE(collector.count(), held + 1); // at most one frame already under way
    const size_t afterPause = collector.count();
    ASSERT_TRUE(stream.resume());
    ASSERT_TRUE(stream.waitUntilDelivered(int64_t(afterPause) + 3));
    ASSERT_TRUE(stream.close());
    const auto samples = collector.samples();
    for (size_t i = 0; i < samples.size(); ++i)
        EXPECT_EQ(stream.frameForTimestamp(samples[i]->timestampDevice()), int64_t(i)); // no frame skipped
}

TEST(SimulatedTrackingStream, RefusesInvalidSettingsAtOpen)
{
    SimulatedTrackingStream stream("Sim");
    stream.scenario = std::string("juggling");
    {
        LogExpectation error(Log::Error, "unknown scenario 'juggling'", 1);
        EXPECT_FALSE(stream.open());
    }
    stream.scenario = std::string("spin");
    stream.rate = -5.0;
    {
        LogExpectation error(Log::Error, "rate -5 Hz", 1);
        EXPECT_FALSE(stream.open());
    }
    EXPECT_EQ(stream.state(), Stream::State::Closed);

    // The settings are ordinary parameters: they go through the property tree.
    Properties properties;
    stream.rate = 120.0;
    stream.configuration(&properties);
    SimulatedTrackingStream copy;
    copy.configure(&properties);
    EXPECT_EQ(copy.rate.value(), 120.0);
    EXPECT_EQ(copy.scenario.value(), "spin");
    ASSERT_TRUE(copy.open());
    EXPECT_EQ(copy.simulator().settings().scenario, TrackingSimulator::Scenario::Spin);
}

TEST(SimulatedTrackingStream, MayBeQueriedAndRewoundWhileItRuns)
{
    SimulatedTrackingStream stream;
    stream.freeRunning = true;
    stream.dropoutProbability = 0.5;
    SampleCollector collector(stream);
    ASSERT_TRUE(stream.open() && stream.start());
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    int rewinds = 0;
    while (std::chrono::steady_clock::now() < until)
    {
        EXPECT_FALSE(stream.describe().empty());
        EXPECT_LE(stream.activeInstruments().size(), 3u);
        EXPECT_EQ(stream.simulator().settings().dropoutProbability, 0.5);
        stream.reset();
        ++rewinds;
        ASSERT_TRUE(stream.pause());
        ASSERT_TRUE(stream.resume());
    }
    ASSERT_TRUE(stream.waitUntilDelivered(stream.numDelivered() + 1));
    ASSERT_TRUE(stream.close());
    EXPECT_GT(rewinds, 0);
    // Whatever the interleaving, every sample is a frame of the simulator's clock.
    for (const auto& sample : collector.samples())
        ASSERT_GE(stream.frameForTimestamp(sample->timestampDevice()), 0);
}
