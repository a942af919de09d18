#include <gtest/gtest.h>

#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingInstrumentFiducialsData.h"

#include "StreamTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

TEST(TrackingStreamData, FindsInstrumentsByIdOnly)
{
    TrackingStreamData sample(nullptr, { instrument("ref", pose({ 1, 0, 0 })), instrument("pointer", pose({ 2, 0, 0 })),
                                         instrument("pointer", pose({ 3, 0, 0 })) });
    auto pointer = sample.instrument("pointer");
    ASSERT_TRUE(pointer);
    EXPECT_DOUBLE_EQ(pointer->matrix(0, 3), 3.0);    // a duplicate id: the last one counts
    EXPECT_FALSE(sample.instrument("pointer tool")); // the name is not an id
    EXPECT_FALSE(sample.instrument(""));
}

TEST(TrackingStreamData, CloneIsDeepAndKeepsTheType)
{
    ScriptedStream stream;
    TrackingStreamData sample(&stream, { instrument("pointer", pose({ 2, 0, 0 })) });
    sample.setTimestampDevice(123);
    sample.setTimestampArrival(456);
    sample.components().getOrAdd<TrackingInstrumentFiducialsData>().addFiducial({ 1, 1, 1 }, 1.0);

    auto tracking =
      std::dynamic_pointer_cast<const TrackingStreamData>(std::shared_ptr<const StreamData>(sample.clone()));
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

TEST(InstrumentCalibrationDataComponent, CopiesAreIndependentAndRemovalIsPerInstrument)
{
    InstrumentCalibrationDataComponent component;
    component.setCalibration("pointer", pose({ 0, 0, 150 }), 1.0);
    component.setCalibration("needle", Eigen::Matrix4d::Identity(), 0.5);
    std::unique_ptr<DataComponent> clone = component.cloneDerived();
    auto* copy = dynamic_cast<InstrumentCalibrationDataComponent*>(clone.get());
    ASSERT_NE(copy, nullptr);
    copy->setCalibration("pointer", Eigen::Matrix4d::Zero(), 2.0);
    EXPECT_TRUE(component.calibration("pointer")->matrix.isApprox(pose({ 0, 0, 150 })));

    EXPECT_TRUE(component.assign(*copy));
    EXPECT_DOUBLE_EQ(component.calibration("pointer")->value, 2.0);
    EXPECT_TRUE(component.removeCalibration("needle"));
    EXPECT_FALSE(component.removeCalibration("needle"));
    EXPECT_EQ(component.instrumentIds(), (std::vector<std::string>{ "pointer" }));
}
