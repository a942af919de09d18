#include "stream/sources/PlaybackTrackingStream.h"

#include <cstdio>

#include <gtest/gtest.h>

#include "core/Log.h"
#include "stream/TrackingSequence.h"
#include "stream/TrackingStreamRecorder.h"
#include "stream/io/TrackingSequenceFile.h"
#include "stream/sources/SimulatedTrackingStream.h"

#include "LogExpectation.h"
#include "SampleComparison.h"
#include "StreamTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{

std::vector<TrackingSample> asSamples(const std::vector<std::shared_ptr<const TrackingStreamData>>& published)
{
    std::vector<TrackingSample> samples;
    for (const auto& data : published)
        samples.push_back(TrackingSample{ data->timestampDevice(), data->instruments() });
    return samples;
}

std::vector<TrackingSample> threeSamples(int64_t spacing)
{
    std::vector<TrackingSample> samples;
    for (int i = 0; i < 3; ++i)
        samples.push_back(TrackingSample{
          1000 + i * spacing, { instrument("tool", pose(Eigen::Vector3d(i, 0, 0)), 1.0, true, 1000 + i * spacing) } });
    return samples;
}

} // namespace

TEST(PlaybackTrackingStream, ARecordingPlayedBackYieldsTheSameSamples)
{
    const std::string path = temporaryPath("recording.seq.mha");
    std::vector<TrackingSample> published;
    {
        SimulatedTrackingStream simulator;
        simulator.scenario = std::string("pivot");
        simulator.dropoutProbability = 0.1;
        simulator.freeRunning = true;
        SampleCollector collector(simulator);
        TrackingStreamRecorder recorder(&simulator);
        recorder.setRecordUntracked(true);
        recorder.start();
        ASSERT_TRUE(simulator.open() && simulator.start());
        ASSERT_TRUE(simulator.waitUntilDelivered(240));
        ASSERT_TRUE(simulator.stop());
        recorder.stop();
        published = asSamples(collector.samples());

        OwningDataList output = recorder.takeOutput();
        const auto all = output.dataList().getTrackingSequences();
        const std::vector<const TrackingSequence*> sequences(all.begin(), all.end());
        ASSERT_EQ(sequences.size(), 3u);
        const std::vector<TrackingSample> recorded = TrackingSequenceFile::fromSequences(sequences);
        ASSERT_TRUE(samplesIdentical(published, recorded));
        ASSERT_TRUE(TrackingSequenceFile::write(path, recorded));
    }

    PlaybackTrackingStream playback;
    playback.path = path;
    playback.freeRunning = true;
    SampleCollector collector(playback);
    ASSERT_TRUE(playback.open() && playback.start());
    ASSERT_TRUE(playback.waitUntilFinished());
    std::remove(path.c_str());
    EXPECT_TRUE(samplesIdentical(published, asSamples(collector.samples())));
    EXPECT_EQ(playback.state(), Stream::State::Running); // finished, not stopped
    EXPECT_EQ(playback.instruments().size(), 3u);
}

TEST(PlaybackTrackingStream, KeepsTheRecordedPaceScaledBySpeed)
{
    PlaybackTrackingStream playback;
    ASSERT_TRUE(playback.setSamples(threeSamples(40'000)));
    playback.speed = 2.0;
    SampleCollector collector(playback);
    ASSERT_TRUE(playback.open());
    const int64_t started = StreamData::nowMicroseconds();
    ASSERT_TRUE(playback.start());
    ASSERT_TRUE(playback.waitUntilFinished());
    const auto samples = collector.samples();
    ASSERT_EQ(samples.size(), 3u);
    // 80 ms of recording at twice the speed: the last sample is due at least 40 ms after the start (measured from
    // the start, since a slow thread start may publish the first sample late without moving the schedule).
    EXPECT_GE(samples[2]->timestampArrival() - started, 39'000);
    EXPECT_EQ(samples[2]->timestampDevice(), 81'000);

    // start() plays from the beginning again.
    ASSERT_TRUE(playback.stop());
    playback.freeRunning = true;
    ASSERT_TRUE(playback.start());
    ASSERT_TRUE(playback.waitUntilFinished());
    ASSERT_EQ(collector.count(), 6u);
    EXPECT_EQ(collector.samples()[3]->timestampDevice(), 1000);
}

TEST(PlaybackTrackingStream, LoopingKeepsTheDeviceClockMovingForward)
{
    PlaybackTrackingStream playback;
    ASSERT_TRUE(playback.setSamples(threeSamples(10'000)));
    playback.loop = true;
    playback.freeRunning = true;
    SampleCollector collector(playback);
    ASSERT_TRUE(playback.open() && playback.start());
    ASSERT_TRUE(waitUntil([&] { return collector.count() >= 9; }));
    ASSERT_TRUE(playback.stop());
    EXPECT_FALSE(playback.finished());
    const auto samples = collector.samples();
    for (size_t i = 0; i < 9; ++i)
    {
        EXPECT_EQ(samples[i]->timestampDevice(), 1000 + int64_t(i) * 10'000);
        EXPECT_EQ(samples[i]->instrumentList()[0].timestamp, samples[i]->timestampDevice());
        EXPECT_EQ(samples[i]->instrumentList()[0].matrix(0, 3), double(i % 3));
    }
}

TEST(PlaybackTrackingStream, RefusesToOpenWithoutARecording)
{
    PlaybackTrackingStream playback("Player");
    {
        LogExpectation error(Log::Error, "no sequence file set", 1);
        EXPECT_FALSE(playback.open());
    }
    playback.path = temporaryPath("missing.mha");
    {
        LogExpectation error(Log::Error, "Cannot open", 1);
        EXPECT_FALSE(playback.open());
    }
    ASSERT_TRUE(playback.setSamples({}));
    {
        LogExpectation error(Log::Error, "holds no samples", 1);
        EXPECT_FALSE(playback.open());
    }
    ASSERT_TRUE(playback.setSamples(threeSamples(1000)));
    playback.speed = 0.0;
    ASSERT_TRUE(playback.open());
    {
        LogExpectation error(Log::Error, "speed 0 is not a positive factor", 1);
        EXPECT_FALSE(playback.start());
    }
    playback.speed = 1.0;
    ASSERT_TRUE(playback.start());
    {
        LogExpectation error(Log::Error, "cannot replace the samples while playing", 1);
        EXPECT_FALSE(playback.setSamples({}));
    }
    EXPECT_TRUE(playback.waitUntilFinished());
}
