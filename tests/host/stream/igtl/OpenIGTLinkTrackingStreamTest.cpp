#include "stream/igtl/OpenIGTLinkTrackingStream.h"

#include <atomic>
#include <cmath>
#include <limits>
#include <random>
#include <thread>

#include <fmt/format.h>
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

/// `count` rounds of the messages, each message under a name of its own.
Bytes underNewNames(const std::vector<Bytes>& messages, size_t count)
{
    Bytes all;
    all.reserve(count * messages.size() * messages.front().size());
    for (size_t i = 0; i < count; ++i)
        for (size_t m = 0; m < messages.size(); ++m)
            append(all, withDevice(messages[m], fmt::format("{}{}", m, i)));
    return all;
}

size_t instrumentsDelivered(const SampleCollector& collector)
{
    size_t count = 0;
    for (const auto& sample : collector.samples())
        count += sample->numInstruments();
    return count;
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
    ASSERT_TRUE(server.send(transformMessage("D", a, 5000000)));

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
    EXPECT_EQ(stream.numSkippedMessages(), 4);
    EXPECT_EQ(stream.state(), Stream::State::Running);
    EXPECT_EQ(stream.numConnections(), 1);
}

TEST_F(OpenIGTLinkRawServer, PosesThatAreNotRigidArriveUntrackedWithQualityZeroAndOneWarning)
{
    Eigen::Matrix4d scaled = 1000.0 * Eigen::Matrix4d::Identity(), zeroRow = Eigen::Matrix4d::Identity();
    scaled(3, 3) = 1.0;
    zeroRow.row(1).setZero();
    Eigen::Matrix4d notANumber = Eigen::Matrix4d::Identity();
    notANumber(0, 3) = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::pair<std::string, Eigen::Matrix4d>> tools{ { "Scaled", scaled },
                                                                      { "ZeroRow", zeroRow },
                                                                      { "Far", pose({ 1e30, 0, 0 }) },
                                                                      { "NaN", notANumber },
                                                                      { "Good", pose({ 1, 2, 3 }, 0.5) } };
    LogExpectation warning(Log::Warning, ": the pose of 'Scaled' is not a finite rigid transform", 1);
    Bytes messages;
    for (const auto& [id, matrix] : tools)
        messages = concat({ messages, transformMessage(id, matrix, 1000) });
    ASSERT_TRUE(server.send(messages));
    ASSERT_TRUE(waitUntil([&] { return collector.count() == 1; }));
    for (const auto& [id, matrix] : tools)
    {
        const auto received = collector.last()->instrument(id);
        ASSERT_TRUE(received.has_value()) << id;
        EXPECT_EQ(received->tracked, id == "Good") << id;
        EXPECT_EQ(received->quality, id == "Good" ? 1.0 : 0.0) << id;
        EXPECT_TRUE(received->matrix.allFinite()) << id;
    }
}

TEST_F(OpenIGTLinkRawServer, EverNewNamesBeyondTheCapAreDroppedWithOneWarning)
{
    const size_t cap = OpenIGTLinkTrackingStream::maximumInstruments;
    LogExpectation warning(Log::Warning, fmt::format("more than {} distinct instruments; '0{}'", cap, cap), 1);
    // One instant of a hundred thousand names, then a kept tool at the next instant.
    const Bytes flood = underNewNames({ transformMessage("T", Eigen::Matrix4d::Identity(), 1000) }, 100000);
    ASSERT_TRUE(server.send(concat({ flood, transformMessage("05", Eigen::Matrix4d::Identity(), 2000) })));
    ASSERT_TRUE(waitUntil([&] { return collector.count() == 2; }, 30s));
    EXPECT_EQ(collector.samples()[0]->numInstruments(), cap);
    EXPECT_EQ(stream.instruments().size(), cap);
    EXPECT_TRUE(collector.last()->instrument("05").has_value());
}

TEST_F(OpenIGTLinkRawServer, FaultsUnderEverNewNamesKeepTheLogBoundedAndStopDeliversWhatIsPending)
{
    // Tools at one instant, each followed by a message with a bad CRC, all under new names.
    const Bytes message = transformMessage("T", Eigen::Matrix4d::Identity(), 1000);
    Bytes badCrc = message;
    badCrc.back() ^= 0x01;
    const int pairs = 100000;
    const Bytes flood = underNewNames({ message, badCrc }, pairs);
    LogExpectation crc(Log::Warning, "CRC of the body does not match");
    LogExpectation cap(Log::Warning, "distinct instruments", 1);
    std::thread sender([&] { server.send(flood); }); // returns when the client hangs up
    EXPECT_TRUE(waitUntil([&] { return stream.numSkippedMessages() >= pairs / 2; }, 30s));
    EXPECT_TRUE(stream.stop());
    // The first tools, the ones kept, are delivered; the rest are beyond the cap.
    EXPECT_EQ(instrumentsDelivered(collector), OpenIGTLinkTrackingStream::maximumInstruments);
    stream.close();
    sender.join();
    EXPECT_LT(capturedLog().size(), 100u);
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

TEST(OpenIGTLinkTrackingStream, AServerThatHangsUpAtOnceIsRetriedEverMoreSlowly)
{
    RawServer server;
    std::atomic<bool> done{ false };
    std::thread hangUp(
      [&]
      {
          while (!done)
              server.accept(20ms);
      }); // each accept closes the previous client
    OpenIGTLinkTrackingStream stream;
    connectTo(stream, server.port());
    stream.reconnectMaximumMs = 5000;
    LogExpectation lost(Log::Warning, "lost (closed by the server)");
    EXPECT_TRUE(stream.open() && stream.start());
    EXPECT_TRUE(waitUntil([&] { return stream.numConnections() >= 3; }));
    const int64_t before = stream.numConnections();
    std::this_thread::sleep_for(1s);
    // Every 20 ms that would be about 50; doubling from 80 ms, 160 + 320 + 640 ms fill the second.
    EXPECT_LE(stream.numConnections() - before, 5);
    stream.close();
    done = true;
    hangUp.join();
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
