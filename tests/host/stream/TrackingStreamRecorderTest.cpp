#include "stream/TrackingStreamRecorder.h"

#include <gtest/gtest.h>

#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/ManualTrackingStream.h"
#include "stream/TrackingInstrumentFiducialsData.h"
#include "stream/TrackingSequence.h"

#include "StreamTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
std::vector<TrackingSequence*> sequencesOf(const OwningDataList& list)
{
    return list.dataList().getTrackingSequences();
}

class TrackingStreamRecorderTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(stream.open() && stream.start()); }

    void pushPair(int i, bool pointerTracked = true)
    {
        stream.push({ instrument("ref", pose(Eigen::Vector3d(0, 0, i))),
                      instrument("pointer", pose(Eigen::Vector3d(i, 0, 0), 0.01 * i), 0.9, pointerTracked, 100 * i) },
                    10 * i);
    }

    ManualTrackingStream stream{ "Tracker" };
};
} // namespace

TEST_F(TrackingStreamRecorderTest, RecordsOnlyTheChosenInstrumentBetweenStartAndStop)
{
    TrackingStreamRecorder recorder(&stream);
    recorder.setRecordAllInstruments(false);
    recorder.setRecordingInstrument("pointer");

    pushPair(0);
    ASSERT_TRUE(stream.waitUntilDelivered());
    recorder.start();
    EXPECT_TRUE(recorder.isRecording());
    for (int i = 1; i <= 5; ++i)
        pushPair(i, i != 3);
    ASSERT_TRUE(stream.waitUntilDelivered());
    recorder.stop();
    EXPECT_FALSE(recorder.isRecording());
    pushPair(6);
    ASSERT_TRUE(stream.waitUntilDelivered());

    OwningDataList output = recorder.takeOutput();
    const auto sequences = sequencesOf(output);
    ASSERT_EQ(sequences.size(), 1u);
    const TrackingSequence& pointer = *sequences[0];
    EXPECT_EQ(pointer.name(), "pointer tool");
    EXPECT_EQ(pointer.trackerID().ID(), "pointer");
    // Sample 3 had the pointer untracked and is skipped.
    ASSERT_EQ(pointer.size(), 4);
    const int expected[] = { 1, 2, 4, 5 };
    for (int k = 0; k < 4; ++k)
    {
        EXPECT_TRUE(pointer.matrix(k).isApprox(pose(Eigen::Vector3d(expected[k], 0, 0), 0.01 * expected[k])));
        EXPECT_EQ(pointer.timestamp(k), 100 * expected[k]);
        EXPECT_DOUBLE_EQ(pointer.quality(k), 0.9);
    }
    EXPECT_EQ(recorder.numRecordedSamples(), 4);
    EXPECT_TRUE(recorder.takeOutput().isEmpty());
}

TEST_F(TrackingStreamRecorderTest, RecordsEveryInstrumentWithCalibrationRegistrationAndFiducials)
{
    Eigen::Matrix4d registration = Eigen::Matrix4d::Identity();
    registration(0, 3) = 50;
    stream.setMatrix(registration);
    Eigen::Matrix4d tip = Eigen::Matrix4d::Identity();
    tip(2, 3) = 160;
    stream.components().getOrAdd<InstrumentCalibrationDataComponent>().setCalibration("pointer", tip, 0.0);

    TrackingStreamRecorder recorder(&stream);
    recorder.setRecordUntracked(true);
    recorder.start();
    DataComponentList components;
    auto& fiducials = components.getOrAdd<TrackingInstrumentFiducialsData>();
    fiducials.addFiducial({ 1, 0, 0 }, 1.0, TrackingInstrumentFiducialsData::instrumentKey("pointer"));
    fiducials.addFiducial({ 2, 0, 0 }, 1.0, TrackingInstrumentFiducialsData::instrumentKey("ref"));
    fiducials.addFiducial({ 3, 0, 0 }, 1.0, TrackingInstrumentFiducialsData::instrumentKey("pointer"));
    stream.push({ instrument("ref", pose({ 0, 0, 0 })), instrument("pointer", pose({ 1, 0, 0 })) }, 77, components);
    pushPair(2, false);
    ASSERT_TRUE(stream.waitUntilDelivered());
    recorder.stop();

    OwningDataList output = recorder.takeOutput();
    const auto sequences = sequencesOf(output);
    ASSERT_EQ(sequences.size(), 2u);
    const TrackingSequence& ref = *sequences[0];
    const TrackingSequence& pointer = *sequences[1];
    EXPECT_EQ(ref.trackerID().ID(), "ref");
    EXPECT_EQ(ref.name(), "ref tool");
    EXPECT_EQ(ref.size(), 2);
    EXPECT_EQ(ref.timestamp(0), 77); // the instrument had none: the sample's device timestamp
    EXPECT_TRUE(ref.calibration().isIdentity());
    EXPECT_TRUE(ref.registration().isApprox(registration));
    EXPECT_TRUE(pointer.calibration().isApprox(tip));
    ASSERT_EQ(pointer.size(), 2);
    EXPECT_FALSE(pointer.tracked(1));

    const auto* own = pointer.elementwiseComponents().element(0).get<TrackingInstrumentFiducialsData>();
    ASSERT_NE(own, nullptr);
    ASSERT_EQ(own->size(), 2u);
    EXPECT_DOUBLE_EQ(own->points()[1].x(), 3.0);
    EXPECT_EQ(ref.elementwiseComponents().element(0).get<TrackingInstrumentFiducialsData>()->size(), 1u);
    EXPECT_FALSE(pointer.elementwiseComponents().hasComponents(1));
}
