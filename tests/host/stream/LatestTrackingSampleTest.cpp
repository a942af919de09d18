#include "stream/LatestTrackingSample.h"

#include <gtest/gtest.h>

#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingStreamDisplayOptions.h"

#include "StreamTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

// One snapshot per sample: calibrated poses, seen flags, the last seen pose of a tool gone untracked; the trail
// drawn for a snapshot leaves out tips of later samples.
TEST(LatestTrackingSample, SnapshotsKeepCalibratedPosesAndTheirOwnTrail)
{
    DriverStream stream;
    stream.components().getOrAdd<InstrumentCalibrationDataComponent>().setCalibration("A", pose({ 0, 0, 10 }), 0.0);
    TrackingStreamDisplayOptions::of(stream).setPathDisplay(TrackingStreamDisplayOptions::Recording);
    stream.publish({ instrument("A", pose({ 1, 2, 3 })) });
    const std::shared_ptr<const TrackingSnapshot> first = stream.latest().snapshot();
    stream.publish({ instrument("A", pose({ 5, 0, 0 }), 0.0), instrument("B", pose({ 7, 0, 0 })) });
    const std::shared_ptr<const TrackingSnapshot> second = stream.latest().snapshot();

    EXPECT_EQ(first->sequence, 1u);
    EXPECT_EQ(second->sequence, stream.latest().sequence());
    ASSERT_EQ(second->instruments.size(), 2u);
    EXPECT_FALSE(second->instruments[0].seen);
    EXPECT_TRUE(second->instruments[0].everSeen);
    EXPECT_LT(translationDifference(second->instruments[0].toolToTracker, pose({ 1, 2, 13 })), 1e-12);
    EXPECT_FALSE(first->showsSameAs(*second));
    EXPECT_EQ(stream.latest().trail().tips(first->sequence).size(), 1u);
    EXPECT_EQ(stream.latest().trail().tips(second->sequence).size(), 2u);
}

// A tool standing still changes nothing a view draws, its last-second trail included; a moving one does. A recording
// trail stays within its bound.
TEST(LatestTrackingSample, StillToolsShowTheSameAndTrailsStayBounded)
{
    DriverStream stream;
    TrackingStreamDisplayOptions::of(stream).setPathDisplay(TrackingStreamDisplayOptions::LastSecond);
    const auto publishAt = [&stream](double x, int64_t us)
    {
        auto sample = std::make_shared<TrackingStreamData>(&stream, std::vector{ instrument("A", pose({ x, 0, 0 })) });
        sample->setTimestampArrival(us);
        stream.publish(sample);
        return stream.latest().snapshot();
    };
    publishAt(0, 1000000);
    std::shared_ptr<const TrackingSnapshot> still = publishAt(1, 1500000);
    for (int64_t us = 1600000; us < 4000000; us += 100000)
    {
        const std::shared_ptr<const TrackingSnapshot> next = publishAt(1, us);
        // The tip at 0 leaves the drawn second after 2.0 s and changes the line once.
        EXPECT_EQ(next->showsSameAs(*still), us != 2100000) << us;
        still = next;
    }
    EXPECT_FALSE(publishAt(2, 4000000)->showsSameAs(*still));

    TrackingStreamDisplayOptions::of(stream).setPathDisplay(TrackingStreamDisplayOptions::Recording);
    for (size_t i = 0; i <= TrackingTrail::kMaxTips; ++i)
        stream.publish({ instrument("A", pose({ double(i), 0, 0 })) });
    EXPECT_EQ(stream.latest().trail().tips(stream.latest().sequence()).front().size(), TrackingTrail::kMaxTips);
}

// A sleeping display is woken once by the next sample, at once when one came already, and not after it cancelled.
TEST(LatestTrackingSample, WakesOncePerRequest)
{
    DriverStream stream;
    LatestTrackingSample& latest = stream.latest();
    int wakes = 0;
    latest.wakeAfter(&wakes, 0, [&wakes] { ++wakes; });
    stream.publish({ instrument("A", pose({ 1, 0, 0 })) });
    stream.publish({ instrument("A", pose({ 2, 0, 0 })) });
    EXPECT_EQ(wakes, 1);
    latest.wakeAfter(&wakes, 1, [&wakes] { ++wakes; });
    EXPECT_EQ(wakes, 2);
    latest.wakeAfter(&wakes, 2, [&wakes] { ++wakes; });
    latest.cancelWake(&wakes);
    stream.publish({ instrument("A", pose({ 3, 0, 0 })) });
    EXPECT_EQ(wakes, 2);
}
