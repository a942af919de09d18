#include "streams/CombinedTrackingStream.h"

#include <functional>

#include <Eigen/LU>
#include <gtest/gtest.h>

#include "core/Properties.h"
#include "stream/TrackingInstrumentFiducialsData.h"

#include "LogExpectation.h"
#include "TrackingTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
using Instruction = CombinedTrackingStream::CombinationInstruction;
using Mode = CombinedTrackingStream::CombinationMode;

Instruction makeInstruction(const std::string& output, const std::string& preStream, const TrackingInstrument& pre,
                            const std::string& postStream, const TrackingInstrument& post, Mode mode = Mode::Relative)
{
    Instruction instruction;
    instruction.p_outputInstrument = output;
    instruction.p_preStreamName = preStream;
    instruction.p_preInstrument = pre.id.toIDModelNameString(false);
    instruction.p_postStreamName = postStream;
    instruction.p_postInstrument = post.id.toIDModelNameString(false);
    instruction.p_combinationMode = mode;
    return instruction;
}

void expectPose(const Eigen::Matrix4d& actual, const Eigen::Matrix4d& expected)
{
    EXPECT_LT(translationDifference(actual, expected), 1e-9);
    EXPECT_LT(rotationDifferenceDegrees(actual, expected), 1e-7);
    EXPECT_TRUE(actual.row(3).isApprox(Eigen::RowVector4d(0, 0, 0, 1)));
}

class CombinedTrackingStreamTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        openAndStart(a);
        openAndStart(b);
        openAndStart(combined);
    }

    void addPointerInReference(Mode mode = Mode::Relative)
    {
        combined.addOutputInstrument(makeInstruction("Pointer", "Tracker A", reference, "Tracker B", pointer, mode));
    }
    [[nodiscard]] TrackingInstrument lastOutput(size_t i = 0) const { return collector.last()->instrumentList()[i]; }

    ManualTrackingStream a{ "Tracker A" };
    ManualTrackingStream b{ "Tracker B" };
    CombinedTrackingStream combined{ std::vector<TrackingStream*>{ &a, &b } };
    SampleCollector collector{ combined };

    const TrackingInstrument reference =
      instrument("ref", pose({ 10, -20, 300 }, 30 * kDegree, { 1, 2, 3 }), 0.9, true, 11);
    const TrackingInstrument pointer =
      instrument("ptr", pose({ -40, 5, 250 }, -70 * kDegree, { 0, 1, 1 }), 0.8, true, 22);
};
} // namespace

TEST_F(CombinedTrackingStreamTest, TargetSamplesEmitTheCombinationOfEachMode)
{
    struct Case
    {
        const char* name;
        Mode mode;
        bool forward;
        Eigen::Matrix4d expected;
        double quality;
    };
    // Forwarding first: it needs no reference, and Tracker A has sent none yet.
    const std::vector<Case> cases{
        { "forward", Mode::Relative, true, pointer.matrix, 0.8 },
        { "relative", Mode::Relative, false, reference.matrix.inverse() * pointer.matrix, 0.9 * 0.8 },
        { "composition", Mode::Composition, false, reference.matrix * pointer.matrix, 0.9 * 0.8 },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Properties reset;
        combined.configure(&reset);
        addPointerInReference(c.mode);
        combined.setForwardWithoutCombination(c.forward);
        const size_t before = collector.count();

        if (!c.forward)
            feed(a, { reference });
        EXPECT_EQ(collector.count(), before) << "a reference sample alone never triggers";
        feed(b, { pointer }, 5000);
        ASSERT_EQ(collector.count(), before + 1);
        const auto sample = collector.last();
        EXPECT_EQ(sample->timestampDevice(), pointer.timestamp);
        const TrackingInstrument output = lastOutput();
        EXPECT_EQ(output.id, TrackerID("relative-0", "", "Pointer"));
        expectPose(output.matrix, c.expected);
        EXPECT_DOUBLE_EQ(output.quality, c.quality);
        EXPECT_EQ(output.timestamp, pointer.timestamp);
        EXPECT_TRUE(output.tracked);
    }
}

TEST_F(CombinedTrackingStreamTest, BothInstrumentsFromOneStreamUseItsLatestSampleAndItsLastRecord)
{
    combined.addOutputInstrument(makeInstruction("Self", "Tracker A", reference, "Tracker A", pointer));
    TrackingInstrument stale = pointer;
    stale.matrix = pose({ 1, 1, 1 });
    feed(a, { reference, stale, pointer });
    ASSERT_EQ(collector.count(), 1u);
    expectPose(lastOutput().matrix, reference.matrix.inverse() * pointer.matrix);
}

TEST_F(CombinedTrackingStreamTest, EveryTargetStreamEmitsEveryOutput)
{
    const TrackingInstrument probe = instrument("probe", pose({ 3, 4, 5 }, 5 * kDegree), 0.5, true, 33);
    addPointerInReference();
    combined.addOutputInstrument(makeInstruction("Probe", "Tracker B", pointer, "Tracker A", probe, Mode::Composition));

    feed(a, { reference, probe });
    EXPECT_EQ(collector.count(), 0u) << "neither instruction can be evaluated without a sample of B";
    feed(b, { pointer });
    feed(a, { reference, probe });
    ASSERT_EQ(collector.count(), 2u);
    for (const auto& sample : collector.samples())
    {
        ASSERT_EQ(sample->numInstruments(), 2u);
        expectPose(sample->instrumentList()[1].matrix, pointer.matrix * probe.matrix);
        // The device timestamp is the first output's (the pointer's), whichever stream triggered.
        EXPECT_EQ(sample->timestampDevice(), pointer.timestamp);
    }
}

TEST_F(CombinedTrackingStreamTest, NothingEvaluableEmitsNothingAndKeepsDevices)
{
    addPointerInReference();
    feed(a, { reference });
    feed(b, { pointer });
    ASSERT_EQ(collector.count(), 1u);

    feed(b, { instrument("other", pose({ 0, 0, 0 })) });
    feed(a, {});
    EXPECT_EQ(collector.count(), 1u);
    ASSERT_EQ(combined.devices().size(), 1u);
}

// A pose that cannot be trusted, because the tool is hidden or because its stream stopped delivering after its last
// sample, must not look tracked downstream: the combination keeps the stored sample but reports it untracked.
TEST_F(CombinedTrackingStreamTest, OutputsOfHiddenToolsOrOfInputsThatStoppedDeliveringAreNotTracked)
{
    addPointerInReference();
    for (const bool hideReference : { true, false })
    {
        TrackingInstrument seenReference = reference;
        TrackingInstrument seenPointer = pointer;
        (hideReference ? seenReference : seenPointer).tracked = false;
        feed(a, { seenReference });
        feed(b, { seenPointer });
        EXPECT_FALSE(lastOutput().tracked);
    }

    const std::vector<std::pair<const char*, std::function<void()>>> stopsDelivering{
        { "stopped", [&] { ASSERT_TRUE(a.stop()); } },
        { "paused", [&] { ASSERT_TRUE(a.pause()); } },
        { "disconnected", [&] { a.changeState(Stream::State::Disconnected); } },
        { "closed", [&] { ASSERT_TRUE(a.close()); } },
    };
    for (const auto& [name, interrupt] : stopsDelivering)
    {
        SCOPED_TRACE(name);
        ASSERT_TRUE(a.close());
        openAndStart(a);
        feed(a, { reference });
        interrupt();
        feed(b, { pointer });
        EXPECT_FALSE(lastOutput().tracked);
        EXPECT_EQ(lastOutput().quality, 0.0);
        expectPose(lastOutput().matrix, reference.matrix.inverse() * pointer.matrix);
    }
    // Running again, the input's stored sample counts again (a stream that sent a fixed pose once relies on it).
    ASSERT_TRUE(a.close());
    openAndStart(a);
    feed(b, { pointer });
    EXPECT_TRUE(lastOutput().tracked);
    EXPECT_DOUBLE_EQ(lastOutput().quality, 0.9 * 0.8);
}

TEST_F(CombinedTrackingStreamTest, EmitsOnlyWhileStartedButStoresSamplesAlways)
{
    addPointerInReference();
    ASSERT_TRUE(combined.stop());
    feed(a, { reference });
    feed(b, { pointer });
    EXPECT_EQ(collector.count(), 0u);
    EXPECT_TRUE(combined.devices().empty());
    EXPECT_EQ(a.state(), Stream::State::Running) << "stopping the combination leaves its inputs alone";

    ASSERT_TRUE(combined.start());
    feed(b, { pointer });
    ASSERT_EQ(collector.count(), 1u) << "the reference stored while stopped is used";
}

TEST_F(CombinedTrackingStreamTest, CopiesComponentsOfTheTargetSample)
{
    addPointerInReference();
    feed(a, { reference });
    DataComponentList components;
    components.getOrAdd<TrackingInstrumentFiducialsData>().addFiducial({ 1, 2, 3 }, 1.0);
    b.push({ pointer }, 7, components);
    ASSERT_TRUE(b.waitUntilDelivered());
    ASSERT_EQ(collector.count(), 1u);
    const auto* fiducials = collector.last()->components().get<TrackingInstrumentFiducialsData>();
    ASSERT_NE(fiducials, nullptr);
    ASSERT_EQ(fiducials->size(), 1u);
    EXPECT_EQ(fiducials->points()[0], Eigen::Vector3d(1, 2, 3));
}

TEST_F(CombinedTrackingStreamTest, ReconfigurationRestartsIdsAndRewritesAReusedBlockOnce)
{
    addPointerInReference();
    addPointerInReference();
    // Written twice into the same tree (a workspace saved twice), the list is still there once.
    Properties saved;
    combined.configuration(&saved);
    combined.configuration(&saved);
    EXPECT_EQ(saved.subProperties("CombinationInstructions")->subPropertiesAll("Combination").size(), 2u);

    combined.configure(&saved);
    const auto outputs = combined.outputInstruments();
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0].id, TrackerID("relative-0", "", "Pointer"));
    EXPECT_EQ(outputs[1].id, TrackerID("relative-1", "", "Pointer"));
}

TEST_F(CombinedTrackingStreamTest, OlderTextFormBecomesOneInstruction)
{
    // The streams' instrument lists fill as they deliver; the text picks instrument 1 of each.
    feed(a, { instrument("a0", pose({ 1, 0, 0 })), reference });
    feed(b, { instrument("b0", pose({ 0, 1, 0 })), pointer });

    for (const std::string text : { "Fused,ignored;Tracker~A, 1st,Tracker~B;ignored", "Fused,,Tracker~A,1,Tracker~B," })
    {
        SCOPED_TRACE(text);
        Properties properties;
        properties.setParam("fusionInstructions", text);
        combined.configure(&properties);
        ASSERT_EQ(combined.outputInstruments().size(), 1u);
        EXPECT_EQ(combined.outputInstruments()[0].id, TrackerID("relative-0", "", "Fused"));

        Properties written;
        combined.configuration(&written);
        EXPECT_FALSE(written.hasParam("fusionInstructions")) << "the older form is read, never written";
        // Instrument 1 of each stream, composed (mode 1 for an index of 0 or more).
        feed(b, { instrument("b0", pose({ 0, 1, 0 })), pointer });
        expectPose(lastOutput().matrix, reference.matrix * pointer.matrix);
    }
}

TEST_F(CombinedTrackingStreamTest, MalformedOlderTextIsRefusedAndTheInstructionBlockStillRead)
{
    feed(a, { reference });
    feed(b, { pointer });
    const std::vector<std::string> malformed{
        "Fused,x,Tracker~A,0",                     // fewer than five pieces
        "Fused,x,Tracker~A,first,Tracker~B",       // no digits
        "Fused,x,Tracker~A,99999999999,Tracker~B", // beyond 32 bits
        "Fused,x,Tracker~A,1,Tracker~B",           // each stream has one instrument only
        "Fused,x,Tracker~A,-1,Tracker~B",          // no instrument has a negative index
    };
    for (const std::string& text : malformed)
    {
        SCOPED_TRACE(text);
        LogExpectation expected(Log::Error, "Failed to convert string to CombinationInstruction: " + text, 1);
        Properties properties;
        properties.setParam("fusionInstructions", text);
        makeInstruction("Block", "Tracker A", reference, "Tracker B", pointer)
          .configuration(properties.addSubProperties("CombinationInstructions")->addSubProperties("Combination"));
        combined.configure(&properties);
        ASSERT_EQ(combined.outputInstruments().size(), 1u);
        EXPECT_EQ(combined.outputInstruments()[0].id, TrackerID("relative-0", "", "Block"));
    }
}
