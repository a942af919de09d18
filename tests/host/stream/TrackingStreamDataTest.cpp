#include <gtest/gtest.h>

#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingInstrumentFiducialsData.h"

#include "StreamTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

TEST(TrackingStreamData, FindsInstrumentsByIdOnly)
{
    ScriptedStream stream;
    TrackingStreamData sample(&stream, { makeInstrument("ref", { 1, 0, 0 }), makeInstrument("pointer", { 2, 0, 0 }),
                                         makeInstrument("pointer", { 3, 0, 0 }) });
    EXPECT_EQ(sample.trackingStream(), &stream);
    EXPECT_EQ(sample.instruments().size(), 3u);

    auto pointer = sample.instrument("pointer");
    ASSERT_TRUE(pointer);
    EXPECT_DOUBLE_EQ(pointer->matrix(0, 3), 3.0);    // a duplicate id: the last one counts
    EXPECT_FALSE(sample.instrument("pointer tool")); // the name is not an id
    EXPECT_FALSE(sample.instrument(""));
}

TEST(TrackingStreamData, CloneIsDeepAndKeepsTheType)
{
    ScriptedStream stream;
    TrackingStreamData sample(&stream, { makeInstrument("pointer", { 2, 0, 0 }) });
    sample.setTimestampDevice(123);
    sample.setTimestampArrival(456);
    sample.components().getOrAdd<TrackingInstrumentFiducialsData>().addFiducial({ 1, 1, 1 }, 1.0);

    std::shared_ptr<const StreamData> clone = sample.clone();
    auto tracking = std::dynamic_pointer_cast<const TrackingStreamData>(clone);
    ASSERT_TRUE(tracking);
    EXPECT_EQ(tracking->timestampDevice(), 123);
    EXPECT_EQ(tracking->timestampArrival(), 456);
    EXPECT_EQ(tracking->trackingStream(), &stream);
    const auto* fiducials = tracking->components().get<TrackingInstrumentFiducialsData>();
    ASSERT_NE(fiducials, nullptr);
    EXPECT_NE(fiducials, sample.components().get<TrackingInstrumentFiducialsData>());
    EXPECT_EQ(fiducials->size(), 1u);

    StreamData plain(&stream);
    EXPECT_FALSE(std::dynamic_pointer_cast<const TrackingStreamData>(std::shared_ptr<const StreamData>(plain.clone())));
}

TEST(TrackingStreamData, UpdateComponentsCopiesAndReplaces)
{
    TrackingStreamData target(nullptr, {});
    target.components().getOrAdd<TrackingInstrumentFiducialsData>().addFiducial({ 0, 0, 0 }, 1.0);
    TrackingStreamData source(nullptr, {});
    source.components().getOrAdd<TrackingInstrumentFiducialsData>().addFiducial({ 5, 5, 5 }, 2.0);
    source.components().getOrAdd<InstrumentCalibrationDataComponent>();

    target.updateComponents(source);
    EXPECT_EQ(target.components().size(), 2u);
    const auto* fiducials = target.components().get<TrackingInstrumentFiducialsData>();
    ASSERT_NE(fiducials, nullptr);
    ASSERT_EQ(fiducials->size(), 1u);
    EXPECT_DOUBLE_EQ(fiducials->values()[0], 2.0);
    target.updateComponents(target);
    EXPECT_EQ(target.components().size(), 2u);
}

TEST(TrackingInstrumentFiducialsData, InstrumentKeysAreFnv1a64OfTheId)
{
    // Published FNV-1a 64-bit test vectors.
    EXPECT_EQ(TrackingInstrumentFiducialsData::instrumentKey(""), 0xcbf29ce484222325ULL);
    EXPECT_EQ(TrackingInstrumentFiducialsData::instrumentKey("a"), 0xaf63dc4c8601ec8cULL);
    EXPECT_EQ(TrackingInstrumentFiducialsData::instrumentKey("foobar"), 0x85944171f73967e8ULL);
}

TEST(TrackingInstrumentFiducialsData, SelectsTheFiducialsOfOneInstrument)
{
    const uint64_t pointer = TrackingInstrumentFiducialsData::instrumentKey("pointer");
    const uint64_t ref = TrackingInstrumentFiducialsData::instrumentKey("ref");
    TrackingInstrumentFiducialsData all;
    all.addFiducial({ 1, 0, 0 }, 1.0, pointer);
    all.addFiducial({ 2, 0, 0 }, 0.0, ref);
    all.addFiducial({ 3, 0, 0 }, 0.5, pointer);
    auto own = all.forInstrument(pointer);
    ASSERT_EQ(own.size(), 2u);
    EXPECT_EQ(own.instrumentKeys(), (std::vector<uint64_t>{ pointer, pointer }));
    EXPECT_DOUBLE_EQ(own.points()[1].x(), 3.0);
    EXPECT_DOUBLE_EQ(own.values()[1], 0.5);

    TrackingInstrumentFiducialsData anonymous;
    anonymous.addFiducial({ 1, 0, 0 }, 1.0);
    EXPECT_FALSE(anonymous.hasInstrumentKeys());
    EXPECT_TRUE(anonymous.forInstrument(pointer).empty());
}
