#include "stream/sources/SimulatedTrackingStream.h"

#include <cmath>
#include <functional>

#include <gtest/gtest.h>

#include "core/Log.h"
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

// A scenario chosen while running takes over without a restart, and the frame counter runs on.
TEST(SimulatedTrackingStream, ScenarioChangedWhileRunningTakesOverAtTheNextFrame)
{
    SimulatedTrackingStream stream;
    stream.freeRunning = true;
    SampleCollector collector(stream);
    ASSERT_TRUE(stream.open() && stream.start());
    ASSERT_TRUE(stream.waitUntilDelivered(10));
    stream.scenario = std::string("spin");
    const int64_t switched = stream.numDelivered();
    ASSERT_TRUE(stream.waitUntilDelivered(switched + 5));
    ASSERT_TRUE(stream.close());

    const auto last = collector.samples().back();
    const int64_t frame = stream.frameForTimestamp(last->timestampDevice());
    EXPECT_EQ(frame, int64_t(collector.samples().size()) - 1);
    EXPECT_EQ(stream.simulator().settings().scenario, TrackingSimulator::Scenario::Spin);
    EXPECT_EQ(last->instrumentList()[1].matrix, stream.simulator().frame(frame).instruments[1].matrix);
}

TEST(SimulatedTrackingStream, RefusesInvalidSettingsAtOpen)
{
    const std::vector<std::pair<std::function<void(SimulatedTrackingStream&)>, const char*>> cases{
        { [](auto& s) { s.scenario = std::string("juggling"); }, "unknown scenario 'juggling'" },
        { [](auto& s) { s.rate = -5.0; }, "rate -5 Hz" },
        { [](auto& s) { s.noise = std::nan(""); }, "noise nan mm" },
        { [](auto& s) { s.dropoutProbability = 1.5; }, "dropout probability 1.5" },
    };
    for (const auto& [spoil, message] : cases)
    {
        SimulatedTrackingStream stream("Sim");
        spoil(stream);
        LogExpectation error(Log::Error, message, 1);
        EXPECT_FALSE(stream.open());
        EXPECT_EQ(stream.state(), Stream::State::Closed);
    }
}
