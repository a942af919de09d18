#include "stream/ManualTrackingStream.h"

#include <atomic>

#include <gtest/gtest.h>

#include "core/Log.h"
#include "stream/TrackingInstrumentFiducialsData.h"

#include "LogExpectation.h"
#include "StreamTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;
using namespace std::chrono_literals;

TEST(ManualTrackingStream, DeliversPushedSamplesInOrderWithTheirComponents)
{
    ManualTrackingStream stream("Manual");
    SampleCollector collector(stream);
    ASSERT_TRUE(stream.open() && stream.start());

    constexpr int count = 50;
    for (int i = 0; i < count; ++i)
        stream.push({ instrument("pointer", pose(Eigen::Vector3d(i, 2 * i, 0))) }, 1000 + i);
    DataComponentList components;
    auto& fiducials = components.getOrAdd<TrackingInstrumentFiducialsData>();
    fiducials.addFiducial({ 1, 2, 3 }, 0.5, TrackingInstrumentFiducialsData::instrumentKey("pointer"));
    stream.push({}, 7, components);
    fiducials.points()[0] = { 9, 9, 9 }; // the stream kept its own copy
    ASSERT_TRUE(stream.waitUntilDelivered());

    const auto samples = collector.samples();
    ASSERT_EQ(samples.size(), size_t(count + 1));
    int64_t lastArrival = 0;
    for (int i = 0; i < count; ++i)
    {
        EXPECT_EQ(samples[i]->timestampDevice(), 1000 + i);
        EXPECT_GE(samples[i]->timestampArrival(), lastArrival);
        lastArrival = samples[i]->timestampArrival();
        EXPECT_EQ(samples[i]->trackingStream(), &stream);
        EXPECT_DOUBLE_EQ(samples[i]->instrumentList().at(0).matrix(0, 3), i);
    }
    const auto* delivered = samples.back()->components().get<TrackingInstrumentFiducialsData>();
    ASSERT_NE(delivered, nullptr);
    EXPECT_TRUE(delivered->points().at(0).isApprox(Eigen::Vector3d(1, 2, 3)));
    EXPECT_EQ(stream.numDelivered(), count + 1);
}

TEST(ManualTrackingStream, HoldsSamplesUntilRunningAndCloseDropsThem)
{
    ManualTrackingStream stream;
    SampleCollector collector(stream);
    stream.push({ instrument("a", pose({ 0, 0, 0 })) }, 1);
    ASSERT_TRUE(stream.open());
    EXPECT_FALSE(stream.waitUntilDelivered(20ms));
    ASSERT_TRUE(stream.start());
    ASSERT_TRUE(stream.waitUntilDelivered());
    EXPECT_EQ(collector.count(), 1u);

    ASSERT_TRUE(stream.pause());
    stream.push({ instrument("a", pose({ 0, 0, 0 })) }, 2);
    EXPECT_FALSE(stream.waitUntilDelivered(20ms));
    ASSERT_TRUE(stream.resume());
    ASSERT_TRUE(stream.waitUntilDelivered());
    EXPECT_EQ(collector.count(), 2u);

    ASSERT_TRUE(stream.stop());
    stream.push({ instrument("a", pose({ 0, 0, 0 })) }, 3);
    EXPECT_EQ(stream.numQueued(), 1u);
    ASSERT_TRUE(stream.close());
    EXPECT_EQ(stream.numQueued(), 0u);
    EXPECT_TRUE(stream.waitUntilDelivered(1ms));
}

TEST(ManualTrackingStream, WaitingFromItsOwnListenerIsRefused)
{
    ManualTrackingStream stream;
    std::atomic<int> result{ -1 };
    stream.signalStreamData.connect([&](const std::shared_ptr<const StreamData>&)
                                    { result = stream.waitUntilDelivered(5s) ? 1 : 0; });
    LogExpectation expect(Log::Error, "waitUntilDelivered called by one of its own listeners", 1);
    ASSERT_TRUE(stream.open() && stream.start());
    stream.push({}, 1);
    ASSERT_TRUE(stream.waitUntilDelivered());
    EXPECT_EQ(result, 0);
}
