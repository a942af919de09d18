#include "streams/CreateStreamAlgorithm.h"

#include <optional>
#include <tuple>

#include <gtest/gtest.h>

#include "core/Parameter.h"
#include "core/String.h"

#include "LogExpectation.h"
#include "TrackingTestSupport.h"
#include "streams/CombinedTrackingStream.h"
#include "streams/SmoothedTrackingStream.h"

using namespace Kelvaros;

namespace
{
/// A derived stream whose open/start results and construction the tests control.
class ScriptedStream final : public TrackingStream
{
public:
    struct Script
    {
        bool openSucceeds = true;
        bool startSucceeds = true;
        int openCalls = 0;
        int startCalls = 0;
        int destroyed = 0;
    };
    static Script script;

    explicit ScriptedStream(const DataList&) : TrackingStream("Scripted Stream") {}
    ~ScriptedStream() override
    {
        closeOnDestruction();
        ++script.destroyed;
    }

    [[nodiscard]] ThreadingMode threadingMode() const override { return ThreadingMode::InputThread; }

    Parameter<double> p_rate{ "rate", 60.0, this };

protected:
    bool openImpl() override
    {
        ++script.openCalls;
        return script.openSucceeds;
    }
    bool startImpl() override
    {
        ++script.startCalls;
        return script.startSucceeds;
    }
};

ScriptedStream::Script ScriptedStream::script;

using Creator = CreateStreamAlgorithm<ScriptedStream>;

class CreateStreamAlgorithmTest : public ::testing::Test
{
protected:
    void SetUp() override { ScriptedStream::script = {}; }

    Testing::DriverStream input;
    Creator algorithm{ DataList{ &input } };
};

/// Configures with boolean settings written "key=1 other=0"; "|" separates successive configure calls.
void configureWith(Algorithm& algorithm, const std::string& text)
{
    for (const std::string& call : String::split(text, "|"))
    {
        Properties settings;
        for (const std::string& setting : String::split(call, " ", true))
            settings.setParam(setting.substr(0, setting.find('=')), setting.back() == '1');
        algorithm.configure(&settings);
    }
}

double rateOf(const Algorithm& algorithm)
{
    Properties written;
    algorithm.configuration(&written);
    return written.paramOr("rate", 0.0);
}
} // namespace

TEST_F(CreateStreamAlgorithmTest, OpenAndStartFollowTheFlagsAndTheirOlderKeys)
{
    struct Case
    {
        const char* settings;
        bool openSucceeds;
        bool startSucceeds;
        int openCalls;
        int startCalls;
        int status;
    };
    const std::vector<Case> cases{
        { "", true, true, 1, 1, Algorithm::Success },
        { "connect=0", true, true, 0, 0, Algorithm::Success },
        { "connect=0|", true, true, 0, 0, Algorithm::Success }, // absent keys keep the flags
        { "open=1 autoOpen=0 connect=0", true, true, 1, 1, Algorithm::Success },
        { "autoOpen=0 connect=1", true, true, 0, 0, Algorithm::Success },
        { "autoStart=0", true, true, 1, 0, Algorithm::Success },
        { "start=1 autoStart=0", true, true, 1, 1, Algorithm::Success },
        { "open=0 start=1", true, true, 0, 0, Algorithm::Success },
        { "start=1", false, true, 1, 0, Algorithm::Error }, // a failed open is not followed by start
        { "", true, false, 1, 1, Algorithm::Error },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.settings);
        ScriptedStream::script = {};
        ScriptedStream::script.openSucceeds = c.openSucceeds;
        ScriptedStream::script.startSucceeds = c.startSucceeds;
        Creator creator{ DataList{ &input } };
        configureWith(creator, c.settings);
        creator.compute();
        EXPECT_EQ(creator.status(), c.status);
        EXPECT_EQ(ScriptedStream::script.openCalls, c.openCalls);
        EXPECT_EQ(ScriptedStream::script.startCalls, c.startCalls);
        EXPECT_NE(creator.stream(), nullptr) << "a stream that fails to open or start stays to be taken";
    }
}

// The host takes the output right after compute; the stream's panel, configure and a saved workspace must still
// reach the stream afterwards, until the host asks the algorithm to forget it.
TEST_F(CreateStreamAlgorithmTest, ATakenStreamStaysReachableUntilReleased)
{
    Properties given;
    given.setParam("rate", 250.0);
    given.setParam("autoStart", false);
    algorithm.configure(&given);
    Properties before;
    algorithm.configuration(&before);
    EXPECT_EQ(before, given) << "before compute, what configure was given";

    algorithm.compute();
    Stream* created = algorithm.stream();
    Algorithm& asHostSeesIt = algorithm;
    OwningDataList output = asHostSeesIt.takeOutput();
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(output.dataList()[0], created);
    EXPECT_TRUE(asHostSeesIt.takeOutput().isEmpty()) << "handed over once only";

    ASSERT_EQ(algorithm.stream(), created);
    Properties changed;
    changed.setParam("rate", 120.0);
    algorithm.configure(&changed);
    EXPECT_DOUBLE_EQ(algorithm.createdStream()->p_rate.value(), 120.0);
    algorithm.createdStream()->p_rate = 90.0;
    EXPECT_DOUBLE_EQ(rateOf(algorithm), 90.0) << "the configuration is the stream's";

    asHostSeesIt.aboutToDeleteData(&input);
    EXPECT_EQ(algorithm.stream(), created) << "another data object goes";
    asHostSeesIt.aboutToDeleteData(created); // the host is about to delete the stream it took
    EXPECT_EQ(algorithm.stream(), nullptr);
    EXPECT_EQ(ScriptedStream::script.destroyed, 0) << "the host's stream is not deleted";
    EXPECT_DOUBLE_EQ(rateOf(algorithm), 120.0) << "without a stream, the stored configuration";
    output = OwningDataList();
    EXPECT_EQ(ScriptedStream::script.destroyed, 1);
}

TEST_F(CreateStreamAlgorithmTest, AStreamNobodyTookDiesWithTheAlgorithmOrOnRelease)
{
    {
        Creator other{ DataList{ &input } };
        other.compute();
        other.compute(); // the first stream, never taken, is freed here
        EXPECT_EQ(ScriptedStream::script.destroyed, 1);
    }
    EXPECT_EQ(ScriptedStream::script.destroyed, 2);
    algorithm.compute();
    algorithm.releaseStream();
    EXPECT_EQ(ScriptedStream::script.destroyed, 3);
}

// Combination instructions name their inputs, so two inputs of one name cannot be told apart.
TEST(CreateStreamAlgorithmFailure, AStreamThatCannotBeBuiltIsLoggedAndLeavesNoStream)
{
    ManualTrackingStream first("Tracker");
    ManualTrackingStream second("Tracker");
    CreateStreamAlgorithm<CombinedTrackingStream> combining{ DataList{ &first, &second } };
    {
        Testing::LogExpectation expect(Log::Error,
                                       "Could not instantiate a new Stream: two input streams are named 'Tracker'", 1);
        combining.compute();
    }
    EXPECT_EQ(combining.status(), Algorithm::Error);
    EXPECT_EQ(combining.stream(), nullptr);
    EXPECT_TRUE(combining.takeOutput().isEmpty());
}

// Each outcome leaves the sentence the panel shows: what became of the stream and, when it cannot deliver, what to
// do, naming the input at fault and the menu entry that tries again.
TEST(CreateStreamAlgorithmMessages, EveryOutcomeSaysWhatHappenedAndWhatToDo)
{
    const std::tuple<Stream::State, const char*, const char*, const char*> cases[] = {
        { Stream::State::Running, "", "Created 'Driver (smoothed)' and started it.", nullptr },
        { Stream::State::Closed, "open=0", "Created 'Driver (smoothed)' without opening it, as its settings ask",
          nullptr },
        { Stream::State::Disconnected, "",
          "Created 'Driver (smoothed)', but it did not open: its input 'Driver' has lost its tracker. Connect the "
          "tracker again, then choose Streaming > Smoothed Live Tracking Stream again.",
          "open() is not allowed in state Disconnected" },
        { Stream::State::Paused, "",
          "Created and opened 'Driver (smoothed)', but it did not start: its input 'Driver' is paused. Resume it",
          "start() is not allowed in state Paused" },
    };
    for (const auto& [state, settings, message, refusal] : cases)
    {
        SCOPED_TRACE(message);
        Testing::DriverStream input;
        input.changeState(state);
        CreateStreamAlgorithm<SmoothedTrackingStream> smoothing{ DataList{ &input } };
        smoothing.setFactoryInfo({ "", "Smoothed Live Tracking Stream", {} });
        configureWith(smoothing, settings);
        std::optional<Testing::LogExpectation> refused;
        if (refusal)
            refused.emplace(Log::Warning, refusal, 1);
        smoothing.compute();
        EXPECT_EQ(smoothing.status(), refusal ? Algorithm::Error : Algorithm::Success);
        EXPECT_EQ(smoothing.statusMessage().rfind(message, 0), 0u) << smoothing.statusMessage();
    }
    CreateStreamAlgorithm<CombinedTrackingStream> noInput{ DataList{} };
    {
        Testing::LogExpectation expect(Log::Error, "Could not instantiate a new Stream: its input tracking stream", 1);
        noInput.compute();
    }
    EXPECT_EQ(noInput.stream(), nullptr) << "a combination of nothing would never deliver";
    EXPECT_EQ(noInput.statusMessage().rfind("No stream was created: the tracking stream it is made from is gone", 0),
              0u);
}
