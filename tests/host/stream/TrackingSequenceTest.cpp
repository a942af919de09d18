#include "stream/TrackingSequence.h"

#include <gtest/gtest.h>

#include "lib/DataList.h"
#include "stream/TrackingInstrumentFiducialsData.h"

#include "StreamTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
TrackingSequence makeSequence(int n)
{
    TrackingSequence sequence("pointer");
    for (int i = 0; i < n; ++i)
        sequence.add(makeInstrument("p", Eigen::Vector3d(i, 0, 0), 0.1 * i).matrix, 1000 * i, 0.5, i % 2 == 0);
    return sequence;
}

double fiducialX(const TrackingSequence& sequence, int i)
{
    const auto* f = sequence.elementwiseComponents().element(i).get<TrackingInstrumentFiducialsData>();
    return f ? f->points()[0].x() : -1.0;
}
} // namespace

TEST(TrackingSequence, StoresSamplesInOrder)
{
    TrackingSequence sequence = makeSequence(4);
    ASSERT_EQ(sequence.size(), 4);
    EXPECT_DOUBLE_EQ(sequence.matrix(3)(0, 3), 3.0);
    EXPECT_TRUE(sequence.matrix(2).isApprox(makeInstrument("p", { 2, 0, 0 }, 0.2).matrix));
    EXPECT_EQ(sequence.timestamp(2), 2000);
    EXPECT_DOUBLE_EQ(sequence.quality(1), 0.5);
    EXPECT_TRUE(sequence.tracked(0));
    EXPECT_FALSE(sequence.tracked(1));
    // The per-sample poses, the calibration and the placement of the sequence are different things.
    sequence.setCalibration(2 * Eigen::Matrix4d::Identity());
    EXPECT_TRUE(sequence.matrix(2).isApprox(makeInstrument("p", { 2, 0, 0 }, 0.2).matrix));
    EXPECT_TRUE(sequence.matrix().isIdentity());
    sequence.setMatrix(0, Eigen::Matrix4d::Zero());
    EXPECT_TRUE(sequence.matrix().isIdentity());
    EXPECT_TRUE(sequence.matrix(0).isZero());
}

TEST(TrackingSequence, ElementComponentsFollowTheirSampleWhenSamplesAreRemoved)
{
    TrackingSequence sequence = makeSequence(5);
    ASSERT_EQ(sequence.elementwiseComponents().size(), 5);
    for (int i : { 1, 3 })
        sequence.elementwiseComponents().element(i).getOrAdd<TrackingInstrumentFiducialsData>().addFiducial(
          Eigen::Vector3d(10 * i, 0, 0), 1.0);
    EXPECT_FALSE(sequence.elementwiseComponents().hasComponents(0));

    EXPECT_TRUE(sequence.remove(0));
    EXPECT_FALSE(sequence.remove(4));
    EXPECT_FALSE(sequence.remove(-1));
    ASSERT_EQ(sequence.size(), 4);
    EXPECT_EQ(sequence.elementwiseComponents().size(), 4);
    EXPECT_DOUBLE_EQ(fiducialX(sequence, 0), 10.0);
    EXPECT_DOUBLE_EQ(fiducialX(sequence, 2), 30.0);
    EXPECT_DOUBLE_EQ(fiducialX(sequence, 1), -1.0);
    EXPECT_DOUBLE_EQ(sequence.matrix(0)(0, 3), 1.0);

    const TrackingSequence copy(sequence);
    sequence.elementwiseComponents().element(0).get<TrackingInstrumentFiducialsData>()->points()[0].x() = 99;
    EXPECT_DOUBLE_EQ(fiducialX(copy, 0), 10.0);

    sequence.clear();
    EXPECT_TRUE(sequence.empty());
    EXPECT_EQ(sequence.elementwiseComponents().size(), 0);
}

TEST(TrackingSequence, IsFoundInDataLists)
{
    TrackingSequence a = makeSequence(1);
    TrackingSequence b = makeSequence(2);
    ScriptedStream stream;
    DataList list{ &a, &stream, &b };
    const auto sequences = list.getTrackingSequences();
    ASSERT_EQ(sequences.size(), 2u);
    EXPECT_EQ(sequences[0], &a);
    EXPECT_EQ(sequences[1], &b);
    EXPECT_EQ(list.getFirst(Data::Kind::TrackingStream), &stream);
}
