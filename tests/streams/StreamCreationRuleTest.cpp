#include "streams/StreamCreationRule.h"

#include <gtest/gtest.h>

#include "core/Properties.h"
#include "lib/AlgorithmFactory.h"
#include "lib/OwningDataList.h"

#include "LogExpectation.h"
#include "StreamsTestSupport.h"
#include "streams/CombinedTrackingStream.h"
#include "streams/SmoothedTrackingStream.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
/// The plug-in's two stream rows, registered exactly as the plug-in's factory registers them.
class StreamRowsFactory final : public AlgorithmFactory
{
public:
    StreamRowsFactory() : AlgorithmFactory("Navigation", false)
    {
        registerAlgorithm<CreateStreamAlgorithm<CombinedTrackingStream>>(
          "CreateStreamCombinedTrackingStream", "Streaming;Combine Trackings",
          &createStreamAlgorithm<CombinedTrackingStream>);
        registerAlgorithm<CreateStreamAlgorithm<SmoothedTrackingStream>>(
          "CreateStreamSmoothedTrackingStream", "Streaming;Smoothed Live Tracking Stream",
          &createStreamAlgorithm<SmoothedTrackingStream>);
    }
};

class PlainData final : public Data
{
public:
    PlainData() : Data("image") {}
    [[nodiscard]] Kind kind() const override { return Kind::Image; }
};

std::vector<std::string> ids(const std::vector<const AlgorithmFactory::Descriptor*>& descriptors)
{
    std::vector<std::string> result;
    for (const auto* d : descriptors)
        result.push_back(d->id);
    return result;
}
} // namespace

TEST(StreamCreationRule, TestsWithTheStreamsCompatibilityAndBuildsOverACopy)
{
    ManualTrackingStream a("A");
    ManualTrackingStream b("B");
    PlainData image;

    std::unique_ptr<Algorithm> algorithm;
    EXPECT_TRUE(createStreamAlgorithm<CombinedTrackingStream>(DataList{ &a, &b }, nullptr));
    EXPECT_FALSE(createStreamAlgorithm<CombinedTrackingStream>(DataList{ &a, &image }, &algorithm));
    EXPECT_FALSE(createStreamAlgorithm<CombinedTrackingStream>(DataList{}, &algorithm));
    EXPECT_EQ(algorithm, nullptr);
    EXPECT_FALSE(createStreamAlgorithm<SmoothedTrackingStream>(DataList{ &a, &b }, &algorithm));
    EXPECT_EQ(algorithm, nullptr);

    DataList selection{ &a };
    ASSERT_TRUE(createStreamAlgorithm<SmoothedTrackingStream>(selection, &algorithm));
    auto* creator = dynamic_cast<CreateStreamAlgorithm<SmoothedTrackingStream>*>(algorithm.get());
    ASSERT_NE(creator, nullptr);
    EXPECT_TRUE(creator->openFlag());
    EXPECT_TRUE(creator->startFlag());
    selection.add(&b); // the algorithm kept its own copy of the selection
    creator->compute();
    EXPECT_EQ(creator->status(), Algorithm::Success);
    ASSERT_NE(creator->createdStream(), nullptr);
    EXPECT_EQ(creator->createdStream()->inputStream(), &a);
}

TEST(StreamCreationRule, FactoryRowsCreateConfigureOpenAndStartBothStreams)
{
    StreamRowsFactory factory;
    ManualTrackingStream a("Tracker A");
    ManualTrackingStream b("Tracker B");
    EXPECT_EQ(ids(factory.compatibleDescriptors(DataList{ &a })),
              (std::vector<std::string>{ "Navigation.CreateStreamCombinedTrackingStream",
                                         "Navigation.CreateStreamSmoothedTrackingStream" }));
    EXPECT_EQ(ids(factory.compatibleDescriptors(DataList{ &a, &b })),
              (std::vector<std::string>{ "Navigation.CreateStreamCombinedTrackingStream" }));

    // Smoothed stream on A, without smoothing: it opens and starts its input.
    auto smoothing = factory.instantiateAlgorithm("Navigation.CreateStreamSmoothedTrackingStream", DataList{ &a });
    ASSERT_NE(smoothing, nullptr);
    EXPECT_EQ(smoothing->factoryInfo().name, "Smoothed Live Tracking Stream");
    Properties smoothingSettings;
    smoothingSettings.setParam("smoothingMode", 0);
    smoothing->configure(&smoothingSettings);
    smoothing->compute();
    EXPECT_EQ(smoothing->status(), Algorithm::Success);
    OwningDataList smoothedOutput = smoothing->takeOutput();
    ASSERT_EQ(smoothedOutput.size(), 1u);
    auto* smoothed = dynamic_cast<SmoothedTrackingStream*>(smoothedOutput.dataList()[0]);
    ASSERT_NE(smoothed, nullptr);
    EXPECT_EQ(smoothed->state(), Stream::State::Running);
    EXPECT_EQ(a.state(), Stream::State::Running);

    // Combined stream over the smoothed stream and B, forwarding B's pointer.
    auto combining =
      factory.instantiateAlgorithm("Navigation.CreateStreamCombinedTrackingStream", DataList{ smoothed, &b });
    ASSERT_NE(combining, nullptr);
    Properties combiningSettings;
    combiningSettings.setParam("forwardWithoutCombination", true);
    Properties* combination =
      combiningSettings.addSubProperties("CombinationInstructions")->addSubProperties("Combination");
    combination->setParam("outputInstrument", std::string("Pointer"));
    combination->setParam("postStreamName", std::string("Tracker B"));
    combination->setParam("postInstrument", std::string("ptr"));
    combining->configure(&combiningSettings);
    combining->compute();
    EXPECT_EQ(combining->status(), Algorithm::Success);
    OwningDataList combinedOutput = combining->takeOutput();
    ASSERT_EQ(combinedOutput.size(), 1u);
    auto* combined = dynamic_cast<CombinedTrackingStream*>(combinedOutput.dataList()[0]);
    ASSERT_NE(combined, nullptr);
    EXPECT_EQ(combined->state(), Stream::State::Running);

    ASSERT_TRUE(b.open());
    ASSERT_TRUE(b.start());
    Collector smoothedSamples(*smoothed);
    Collector combinedSamples(*combined);
    feed(a, { makeTool("ref", makePose({ 1, 2, 3 })) });
    feed(b, { makeTool("ptr", makePose({ 4, 5, 6 })) });
    ASSERT_EQ(smoothedSamples.count(), 1u);
    EXPECT_EQ(smoothedSamples.last()->instrumentList()[0].name(), "ref tool (smoothed)");
    ASSERT_EQ(combinedSamples.count(), 1u);
    EXPECT_EQ(combinedSamples.last()->instrumentList()[0].id, TrackerID("relative-0", "", "Pointer"));
}
