#include "stream/igtl/OpenIGTLinkTrackingStream.h"

#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "core/Log.h"
#include "stream/ManualTrackingStream.h"
#include "stream/igtl/OpenIGTLinkTrackingServer.h"

#include "IgtlTestSupport.h"
#include "LogExpectation.h"
#include "StreamTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;
using namespace std::chrono_literals;

namespace
{

void connectTo(OpenIGTLinkTrackingStream& stream, int port)
{
    stream.host = std::string("127.0.0.1");
    stream.port = port;
    stream.reconnectMinimumMs = 20;
    stream.reconnectMaximumMs = 200;
}

} // namespace

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
    const Eigen::Matrix4d a1 = randomRigid(random), b1 = randomRigid(random), a2 = randomRigid(random);
    const Eigen::Matrix4d untimedA = randomRigid(random), untimedB = randomRigid(random),
                          untimedA2 = randomRigid(random);
    // Two tools at t1, one at t2; then messages without time stamps, where a repeated tool starts a new instant;
    // then a sender whose time stamp is stuck, where the same holds.
    ASSERT_TRUE(server.send(concat({ transformMessage("A", a1, 1000000), transformMessage("B", b1, 1000000),
                                     transformMessage("A", a2, 1010000), transformMessage("A", untimedA, 0),
                                     transformMessage("B", untimedB, 0), transformMessage("A", untimedA2, 0),
                                     transformMessage("S", a1, 7000), transformMessage("S", a2, 7000) })));
    ASSERT_TRUE(waitUntil([&] { return collector.count() >= 6; }));
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
    const Eigen::Matrix4d a = randomRigid(random), b = randomRigid(random), c = randomRigid(random);
    const Bytes valid = transformMessage("Bad", randomRigid(random), 2000000);
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

    ASSERT_TRUE(waitUntil([&] { return collector.count() >= 4; }));
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
        ASSERT_TRUE(waitUntil([&] { return stream.numConnections() == 2; }));
    }
    ASSERT_TRUE(waitUntil([&] { return stream.state() == Stream::State::Running; }));
    ASSERT_TRUE(server.send(transformMessage("B", Eigen::Matrix4d::Identity(), 3000000)));
    ASSERT_TRUE(waitUntil([&] { return collector.count() >= 2; }));
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
    ASSERT_TRUE(server.start() && source.open() && source.start());
    OpenIGTLinkTrackingStream stream;
    connectTo(stream, server.listeningPort());
    SampleCollector collector(stream);
    ASSERT_TRUE(stream.open() && stream.start());
    ASSERT_TRUE(waitUntil([&] { return server.numClients() == 1; }));
    {
        LogExpectation lost(Log::Warning, "lost (closed by the server); reconnecting", 1);
        server.stop();
        ASSERT_TRUE(waitUntil([&] { return stream.state() == Stream::State::Disconnected; }));
        // Down for a while: several attempts fail quietly, with the back-off capped at 200 ms.
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(stream.state(), Stream::State::Disconnected);
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(waitUntil([&] { return stream.state() == Stream::State::Running && server.numClients() == 1; }));
    }
    source.push({ instrument("Pointer", pose({ 4, 5, 6 })) }, 2000);
    ASSERT_TRUE(waitUntil([&] { return collector.count() == 1; }));
    EXPECT_EQ(collector.last()->timestampDevice(), 2000);
    EXPECT_EQ(stream.numConnections(), 2);
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
    LogExpectation badPort(Log::Error, "port 70000 is not a TCP port", 1);
    EXPECT_FALSE(stream.open());
}
