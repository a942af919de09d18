#include "stream/igtl/OpenIGTLinkTrackingServer.h"

#include <sys/resource.h>
#include <thread>

#include <gtest/gtest.h>
#include <igtlClientSocket.h>
#include <igtlMessageHeader.h>
#include <igtlTrackingDataMessage.h>

#include "core/Log.h"
#include "stream/ManualTrackingStream.h"
#include "stream/igtl/OpenIGTLinkTrackingStream.h"

#include "IgtlTestSupport.h"
#include "LogExpectation.h"
#include "StreamTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;
using namespace std::chrono_literals;

namespace
{

bool nearPose(const igtl::Matrix4x4& matrix, const Eigen::Matrix4d& expected)
{
    Eigen::Matrix4d pose;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            pose(r, c) = matrix[r][c];
    return (pose.topLeftCorner<3, 3>() - expected.topLeftCorner<3, 3>()).cwiseAbs().maxCoeff() < 1e-6 &&
           (pose.topRightCorner<3, 1>() - expected.topRightCorner<3, 1>()).norm() < 1e-4;
}

/// Receives the next message with the library and unpacks it, CRC checked; false when any step fails.
bool receiveWithLibrary(igtl::ClientSocket& client, igtl::MessageBase& message, const char* type)
{
    igtl::MessageHeader::Pointer header = igtl::MessageHeader::New();
    header->InitPack();
    if (client.Receive(header->GetPackPointer(), header->GetPackSize()) != header->GetPackSize())
        return false;
    header->Unpack();
    if (std::string(header->GetDeviceType()) != type)
        return false;
    message.SetMessageHeader(header);
    message.AllocatePack();
    const int bodySize = int(message.GetPackBodySize());
    return client.Receive(message.GetPackBodyPointer(), bodySize) == bodySize &&
           (message.Unpack(1) & igtl::MessageHeader::UNPACK_BODY) != 0;
}

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           1e-6 * double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

struct ServedStream
{
    ManualTrackingStream source{ "Smoothed tracking stream" };
    OpenIGTLinkTrackingServer server{ source };

    explicit ServedStream(int backlogKiB = 1024)
    {
        server.port = 0;
        server.maximumBacklogKiB = backlogKiB;
        EXPECT_TRUE(server.start());
        EXPECT_GT(server.listeningPort(), 0);
        EXPECT_TRUE(source.open() && source.start());
    }
};

} // namespace

TEST(OpenIGTLinkTrackingServer, PlainOpenIGTLinkClientReadsTrackingDataThenOneTransformPerTrackedInstrument)
{
    ServedStream served;
    igtl::ClientSocket::Pointer client = igtl::ClientSocket::New();
    ASSERT_EQ(client->ConnectToServer("127.0.0.1", served.server.listeningPort()), 0);
    client->SetReceiveTimeout(5000);
    ASSERT_TRUE(waitUntil([&] { return served.server.numClients() == 1; }));

    std::mt19937 random(37);
    const Eigen::Matrix4d a = randomRigid(random), b = randomRigid(random);
    served.source.push({ instrument("Reference", a), instrument("Occluded", randomRigid(random), 0.0, false),
                         instrument("Pointer", b, 0.9) },
                       4242424242);
    const char* const names[] = { "Reference", "Pointer" };
    const Eigen::Matrix4d poses[] = { a, b };

    igtl::TrackingDataMessage::Pointer tdata = igtl::TrackingDataMessage::New();
    ASSERT_TRUE(receiveWithLibrary(*client, *tdata, "TDATA"));
    EXPECT_STREQ(tdata->GetDeviceName(), "Smoothed tracking st"); // cut to the 20-byte field
    unsigned int seconds = 0, fraction = 0;
    tdata->GetTimeStamp(&seconds, &fraction);
    EXPECT_EQ(OpenIGTLinkMessageDecoder::timestampToMicroseconds((uint64_t(seconds) << 32) | fraction), 4242424242);
    ASSERT_EQ(tdata->GetNumberOfTrackingDataElements(), 2);
    for (int e = 0; e < 2; ++e)
    {
        igtl::TrackingDataElement::Pointer element;
        tdata->GetTrackingDataElement(e, element);
        igtl::TransformMessage::Pointer transform = igtl::TransformMessage::New();
        ASSERT_TRUE(receiveWithLibrary(*client, *transform, "TRANSFORM"));
        EXPECT_STREQ(element->GetName(), names[e]);
        EXPECT_STREQ(transform->GetDeviceName(), names[e]);
        igtl::Matrix4x4 inTdata, inTransform;
        element->GetMatrix(inTdata);
        transform->GetMatrix(inTransform);
        EXPECT_TRUE(nearPose(inTdata, poses[e]) && nearPose(inTransform, poses[e])) << e;
    }

    client->CloseSocket();
    EXPECT_TRUE(waitUntil([&] { return served.server.numClients() == 0; }));
}

TEST(OpenIGTLinkTrackingServer, OurClientStreamReadsBackEverySampleWithItsTimestamp)
{
    ServedStream served(4096);
    OpenIGTLinkTrackingStream client;
    client.port = served.server.listeningPort();
    SampleCollector collector(client);
    ASSERT_TRUE(client.open() && client.start());
    ASSERT_TRUE(waitUntil([&] { return served.server.numClients() == 1; }));

    std::mt19937 random(41);
    std::vector<Eigen::Matrix4d> poses;
    const int count = 200;
    for (int i = 0; i < count; ++i)
    {
        poses.push_back(randomRigid(random));
        served.source.push({ instrument("Needle", poses.back()), instrument("Reference", Eigen::Matrix4d::Identity()) },
                           777 + 20000 * i);
    }
    ASSERT_TRUE(waitUntil([&] { return collector.count() >= size_t(count); }));
    const auto samples = collector.samples();
    ASSERT_EQ(samples.size(), size_t(count));
    for (int i = 0; i < count; ++i)
    {
        // TDATA and TRANSFORM of one sample share the time stamp: one sample, one record per instrument.
        EXPECT_EQ(samples[i]->timestampDevice(), 777 + 20000 * i);
        ASSERT_EQ(samples[i]->numInstruments(), 2u);
        EXPECT_LT(translationDifference(samples[i]->instrument("Needle")->matrix, poses[i]), 1e-4) << i;
        EXPECT_LT(rotationDifferenceDegrees(samples[i]->instrument("Needle")->matrix, poses[i]), 1e-4) << i;
    }
    EXPECT_EQ(client.numSkippedMessages(), 0);
}

TEST(OpenIGTLinkTrackingServer, SlowClientIsDroppedWithoutEverBlockingTheStream)
{
    ServedStream served(64);

    // A client that connects with a tiny receive buffer and never reads.
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(served.server.listeningPort()));
    ASSERT_EQ(::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(waitUntil([&] { return served.server.numClients() == 1; }));

    LogExpectation slow(Log::Warning, "reads too slowly", 1);
    std::vector<TrackingInstrument> tools;
    for (int t = 0; t < 20; ++t)
        tools.push_back(instrument("Tool" + std::to_string(t), pose(Eigen::Vector3d(t, 0, 0))));
    // About 3.6 kB per sample, 2 MB in all: more than the client's small buffer, the server's send buffer
    // (bounded by the backlog limit) and the backlog together.
    for (int i = 0; i < 600; ++i)
    {
        served.source.push(tools, i + 1);
        if (i % 50 == 49)
        {
            // The stream's thread never waits for the stalled client: every burst is delivered at once.
            ASSERT_TRUE(served.source.waitUntilDelivered(5s));
            std::this_thread::sleep_for(2ms);
        }
    }
    EXPECT_TRUE(waitUntil([&] { return served.server.numClients() == 0; }, 20s));
    ::close(socket);
}

TEST(OpenIGTLinkTrackingServer, StartRefusesBadAddressesAndPortsInUse)
{
    ServedStream served;
    ManualTrackingStream other("Other");
    OpenIGTLinkTrackingServer second(other);
    second.port = served.server.listeningPort();
    {
        LogExpectation inUse(Log::Error, "cannot listen on 127.0.0.1:", 1);
        EXPECT_FALSE(second.start());
    }
    EXPECT_FALSE(second.isRunning());
    second.bindAddress = std::string("tracker.example");
    LogExpectation badAddress(Log::Error, "'tracker.example:", 1);
    EXPECT_FALSE(second.start());
}

TEST(OpenIGTLinkTrackingServerDeathTest, AcceptWithoutFreeDescriptorsNeitherSpinsNorFloodsTheLog)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // In a child process, whose descriptor limit can be lowered without harm to the other tests.
    const auto run = []
    {
        ServedStream served;
        const int client = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(uint16_t(served.server.listeningPort()));
        const int lowestFree = ::dup(0);
        ::close(lowestFree);
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = rlim_t(lowestFree);
        ::setrlimit(RLIMIT_NOFILE, &limit);
        // The connection completes in the listening backlog; accepting it needs one more descriptor.
        ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
        const double before = cpuSeconds();
        std::this_thread::sleep_for(1s);
        const double cpu = cpuSeconds() - before;
        int warnings = 0;
        for (const auto& record : capturedLog())
            warnings +=
              record.level == Log::Warning && record.message.find("cannot accept clients") != std::string::npos;
        std::fprintf(stderr, "%.3f s of processor time, %d warnings\n", cpu, warnings);
        // Spinning takes the whole second of a core.
        std::_Exit(cpu < 0.2 && warnings == 1 ? 0 : 1);
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");
}
