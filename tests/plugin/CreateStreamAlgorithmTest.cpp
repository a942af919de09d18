#include "CreateStreamAlgorithm.h"

#include <stdexcept>

#include <gtest/gtest.h>

#include "core/Parameter.h"
#include "stream/TrackingStream.h"

#include "LogExpectation.h"

using namespace Kelvaros;

namespace
{
/// A derived stream whose open/start results and construction the tests control.
class ScriptedStream final : public TrackingStream
{
public:
    struct Script
    {
        bool throwOnConstruction = false;
        bool openSucceeds = true;
        bool startSucceeds = true;
        int openCalls = 0;
        int startCalls = 0;
        int destroyed = 0;
    };
    static Script script;

    explicit ScriptedStream(const DataList& data) : TrackingStream("Scripted Stream"), m_inputs(data.size())
    {
        if (script.throwOnConstruction)
            throw std::runtime_error("no input stream");
    }
    ~ScriptedStream() override
    {
        closeOnDestruction();
        ++script.destroyed;
    }

    static bool isCompatible(const DataList& data) { return !data.isEmpty(); }
    [[nodiscard]] ThreadingMode threadingMode() const override { return ThreadingMode::InputThread; }
    [[nodiscard]] size_t inputCount() const { return m_inputs; }

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
    bool stopImpl() override { return true; }
    bool closeImpl() override { return true; }

private:
    size_t m_inputs;
};

ScriptedStream::Script ScriptedStream::script;

class TestData final : public Data
{
public:
    TestData() : Data("input") {}
    [[nodiscard]] Kind kind() const override { return Kind::TrackingStream; }
};

using Creator = CreateStreamAlgorithm<ScriptedStream>;

class CreateStreamAlgorithmTest : public ::testing::Test
{
protected:
    void SetUp() override { ScriptedStream::script = {}; }

    TestData input;
    Creator algorithm{ DataList{ &input } };
};

Properties flags(std::initializer_list<std::pair<const char*, bool>> values)
{
    Properties p;
    for (const auto& [key, value] : values)
        p.setParam(key, value);
    return p;
}
} // namespace

TEST_F(CreateStreamAlgorithmTest, OpensAndStartsByDefault)
{
    algorithm.compute();
    EXPECT_EQ(algorithm.status(), Algorithm::Success);
    ASSERT_NE(algorithm.createdStream(), nullptr);
    EXPECT_EQ(algorithm.createdStream()->inputCount(), 1u);
    EXPECT_EQ(algorithm.createdStream()->state(), Stream::State::Running);
}

TEST_F(CreateStreamAlgorithmTest, ConnectFalseNeitherOpensNorStarts)
{
    const Properties p = flags({ { "connect", false } });
    algorithm.configure(&p);
    algorithm.compute();
    EXPECT_EQ(algorithm.status(), Algorithm::Success);
    EXPECT_EQ(ScriptedStream::script.openCalls, 0);
    EXPECT_EQ(ScriptedStream::script.startCalls, 0);
    EXPECT_EQ(algorithm.createdStream()->state(), Stream::State::Closed);
}

TEST_F(CreateStreamAlgorithmTest, FailedOpenReportsErrorWithoutStartingAndKeepsTheStream)
{
    ScriptedStream::script.openSucceeds = false;
    const Properties p = flags({ { "start", true } });
    algorithm.configure(&p);
    algorithm.compute();
    EXPECT_EQ(algorithm.status(), Algorithm::Error);
    EXPECT_EQ(ScriptedStream::script.openCalls, 1);
    EXPECT_EQ(ScriptedStream::script.startCalls, 0);
    ASSERT_NE(algorithm.stream(), nullptr);
    EXPECT_EQ(algorithm.takeOutput().size(), 1u);
}

TEST_F(CreateStreamAlgorithmTest, FailedStartReportsError)
{
    ScriptedStream::script.startSucceeds = false;
    algorithm.compute();
    EXPECT_EQ(algorithm.status(), Algorithm::Error);
    EXPECT_EQ(algorithm.createdStream()->state(), Stream::State::Opened);
}

TEST_F(CreateStreamAlgorithmTest, FlagKeysArePrecedenceOrderedAndAbsentKeysKeepTheFlags)
{
    Properties p = flags({ { "open", true }, { "autoOpen", false }, { "connect", false } });
    algorithm.configure(&p);
    EXPECT_TRUE(algorithm.openFlag());

    p = flags({ { "autoOpen", false }, { "connect", true }, { "autoStart", false } });
    algorithm.configure(&p);
    EXPECT_FALSE(algorithm.openFlag());
    EXPECT_FALSE(algorithm.startFlag());

    p = flags({ { "start", true }, { "autoStart", false } });
    algorithm.configure(&p);
    EXPECT_FALSE(algorithm.openFlag());
    EXPECT_TRUE(algorithm.startFlag());

    p = Properties();
    algorithm.configure(&p);
    EXPECT_FALSE(algorithm.openFlag());
    EXPECT_TRUE(algorithm.startFlag());

    algorithm.configure(nullptr);
    EXPECT_FALSE(algorithm.openFlag());
}

TEST_F(CreateStreamAlgorithmTest, StartFlagAloneDoesNotStartAClosedStream)
{
    const Properties p = flags({ { "open", false }, { "start", true } });
    algorithm.configure(&p);
    algorithm.compute();
    EXPECT_EQ(algorithm.status(), Algorithm::Success);
    EXPECT_EQ(ScriptedStream::script.startCalls, 0);
}

TEST_F(CreateStreamAlgorithmTest, ConfigurationIsTheStoredOneBeforeComputeAndTheStreamsAfter)
{
    Properties empty;
    algorithm.configuration(&empty);
    EXPECT_TRUE(empty.isEmpty());

    Properties given;
    given.setParam("rate", 250.0);
    given.setParam("autoStart", false);
    given.addSubProperties("Extra")->setParam("x", 1);
    algorithm.configure(&given);

    Properties before;
    algorithm.configuration(&before);
    EXPECT_EQ(before, given);

    algorithm.compute();
    EXPECT_DOUBLE_EQ(algorithm.createdStream()->p_rate.value(), 250.0);
    Properties after;
    algorithm.configuration(&after);
    EXPECT_EQ(after.paramOr("rate", 0.0), 250.0);
    EXPECT_FALSE(after.hasParam("autoStart"));
    EXPECT_EQ(after.subProperties("Extra"), nullptr);
}

TEST_F(CreateStreamAlgorithmTest, ConfigureAfterComputeReachesTheStream)
{
    algorithm.compute();
    Properties p;
    p.setParam("rate", 120.0);
    algorithm.configure(&p);
    EXPECT_DOUBLE_EQ(algorithm.createdStream()->p_rate.value(), 120.0);
}

TEST_F(CreateStreamAlgorithmTest, ConstructionFailureIsLoggedAndLeavesNoStream)
{
    ScriptedStream::script.throwOnConstruction = true;
    Testing::LogExpectation expect(Log::Error, "Could not instantiate a new Stream: no input stream", 1);
    algorithm.compute();
    EXPECT_EQ(algorithm.status(), Algorithm::Error);
    EXPECT_EQ(algorithm.stream(), nullptr);
    EXPECT_TRUE(algorithm.takeOutput().isEmpty());
}

TEST_F(CreateStreamAlgorithmTest, TakeOutputHandsTheStreamOverAndAStreamNobodyTookDiesWithTheAlgorithm)
{
    algorithm.compute();
    Stream* created = algorithm.stream();
    OwningDataList output = algorithm.takeOutput();
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(output.dataList()[0], created);
    EXPECT_EQ(algorithm.stream(), nullptr);
    EXPECT_TRUE(algorithm.takeOutput().isEmpty());
    output = OwningDataList();
    EXPECT_EQ(ScriptedStream::script.destroyed, 1);

    {
        Creator other{ DataList{ &input } };
        other.compute();
        other.compute(); // the first stream, never taken, is released here
        EXPECT_EQ(ScriptedStream::script.destroyed, 2);
    }
    EXPECT_EQ(ScriptedStream::script.destroyed, 3);
}
