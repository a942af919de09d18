#include "streams/CombinedTrackingStream.h"

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include <Eigen/LU>
#include <gtest/gtest.h>

#include "core/Properties.h"
#include "stream/TrackingInstrumentFiducialsData.h"

#include "LogExpectation.h"
#include "StreamsTestSupport.h"

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

class PlainData final : public Data
{
public:
    PlainData() : Data("image") {}
    [[nodiscard]] Kind kind() const override { return Kind::Image; }
};

class CombinedTrackingStreamTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        openAndStart(a);
        openAndStart(b);
        openAndStart(combined);
    }

    ManualTrackingStream a{ "Tracker A" };
    ManualTrackingStream b{ "Tracker B" };
    CombinedTrackingStream combined{ std::vector<TrackingStream*>{ &a, &b } };
    Collector collector{ combined };

    const TrackingInstrument reference =
      makeTool("ref", makePose({ 10, -20, 300 }, 30 * kDegree, { 1, 2, 3 }), 0.9, 11);
    const TrackingInstrument pointer = makeTool("ptr", makePose({ -40, 5, 250 }, -70 * kDegree, { 0, 1, 1 }), 0.8, 22);
};
} // namespace

TEST_F(CombinedTrackingStreamTest, RelativeTargetIsEmittedOnTargetSamplesOnly)
{
    combined.addOutputInstrument(makeInstruction("Pointer in reference", "Tracker A", reference, "Tracker B", pointer));

    feed(a, { reference });
    EXPECT_EQ(collector.count(), 0u) << "a reference sample alone never triggers";

    feed(b, { pointer }, 5000);
    ASSERT_EQ(collector.count(), 1u);
    auto sample = collector.last();
    EXPECT_EQ(sample->trackingStream(), &combined);
    EXPECT_EQ(sample->timestampDevice(), pointer.timestamp);
    EXPECT_GT(sample->timestampArrival(), 0);
    ASSERT_EQ(sample->numInstruments(), 1u);
    const TrackingInstrument& output = sample->instrumentList()[0];
    EXPECT_EQ(output.id, TrackerID("relative-0", "", "Pointer in reference"));
    expectPose(output.matrix, reference.matrix.inverse() * pointer.matrix);
    EXPECT_DOUBLE_EQ(output.quality, 0.9 * 0.8);
    EXPECT_EQ(output.timestamp, pointer.timestamp);
    EXPECT_TRUE(output.tracked);

    // A new reference changes the next result but emits nothing by itself.
    TrackingInstrument moved = reference;
    moved.matrix = makePose({ 0, 0, 100 }, 10 * kDegree);
    feed(a, { moved });
    EXPECT_EQ(collector.count(), 1u);
    feed(b, { pointer });
    ASSERT_EQ(collector.count(), 2u);
    expectPose(collector.last()->instrumentList()[0].matrix, moved.matrix.inverse() * pointer.matrix);
    EXPECT_EQ(combined.devices()[0].id.ID(), "relative-0");
}

TEST_F(CombinedTrackingStreamTest, CompositionAndForwarding)
{
    combined.addOutputInstrument(
      makeInstruction("Composed", "Tracker A", reference, "Tracker B", pointer, Mode::Composition));
    feed(a, { reference });
    feed(b, { pointer });
    ASSERT_EQ(collector.count(), 1u);
    expectPose(collector.last()->instrumentList()[0].matrix, reference.matrix * pointer.matrix);

    // Forwarding needs no reference at all: a stream without the reference's stream still yields the target.
    ManualTrackingStream lone("Lone");
    openAndStart(lone);
    CombinedTrackingStream forwarding(std::vector<TrackingStream*>{ &lone });
    openAndStart(forwarding);
    Collector forwarded(forwarding);
    forwarding.addOutputInstrument(makeInstruction("Forwarded", "Missing", reference, "Lone", pointer));
    forwarding.setForwardWithoutCombination(true);
    EXPECT_TRUE(forwarding.isForwardWithoutCombination());
    feed(lone, { pointer });
    ASSERT_EQ(forwarded.count(), 1u);
    const TrackingInstrument& output = forwarded.last()->instrumentList()[0];
    EXPECT_EQ(output.matrix, pointer.matrix);
    EXPECT_DOUBLE_EQ(output.quality, pointer.quality);
    EXPECT_EQ(output.id, TrackerID("relative-0", "", "Forwarded"));
}

TEST_F(CombinedTrackingStreamTest, BothInstrumentsFromOneStreamUseItsLatestSample)
{
    combined.addOutputInstrument(makeInstruction("Self", "Tracker A", reference, "Tracker A", pointer));
    TrackingInstrument stale = pointer;
    stale.matrix = makePose({ 1, 1, 1 });
    // A device that reports an instrument twice: the last record counts.
    feed(a, { reference, stale, pointer });
    ASSERT_EQ(collector.count(), 1u);
    expectPose(collector.last()->instrumentList()[0].matrix, reference.matrix.inverse() * pointer.matrix);
}

TEST_F(CombinedTrackingStreamTest, EveryTargetStreamEmitsEveryOutput)
{
    const TrackingInstrument probe = makeTool("probe", makePose({ 3, 4, 5 }, 5 * kDegree), 0.5, 33);
    combined.addOutputInstrument(makeInstruction("Pointer", "Tracker A", reference, "Tracker B", pointer));
    combined.addOutputInstrument(makeInstruction("Probe", "Tracker B", pointer, "Tracker A", probe, Mode::Composition));

    feed(a, { reference, probe });
    EXPECT_EQ(collector.count(), 0u) << "neither instruction can be evaluated without a sample of B";
    feed(b, { pointer });
    feed(a, { reference, probe });
    ASSERT_EQ(collector.count(), 2u);
    for (const auto& sample : collector.samples())
    {
        ASSERT_EQ(sample->numInstruments(), 2u);
        EXPECT_EQ(sample->instrumentList()[0].id.ID(), "relative-0");
        EXPECT_EQ(sample->instrumentList()[1].id.ID(), "relative-1");
        expectPose(sample->instrumentList()[1].matrix, pointer.matrix * probe.matrix);
    }
    // The device timestamp is the first output's (the pointer's), whichever stream triggered.
    EXPECT_EQ(collector.last()->timestampDevice(), pointer.timestamp);
}

TEST_F(CombinedTrackingStreamTest, NothingEvaluableEmitsNothingAndKeepsDevices)
{
    combined.addOutputInstrument(makeInstruction("Pointer", "Tracker A", reference, "Tracker B", pointer));
    feed(a, { reference });
    feed(b, { pointer });
    ASSERT_EQ(collector.count(), 1u);

    feed(b, { makeTool("other", makePose({ 0, 0, 0 })) });
    feed(a, {});
    EXPECT_EQ(collector.count(), 1u);
    ASSERT_EQ(combined.devices().size(), 1u);
    EXPECT_EQ(combined.devices()[0].id.ID(), "relative-0");

    // An instruction with no instrument chosen names nothing, even if a device sends an instrument without id.
    Instruction empty;
    empty.p_preStreamName = "Tracker A";
    empty.p_postStreamName = "Tracker B";
    CombinedTrackingStream onlyEmpty(std::vector<TrackingStream*>{ &a, &b });
    openAndStart(onlyEmpty);
    Collector none(onlyEmpty);
    onlyEmpty.addOutputInstrument(empty);
    onlyEmpty.setForwardWithoutCombination(true);
    feed(b, { makeTool("", makePose({ 0, 0, 0 })) });
    EXPECT_EQ(none.count(), 0u);
}

TEST_F(CombinedTrackingStreamTest, LostToolsAreNotReportedAsTracked)
{
    combined.addOutputInstrument(makeInstruction("Pointer", "Tracker A", reference, "Tracker B", pointer));
    TrackingInstrument hiddenReference = reference;
    hiddenReference.tracked = false;
    feed(a, { hiddenReference });
    feed(b, { pointer });
    TrackingInstrument hiddenPointer = pointer;
    hiddenPointer.tracked = false;
    feed(a, { reference });
    feed(b, { hiddenPointer });
    feed(b, { pointer });
    const auto samples = collector.samples();
    ASSERT_EQ(samples.size(), 3u);
    EXPECT_FALSE(samples[0]->instrumentList()[0].tracked);
    EXPECT_FALSE(samples[1]->instrumentList()[0].tracked);
    EXPECT_TRUE(samples[2]->instrumentList()[0].tracked);
}

TEST_F(CombinedTrackingStreamTest, EmitsOnlyWhileStartedButStoresSamplesAlways)
{
    combined.addOutputInstrument(makeInstruction("Pointer", "Tracker A", reference, "Tracker B", pointer));
    ASSERT_TRUE(combined.stop());
    feed(a, { reference });
    feed(b, { pointer });
    EXPECT_EQ(collector.count(), 0u);
    EXPECT_TRUE(combined.devices().empty());
    // Stopping the combination leaves its inputs alone.
    EXPECT_EQ(a.state(), Stream::State::Running);

    ASSERT_TRUE(combined.start());
    feed(b, { pointer });
    ASSERT_EQ(collector.count(), 1u) << "the reference stored while stopped is used";
    EXPECT_EQ(combined.instruments().size(), 1u);
}

TEST_F(CombinedTrackingStreamTest, CopiesComponentsOfTheTargetSample)
{
    combined.addOutputInstrument(makeInstruction("Pointer", "Tracker A", reference, "Tracker B", pointer));
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

TEST_F(CombinedTrackingStreamTest, ConfigurationRoundTripsAndReconfigurationRestartsIds)
{
    Properties first;
    Instruction one = makeInstruction("One", "Tracker A", reference, "Tracker B", pointer, Mode::Composition);
    one.configuration(first.addSubProperties("CombinationInstructions")->addSubProperties("Combination"));
    combined.configure(&first);
    ASSERT_EQ(combined.outputInstruments().size(), 1u);
    EXPECT_EQ(combined.outputInstruments()[0].id, TrackerID("relative-0", "", "One"));

    // A sample stored before reconfiguration is still used after it.
    feed(a, { reference });

    Properties second;
    second.setParam("forwardWithoutCombination", true);
    Properties* block = second.addSubProperties("CombinationInstructions");
    makeInstruction("Two", "Tracker A", reference, "Tracker B", pointer)
      .configuration(block->addSubProperties("Combination"));
    makeInstruction("Three", "Tracker B", pointer, "Tracker A", reference)
      .configuration(block->addSubProperties("Combination"));
    combined.configure(&second);
    const auto outputs = combined.outputInstruments();
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0].id, TrackerID("relative-0", "", "Two"));
    EXPECT_EQ(outputs[1].id, TrackerID("relative-1", "", "Three"));
    EXPECT_TRUE(combined.isForwardWithoutCombination());
    feed(b, { pointer });
    ASSERT_EQ(collector.count(), 1u);
    EXPECT_EQ(collector.last()->numInstruments(), 2u);

    // Written twice into the same tree, the list is still written once.
    Properties saved;
    combined.configuration(&saved);
    combined.configuration(&saved);
    bool forward = false;
    EXPECT_TRUE(saved.param("forwardWithoutCombination", forward));
    EXPECT_TRUE(forward);
    ASSERT_NE(saved.subProperties("CombinationInstructions"), nullptr);
    const auto written = saved.subProperties("CombinationInstructions")->subPropertiesAll("Combination");
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[1]->paramText("outputInstrument"), "Three");
    EXPECT_EQ(written[1]->paramText("preStreamName"), "Tracker B");
    EXPECT_EQ(written[1]->paramText("preInstrument"), pointer.id.toIDModelNameString(false));
    EXPECT_EQ(written[1]->paramText("postStreamName"), "Tracker A");
    EXPECT_EQ(written[1]->paramText("postInstrument"), reference.id.toIDModelNameString(false));
    EXPECT_EQ(written[1]->paramText("combinationMode"), "0");

    // Read back through XML into a fresh stream: same instructions.
    auto reloaded = Properties::fromXml(saved.toXml());
    ASSERT_NE(reloaded, nullptr);
    CombinedTrackingStream copy(std::vector<TrackingStream*>{ &a, &b });
    copy.configure(reloaded.get());
    ASSERT_EQ(copy.outputInstruments().size(), 2u);
    EXPECT_EQ(copy.outputInstruments()[1].id, outputs[1].id);
    EXPECT_TRUE(copy.isForwardWithoutCombination());

    // Properties without instruction keys clear the list and keep the flag.
    Properties empty;
    combined.configure(&empty);
    EXPECT_TRUE(combined.outputInstruments().empty());
    EXPECT_TRUE(combined.isForwardWithoutCombination());
    combined.configure(nullptr);
}

TEST_F(CombinedTrackingStreamTest, OlderTextFormBecomesOneInstruction)
{
    // The streams' instrument lists fill as they deliver.
    const TrackingInstrument a0 = makeTool("a0", makePose({ 1, 0, 0 }));
    const TrackingInstrument b0 = makeTool("b0", makePose({ 0, 1, 0 }));
    feed(a, { a0, reference });
    feed(b, { b0, pointer });

    Properties properties;
    properties.setParam("fusionInstructions", std::string("Fused,ignored;Tracker~A, 1st,Tracker~B;ignored"));
    combined.configure(&properties);
    ASSERT_EQ(combined.outputInstruments().size(), 1u);
    EXPECT_EQ(combined.outputInstruments()[0].id, TrackerID("relative-0", "", "Fused"));

    Properties written;
    combined.configuration(&written);
    EXPECT_FALSE(written.hasParam("fusionInstructions"));
    const Properties* instruction = written.subProperties("CombinationInstructions")->subProperties("Combination");
    EXPECT_EQ(instruction->paramText("preStreamName"), "Tracker A");
    EXPECT_EQ(instruction->paramText("preInstrument"), reference.id.toIDModelNameString(false));
    EXPECT_EQ(instruction->paramText("postInstrument"), pointer.id.toIDModelNameString(false));
    EXPECT_EQ(instruction->paramText("combinationMode"), "1");

    feed(b, { b0, pointer });
    ASSERT_EQ(collector.count(), 1u);
    expectPose(collector.last()->instrumentList()[0].matrix, reference.matrix * pointer.matrix);
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

TEST(CombinedTrackingStreamCompatibility, NeedsOneOrMoreTrackingStreamsAndNothingElse)
{
    ManualTrackingStream a("A");
    ManualTrackingStream b("B");
    PlainData image;
    EXPECT_TRUE(CombinedTrackingStream::isCompatible(DataList{ &a }));
    EXPECT_TRUE(CombinedTrackingStream::isCompatible(DataList{ &a, &b }));
    EXPECT_FALSE(CombinedTrackingStream::isCompatible(DataList{}));
    EXPECT_FALSE(CombinedTrackingStream::isCompatible(DataList{ &a, &image }));

    CombinedTrackingStream fromList(DataList{ &b, &a });
    EXPECT_EQ(fromList.streams(), (std::vector<TrackingStream*>{ &b, &a }));
    EXPECT_EQ(fromList.name(), "Combined Tracking Stream");
    EXPECT_EQ(fromList.threadingMode(), Stream::ThreadingMode::InputThread);
}

// Two inputs deliver on their own threads at once while the user-interface thread reads the stream. Each output
// sample must come from one consistent evaluation: output 1 is the inverse of output 0 because both are computed from
// the same two stored samples under one lock.
TEST(CombinedTrackingStreamConcurrency, InputsOnTwoThreadsCombineConsistently)
{
    ManualTrackingStream a("A");
    ManualTrackingStream b("B");
    openAndStart(a);
    openAndStart(b);
    CombinedTrackingStream combined(std::vector<TrackingStream*>{ &a, &b });
    openAndStart(combined);

    const auto tool = [](const std::string& id, int k) {
        return makeTool(id, makePose({ double(k), 2.0 * k, 100.0 }, 0.01 * k, { 1, 0, 1 }), 1.0, k);
    };
    combined.addOutputInstrument(makeInstruction("AB", "A", tool("a", 0), "B", tool("b", 0)));
    combined.addOutputInstrument(makeInstruction("BA", "B", tool("b", 0), "A", tool("a", 0)));

    std::atomic<int> inconsistent{ 0 };
    std::atomic<int> emitted{ 0 };
    SignalReceiver listener;
    combined.signalStreamData.connect(
      &listener,
      [&](const std::shared_ptr<const StreamData>& data)
      {
          auto sample = std::dynamic_pointer_cast<const TrackingStreamData>(data);
          const auto& outputs = sample->instrumentList();
          ++emitted;
          if (outputs.size() != 2 ||
              !(outputs[0].matrix * outputs[1].matrix).isApprox(Eigen::Matrix4d::Identity(), 1e-9))
              ++inconsistent;
      });

    feed(a, { tool("a", 0) });
    feed(b, { tool("b", 0) });
    constexpr int kSamples = 400;
    std::thread producerA(
      [&]
      {
          for (int k = 1; k <= kSamples; ++k)
              a.push({ tool("a", k) }, k);
      });
    std::thread producerB(
      [&]
      {
          for (int k = 1; k <= kSamples; ++k)
              b.push({ tool("b", 1000 + k) }, k);
      });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    size_t reads = 0;
    while (emitted.load() < 1 + 2 * kSamples && std::chrono::steady_clock::now() < deadline)
    {
        reads += combined.devices().size() + combined.outputInstruments().size() + combined.instruments().size();
        Properties written;
        combined.configuration(&written);
        combined.setForwardWithoutCombination(false);
    }
    producerA.join();
    producerB.join();
    ASSERT_TRUE(a.waitUntilDelivered());
    ASSERT_TRUE(b.waitUntilDelivered());
    listener.disconnectAll();
    EXPECT_EQ(emitted.load(), 1 + 2 * kSamples);
    EXPECT_EQ(inconsistent.load(), 0);
    EXPECT_GT(reads, 0u);
}
