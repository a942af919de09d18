#include "stream/igtl/OpenIGTLinkTrackingStream.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>

#include <gtest/gtest.h>

#include "core/Log.h"
#include "core/Properties.h"
#include "stream/ManualTrackingStream.h"
#include "stream/igtl/OpenIGTLinkTrackingServer.h"

#include "IgtlTestSupport.h"
#include "LogExpectation.h"
#include "StreamTestSupport.h"

extern char** environ;

using namespace Kelvaros;
using namespace Kelvaros::Testing;
using namespace std::chrono_literals;

namespace
{

/// True once some socket listens on this TCP port (read from /proc, so that probing does not become a client of
/// a server that serves one client at a time).
bool isListening(int port)
{
    char local[16];
    std::snprintf(local, sizeof local, ":%04X", port);
    for (const char* table : { "/proc/net/tcp", "/proc/net/tcp6" })
    {
        std::ifstream file(table);
        std::string line;
        while (std::getline(file, line))
        {
            std::istringstream fields(line);
            std::string slot, localAddress, remoteAddress, state;
            fields >> slot >> localAddress >> remoteAddress >> state;
            if (state == "0A" && localAddress.size() > 5 && localAddress.substr(localAddress.size() - 5) == local)
                return true;
        }
    }
    return false;
}

/// The example tracker server of the OpenIGTLink package, run as a child process for the length of a test.
class ExampleTrackerServer
{
public:
    ExampleTrackerServer(int port, int framesPerSecond)
    {
        const std::string portText = std::to_string(port), fpsText = std::to_string(framesPerSecond);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        // It prints every matrix it sends.
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        char* const argv[] = { const_cast<char*>(KELVAROS_IGTL_TRACKER_SERVER), const_cast<char*>(portText.c_str()),
                               const_cast<char*>(fpsText.c_str()), nullptr };
        if (posix_spawn(&m_pid, KELVAROS_IGTL_TRACKER_SERVER, &actions, nullptr, argv, environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ExampleTrackerServer()
    {
        if (m_pid > 0)
        {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    bool started() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
};

void connectTo(OpenIGTLinkTrackingStream& stream, int port)
{
    stream.host = std::string("127.0.0.1");
    stream.port = port;
    stream.reconnectMinimumMs = 20;
    stream.reconnectMaximumMs = 200;
}

} // namespace

TEST(OpenIGTLinkTrackingStream, ReceivesTheTransformsOfTheOpenIGTLinkExampleTrackerServer)
{
    if (std::string(KELVAROS_IGTL_TRACKER_SERVER).empty())
        GTEST_SKIP() << "openigtlink-examples is not installed";
    const int port = freeLocalPort();
    ExampleTrackerServer server(port, 50);
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(eventually([&] { return isListening(port); }, 10s));

    OpenIGTLinkTrackingStream stream;
    connectTo(stream, port);
    SampleCollector collector(stream);
    ASSERT_TRUE(stream.open());
    ASSERT_TRUE(stream.start());
    ASSERT_TRUE(eventually([&] { return collector.count() >= 20; }, 10s));
    stream.close();

    // The example moves its "Tracker" along x = z = 50 cos(phi), y = 50 sin(phi), phi += 0.2 per message.
    const auto samples = collector.samples();
    for (const auto& sample : samples)
    {
        ASSERT_EQ(sample->numInstruments(), 1u);
        const TrackingInstrument& tracker = sample->instrumentList()[0];
        EXPECT_EQ(tracker.ID(), "Tracker");
        EXPECT_TRUE(tracker.tracked);
        const Eigen::Vector3d p = tracker.matrix.topRightCorner<3, 1>();
        EXPECT_NEAR(p.x(), p.z(), 1e-3);
        EXPECT_NEAR(std::hypot(p.x(), p.y()), 50.0, 1e-3);
        EXPECT_GT(sample->timestampArrival(), 0);
    }
    for (size_t i = 1; i < samples.size(); ++i)
    {
        const Eigen::Vector3d a = samples[i - 1]->instrumentList()[0].matrix.topRightCorner<3, 1>();
        const Eigen::Vector3d b = samples[i]->instrumentList()[0].matrix.topRightCorner<3, 1>();
        // Consecutive messages are 0.2 rad apart on the 50 mm circle: a chord of 2 * 50 * sin(0.1) ≈ 9.98 mm.
        EXPECT_NEAR(std::hypot(b.x() - a.x(), b.y() - a.y()), 2 * 50 * std::sin(0.1), 1e-2) << i;
        EXPECT_GE(samples[i]->timestampDevice(), samples[i - 1]->timestampDevice());
    }
    EXPECT_EQ(stream.numSkippedMessages(), 0);
}

/// A client stream running against a server of the test's own, which sends whatever bytes the test gives it.
class OpenIGTLinkRawServer : public ::testing::Test
{
protected:
    void SetUp() override
    {
        connectTo(stream, server.port());
        ASSERT_TRUE(stream.open());
        ASSERT_TRUE(stream.start());
        ASSERT_TRUE(server.accept());
    }

    RawServer server;
    OpenIGTLinkTrackingStream stream;
    SampleCollector collector{ stream };
};

TEST_F(OpenIGTLinkRawServer, MessagesWithOneTimestampFormOneSample)
{
    std::mt19937 random(29);
    const Eigen::Matrix4d a1 = randomPose(random), b1 = randomPose(random), a2 = randomPose(random);
    const Eigen::Matrix4d untimedA = randomPose(random), untimedB = randomPose(random), untimedA2 = randomPose(random);
    // Two tools at t1, one at t2; then messages without time stamps, where a repeated tool starts a new instant;
    // then a sender whose time stamp is stuck, where the same holds.
    ASSERT_TRUE(server.send(concat({ transformMessage("A", a1, 1000000), transformMessage("B", b1, 1000000),
                                     transformMessage("A", a2, 1010000), transformMessage("A", untimedA, 0),
                                     transformMessage("B", untimedB, 0), transformMessage("A", untimedA2, 0),
                                     transformMessage("S", a1, 7000), transformMessage("S", a2, 7000) })));
    ASSERT_TRUE(eventually([&] { return collector.count() >= 6; }));
    std::this_thread::sleep_for(50ms);
    const auto samples = collector.samples();
    ASSERT_EQ(samples.size(), 6u);
    EXPECT_EQ(samples[0]->timestampDevice(), 1000000);
    ASSERT_EQ(samples[0]->numInstruments(), 2u);
    EXPECT_TRUE(samples[0]->instrument("A")->matrix.isApprox(a1, 1e-5));
    EXPECT_TRUE(samples[0]->instrument("B")->matrix.isApprox(b1, 1e-5));
    EXPECT_EQ(samples[1]->timestampDevice(), 1010000);
    ASSERT_EQ(samples[1]->numInstruments(), 1u);
    EXPECT_TRUE(samples[1]->instrument("A")->matrix.isApprox(a2, 1e-5));
    EXPECT_EQ(samples[2]->timestampDevice(), 0);
    EXPECT_EQ(samples[2]->numInstruments(), 2u);
    EXPECT_EQ(samples[3]->numInstruments(), 1u);
    EXPECT_TRUE(samples[3]->instrument("A")->matrix.isApprox(untimedA2, 1e-5));
    EXPECT_TRUE(samples[4]->instrument("S")->matrix.isApprox(a1, 1e-5));
    EXPECT_TRUE(samples[5]->instrument("S")->matrix.isApprox(a2, 1e-5));
    EXPECT_EQ(samples[5]->timestampDevice(), 7000);
    EXPECT_EQ(stream.numSamples(), 6);
}

TEST_F(OpenIGTLinkRawServer, MalformedMessagesAreSkippedWithALogLineAndLaterOnesStillArrive)
{
    std::mt19937 random(31);
    const Eigen::Matrix4d a = randomPose(random), b = randomPose(random), c = randomPose(random);
    const Bytes valid = transformMessage("Bad", randomPose(random), 2000000);
    Bytes badCrc = valid;
    badCrc.back() ^= 0x5a;
    const Bytes validBody = body(valid);
    const Bytes wrongBodySize = withBody(valid, Bytes(validBody.begin(), validBody.begin() + 40));
    const Bytes unknownType = withType(valid, "FOOBAR");
    // Too big to be buffered: its body is thrown away as it arrives.
    const Bytes largeImage = withBody(withType(valid, "IMAGE"), Bytes(3 << 20, 0x7f));

    LogExpectation sizeWarning(Log::Warning, "body of 40 bytes, expected 48", 1);
    LogExpectation crcWarning(Log::Warning, "CRC of the body does not match", 1);
    LogExpectation typeWarning(Log::Warning, "FOOBAR message 'Bad': message type not handled", 1);
    LogExpectation imageWarning(Log::Warning, "IMAGE message 'Bad': message type not handled", 1);

    const Bytes afterB = transformMessage("C", c, 4000000);
    ASSERT_TRUE(server.send(concat({ transformMessage("A", a, 1000000), wrongBodySize, badCrc, unknownType })));
    ASSERT_TRUE(server.send(concat({ largeImage, transformMessage("B", b, 3000000) })));
    // A valid message split across two writes, with a pause longer than the gathering window between them.
    ASSERT_TRUE(server.send(Bytes(afterB.begin(), afterB.begin() + 30)));
    std::this_thread::sleep_for(30ms);
    ASSERT_TRUE(server.send(Bytes(afterB.begin() + 30, afterB.end())));
    // The same fault again is logged at debug level only.
    ASSERT_TRUE(server.send(concat({ badCrc, transformMessage("D", a, 5000000) })));

    ASSERT_TRUE(eventually([&] { return collector.count() >= 4; }));
    const auto samples = collector.samples();
    ASSERT_EQ(samples.size(), 4u);
    const std::vector<std::string> ids{ "A", "B", "C", "D" };
    for (size_t i = 0; i < ids.size(); ++i)
    {
        ASSERT_EQ(samples[i]->numInstruments(), 1u);
        EXPECT_EQ(samples[i]->instrumentList()[0].ID(), ids[i]);
    }
    EXPECT_TRUE(samples[1]->instrument("B")->matrix.isApprox(b, 1e-5));
    EXPECT_TRUE(samples[2]->instrument("C")->matrix.isApprox(c, 1e-5));
    EXPECT_EQ(stream.numSkippedMessages(), 5);
    EXPECT_EQ(stream.state(), Stream::State::Running);
    EXPECT_EQ(stream.numConnections(), 1);
}

TEST_F(OpenIGTLinkRawServer, GarbageInsteadOfAHeaderMakesItReconnect)
{
    {
        LogExpectation lost(Log::Warning, "message boundaries lost: header version", 1);
        ASSERT_TRUE(server.send(concat({ transformMessage("A", Eigen::Matrix4d::Identity(), 1000000),
                                         Bytes(OpenIGTLinkMessageDecoder::headerSize, 0xff),
                                         transformMessage("Lost", Eigen::Matrix4d::Identity(), 2000000) })));
        ASSERT_TRUE(server.accept());
        ASSERT_TRUE(eventually([&] { return stream.numConnections() == 2; }));
    }
    ASSERT_TRUE(eventually([&] { return stream.state() == Stream::State::Running; }));
    ASSERT_TRUE(server.send(transformMessage("B", Eigen::Matrix4d::Identity(), 3000000)));
    ASSERT_TRUE(eventually([&] { return collector.count() >= 2; }));
    const auto samples = collector.samples();
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_TRUE(samples[0]->instrument("A").has_value());
    EXPECT_TRUE(samples[1]->instrument("B").has_value());
}

TEST(OpenIGTLinkTrackingStream, ReportsTheLossAndReconnectsAfterTheServerRestarts)
{
    ManualTrackingStream source("Tracker");
    OpenIGTLinkTrackingServer server(source);
    server.port = freeLocalPort();
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(source.open() && source.start());

    OpenIGTLinkTrackingStream stream;
    connectTo(stream, server.listeningPort());
    SampleCollector collector(stream);
    std::vector<std::pair<Stream::State, Stream::State>> transitions;
    std::mutex transitionsMutex;
    stream.signalStateChanged.connect(
      [&](Stream::State from, Stream::State to)
      {
          std::lock_guard<std::mutex> lock(transitionsMutex);
          transitions.emplace_back(from, to);
      });
    ASSERT_TRUE(stream.open());
    ASSERT_TRUE(stream.start());
    ASSERT_TRUE(eventually([&] { return server.numClients() == 1; }));

    source.push({ makeInstrument("Pointer", Eigen::Vector3d(1, 2, 3)) }, 1000);
    ASSERT_TRUE(eventually([&] { return collector.count() == 1; }));

    {
        LogExpectation lost(Log::Warning, "lost (closed by the server); reconnecting", 1);
        server.stop();
        ASSERT_TRUE(eventually([&] { return stream.state() == Stream::State::Disconnected; }));
        // Down for a while: several attempts fail quietly, with the back-off capped at 200 ms.
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(stream.state(), Stream::State::Disconnected);
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(eventually([&] { return stream.state() == Stream::State::Running; }));
    }
    ASSERT_TRUE(eventually([&] { return server.numClients() == 1; }));
    source.push({ makeInstrument("Pointer", Eigen::Vector3d(4, 5, 6)) }, 2000);
    ASSERT_TRUE(eventually([&] { return collector.count() == 2; }));
    EXPECT_EQ(collector.samples()[1]->timestampDevice(), 2000);
    const Eigen::Vector3d position = collector.samples()[1]->instrument("Pointer")->matrix.topRightCorner<3, 1>();
    EXPECT_TRUE(position.isApprox(Eigen::Vector3d(4, 5, 6)));
    EXPECT_EQ(stream.numConnections(), 2);
    stream.close();

    std::lock_guard<std::mutex> lock(transitionsMutex);
    using S = Stream::State;
    const std::vector<std::pair<S, S>> expected{ { S::Closed, S::Opened },        { S::Opened, S::Running },
                                                 { S::Running, S::Disconnected }, { S::Disconnected, S::Running },
                                                 { S::Running, S::Opened },       { S::Opened, S::Closed } };
    EXPECT_EQ(transitions, expected);
}

TEST(OpenIGTLinkTrackingStream, OpenFailsWithAnErrorWhenNoServerListens)
{
    OpenIGTLinkTrackingStream stream;
    connectTo(stream, freeLocalPort());
    {
        LogExpectation error(Log::Error, "cannot connect to OpenIGTLink server 127.0.0.1:", 1);
        EXPECT_FALSE(stream.open());
    }
    EXPECT_EQ(stream.state(), Stream::State::Closed);
    stream.port = 70000;
    {
        LogExpectation badPort(Log::Error, "port 70000 is not a TCP port", 1);
        EXPECT_FALSE(stream.open());
    }

    // A host that never answers (TEST-NET-1 is not routed) must not hold the caller for the system's connect
    // timeout of minutes: the attempt gives up after a few seconds (at once where the network says unreachable).
    stream.host = std::string("192.0.2.1");
    stream.port = 18944;
    LogExpectation unreachable(Log::Error, "cannot connect to OpenIGTLink server 192.0.2.1:18944", 1);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(stream.open());
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(20));
}

TEST(OpenIGTLinkTrackingStream, ParametersRoundTripThroughProperties)
{
    OpenIGTLinkTrackingStream stream;
    stream.host = std::string("192.168.7.2");
    stream.port = 18950;
    stream.reconnectMinimumMs = 50;
    stream.reconnectMaximumMs = 800;
    Properties properties;
    stream.configuration(&properties);
    OpenIGTLinkTrackingStream other;
    other.configure(&properties);
    EXPECT_EQ(other.host.value(), "192.168.7.2");
    EXPECT_EQ(other.port.value(), 18950);
    EXPECT_EQ(other.reconnectMinimumMs.value(), 50);
    EXPECT_EQ(other.reconnectMaximumMs.value(), 800);
}
