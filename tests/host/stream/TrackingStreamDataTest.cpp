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

TEST(InstrumentCalibrationDataComponent, RestorePreviousSwapsAndCopiesCarryProvenanceAndPrevious)
{
    using Component = InstrumentCalibrationDataComponent;
    const Component::Provenance pivot{ "2026-12-07T06:12:00+01:00", "pivot", 120, 61.5, 0.21, 0.55, 0.09, {}, {}, {} };
    const Component::Entry older{ { pose({ 0, 0, 150 }), 1.0 }, std::nullopt };
    Component component;
    component.setPrevious("pointer", older);
    // Setting a calibration replaces the current entry with its provenance (none for a plain one), never the
    // previous one.
    component.setCalibration("pointer", { pose({ 0, 0, 151 }), 2.0 }, pivot);
    component.setCalibration("needle", { Eigen::Matrix4d::Identity(), 0.5 }, pivot);
    component.setCalibration("needle", Eigen::Matrix4d::Identity(), 0.5);
    EXPECT_FALSE(component.provenance("needle"));
    EXPECT_FALSE(component.restorePrevious("needle")) << "nothing kept to restore";

    std::unique_ptr<DataComponent> clone = component.cloneDerived();
    auto* copy = dynamic_cast<Component*>(clone.get());
    ASSERT_NE(copy, nullptr);
    ASSERT_TRUE(copy->restorePrevious("pointer"));
    EXPECT_EQ(copy->calibration("pointer")->value, 1.0);
    EXPECT_FALSE(copy->provenance("pointer"));
    EXPECT_EQ(copy->previous("pointer")->provenance, pivot);
    EXPECT_EQ(component.provenance("pointer"), pivot) << "the copy is independent";
    ASSERT_TRUE(copy->restorePrevious("pointer")) << "a second swap undoes the first";
    EXPECT_EQ(copy->calibration("pointer")->value, 2.0);
    EXPECT_EQ(copy->provenance("pointer"), pivot);

    // Assignment carries previous entries; removal is per instrument and keeps what can be restored.
    EXPECT_TRUE(copy->restorePrevious("pointer"));
    EXPECT_TRUE(component.assign(*copy));
    EXPECT_EQ(component.calibration("pointer")->value, 1.0);
    EXPECT_TRUE(component.removeCalibration("pointer"));
    EXPECT_FALSE(component.removeCalibration("pointer"));
    EXPECT_EQ(component.instrumentIds(), (std::vector<std::string>{ "needle" }));
    ASSERT_TRUE(component.restorePrevious("pointer"));
    EXPECT_EQ(component.provenance("pointer"), pivot);
    EXPECT_FALSE(component.previous("pointer"));
}
