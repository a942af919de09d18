#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "core/Properties.h"

#include "TrackingTestSupport.h"
#include "streams/CombinedTrackingStream.h"
#include "streams/SmoothedTrackingStream.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

// Two sources deliver on their own threads at once into a combination, whose samples a smoothed stream re-emits to a
// listener, while the user-interface thread reconfigures and reads both. Each combined sample must come from one
// consistent evaluation (output 1 is the inverse of output 0 only when both use the same two stored samples), and
// ThreadSanitizer checks the lock order: the smoothed stream's mutex, then the listener's.
TEST(DerivedStreamChain, TwoSourcesThroughCombinationAndSmoothingWhileTheStreamsAreReadAndReconfigured)
{
    ManualTrackingStream a("a");
    ManualTrackingStream b("b");
    openAndStart(a);
    openAndStart(b);
    CombinedTrackingStream combined(std::vector<TrackingStream*>{ &a, &b });
    SmoothedTrackingStream smoothed(&combined);
    openAndStart(smoothed);
    const auto tool = [](const std::string& id, int k) {
        return instrument(id, pose({ double(k), 2.0 * k, 100.0 }, 0.01 * k, { 1, 0, 1 }), 1.0, true, k);
    };
    // Each source is named after its one tool. Output 0 is b in a's frame, output 1 is a in b's.
    for (const auto& [pre, post] : { std::pair{ "a", "b" }, std::pair{ "b", "a" } })
    {
        CombinedTrackingStream::CombinationInstruction instruction;
        instruction.p_preStreamName = pre;
        instruction.p_preInstrument = pre;
        instruction.p_postStreamName = post;
        instruction.p_postInstrument = post;
        combined.addOutputInstrument(instruction);
    }

    std::atomic<int> inconsistent{ 0 };
    std::atomic<int> smoothedSamples{ 0 };
    SignalReceiver listener;
    combined.signalStreamData.connect(
      &listener,
      [&](const std::shared_ptr<const StreamData>& data)
      {
          const auto& outputs = std::dynamic_pointer_cast<const TrackingStreamData>(data)->instrumentList();
          if (outputs.size() != 2 ||
              !(outputs[0].matrix * outputs[1].matrix).isApprox(Eigen::Matrix4d::Identity(), 1e-9))
              ++inconsistent;
      });
    smoothed.signalStreamData.connect(&listener,
                                      [&](const std::shared_ptr<const StreamData>&)
                                      {
                                          if (smoothed.instruments().size() == 2)
                                              ++smoothedSamples;
                                      });

    feed(a, { tool("a", 0) });
    feed(b, { tool("b", 0) });
    constexpr int kSamples = 300;
    const auto produce = [&tool](ManualTrackingStream* stream, int offset)
    {
        for (int k = 1; k <= kSamples; ++k)
            stream->push({ tool(stream->name(), offset + k) }, k);
    };
    std::thread producerA(produce, &a, 0);
    std::thread producerB(produce, &b, 1000);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int round = 0; smoothedSamples.load() < 1 + 2 * kSamples && std::chrono::steady_clock::now() < deadline;
         ++round)
    {
        Properties settings;
        settings.setParam("smoothingMode", round % 3);
        smoothed.configure(&settings);
        Properties written;
        combined.configuration(&written);
        smoothed.configuration(&written);
        (void)combined.devices();
        (void)smoothed.instruments();
    }
    producerA.join();
    producerB.join();
    ASSERT_TRUE(a.waitUntilDelivered());
    ASSERT_TRUE(b.waitUntilDelivered());
    listener.disconnectAll();
    EXPECT_EQ(smoothedSamples.load(), 1 + 2 * kSamples);
    EXPECT_EQ(inconsistent.load(), 0);
}
