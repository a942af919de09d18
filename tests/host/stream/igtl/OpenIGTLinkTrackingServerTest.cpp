#include "stream/igtl/OpenIGTLinkTrackingServer.h"

#include <random>
#include <thread>

#include <gtest/gtest.h>
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

Eigen::Matrix4d fromIgtl(const igtl::Matrix4x4& matrix)
{
    Eigen::Matrix4d pose;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            pose(r, c) = matrix[r][c];
    return pose;
}

bool nearPose(const Eigen::Matrix4d& a, const Eigen::Matrix4d& b)
{
    return (a.topLeftCorner<3, 3>() - b.topLeftCorner<3, 3>()).cwiseAbs().maxCoeff() < 1e-6 &&
           (a.topRightCorner<3, 1>() - b.topRightCorner<3, 1>()).norm() < 1e-4;
}

/// Unpacks a received message with the library, CRC checked; false when the library refuses the body.
bool unpackWithLibrary(igtl::MessageBase& message, const igtl::MessageHeader::Pointer& header, const Bytes& bytes)
{
    message.SetMessageHeader(header);
    message.AllocatePack();
    std::memcpy(message.GetPackBodyPointer(), bytes.data() + OpenIGTLinkMessageDecoder::headerSize,
                bytes.size() - OpenIGTLinkMessageDecoder::headerSize);
    return (message.Unpack(1) & igtl::MessageHeader::UNPACK_BODY) != 0;
}

struct ServedStream
{
    ManualTrackingStream source{ "Smoothed" };
    OpenIGTLinkTrackingServer server{ source };

    ServedStream()
    {
        server.port = 0;
        EXPECT_TRUE(server.start());
        EXPECT_GT(server.listeningPort(), 0);
        EXPECT_TRUE(source.open() && source.start());
    }
};

} // namespace

TEST(OpenIGTLinkTrackingServer, PlainOpenIGTLinkClientReadsTrackingDataAndTransforms)
{
    ServedStream served;
    igtl::ClientSocket::Pointer client = igtl::ClientSocket::New();
    ASSERT_EQ(client->ConnectToServer("127.0.0.1", served.server.listeningPort()), 0);
    client->SetReceiveTimeout(5000);
    ASSERT_TRUE(eventually([&] { return served.server.numClients() == 1; }));

    std::mt19937 random(37);
    std::vector<std::array<Eigen::Matrix4d, 2>> poses;
    for (int i = 0; i < 5; ++i)
    {
        poses.push_back({ randomPose(random), randomPose(random) });
        served.source.push({ TrackingInstrument{ TrackerID("Reference", "m", "R"), poses[i][0], 1.0, 0, true },
                             TrackingInstrument{ TrackerID("Occluded", "m", "O"), randomPose(random), 0.0, 0, false },
                             TrackingInstrument{ TrackerID("Pointer", "m", "P"), poses[i][1], 0.9, 0, true } },
                           1000000 * (i + 1) + 250);
    }

    for (int i = 0; i < 5; ++i)
    {
        igtl::MessageHeader::Pointer header;
        Bytes bytes;
        ASSERT_TRUE(receiveMessage(*client, header, bytes)) << i;
        ASSERT_STREQ(header->GetDeviceType(), "TDATA");
        EXPECT_STREQ(header->GetDeviceName(), "Smoothed");
        unsigned int seconds = 0, fraction = 0;
        header->GetTimeStamp(&seconds, &fraction);
        EXPECT_EQ(OpenIGTLinkMessageDecoder::timestampToMicroseconds((uint64_t(seconds) << 32) | fraction),
                  1000000 * (i + 1) + 250);

        igtl::TrackingDataMessage::Pointer tdata = igtl::TrackingDataMessage::New();
        ASSERT_TRUE(unpackWithLibrary(*tdata, header, bytes));
        ASSERT_EQ(tdata->GetNumberOfTrackingDataElements(), 2);
        const char* names[] = { "Reference", "Pointer" };
        for (int e = 0; e < 2; ++e)
        {
            igtl::TrackingDataElement::Pointer element;
            tdata->GetTrackingDataElement(e, element);
            EXPECT_STREQ(element->GetName(), names[e]);
            igtl::Matrix4x4 matrix;
            element->GetMatrix(matrix);
            EXPECT_TRUE(nearPose(fromIgtl(matrix), poses[i][e])) << i << " " << e;
        }
        for (int e = 0; e < 2; ++e)
        {
            ASSERT_TRUE(receiveMessage(*client, header, bytes));
            ASSERT_STREQ(header->GetDeviceType(), "TRANSFORM");
            EXPECT_STREQ(header->GetDeviceName(), names[e]);
            igtl::TransformMessage::Pointer transform = igtl::TransformMessage::New();
            ASSERT_TRUE(unpackWithLibrary(*transform, header, bytes));
            igtl::Matrix4x4 matrix;
            transform->GetMatrix(matrix);
            EXPECT_TRUE(nearPose(fromIgtl(matrix), poses[i][e])) << i << " " << e;
        }
    }
    EXPECT_EQ(served.server.numSamplesSent(), 5);
    client->CloseSocket();
    EXPECT_TRUE(eventually([&] { return served.server.numClients() == 0; }));
}

TEST(OpenIGTLinkTrackingServer, OurClientStreamReadsBackEverySampleWithItsTimestamp)
{
    ServedStream served;
    served.server.maximumBacklogKiB = 4096;
    OpenIGTLinkTrackingStream client;
    client.port = served.server.listeningPort();
    SampleCollector collector(client);
    ASSERT_TRUE(client.open() && client.start());
    ASSERT_TRUE(eventually([&] { return served.server.numClients() == 1; }));

    std::mt19937 random(41);
    std::vector<Eigen::Matrix4d> poses;
    const int count = 200;
    for (int i = 0; i < count; ++i)
    {
        poses.push_back(randomPose(random));
        served.source.push(
          { TrackingInstrument{ TrackerID("Needle", "m", "N"), poses.back(), 1.0, 0, true },
            TrackingInstrument{ TrackerID("Reference", "m", "R"), Eigen::Matrix4d::Identity(), 1.0, 0, true } },
          777 + 20000 * i);
    }
    ASSERT_TRUE(eventually([&] { return collector.count() >= size_t(count); }));
    const auto samples = collector.samples();
    ASSERT_EQ(samples.size(), size_t(count));
    for (int i = 0; i < count; ++i)
    {
        // TDATA and TRANSFORM of one sample share the time stamp: one sample, one record per instrument.
        EXPECT_EQ(samples[i]->timestampDevice(), 777 + 20000 * i);
        ASSERT_EQ(samples[i]->numInstruments(), 2u);
        EXPECT_TRUE(nearPose(samples[i]->instrument("Needle")->matrix, poses[i])) << i;
    }
    EXPECT_EQ(client.numSkippedMessages(), 0);
}

TEST(OpenIGTLinkTrackingServer, SlowClientIsDroppedWithoutEverBlockingTheStream)
{
    ServedStream served;
    served.server.stop();
    served.server.maximumBacklogKiB = 64;
    ASSERT_TRUE(served.server.start());

    // A client that connects with a tiny receive buffer and never reads.
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(served.server.listeningPort()));
    ASSERT_EQ(::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(eventually([&] { return served.server.numClients() == 1; }));

    LogExpectation slow(Log::Warning, "reads too slowly", 1);
    std::vector<TrackingInstrument> tools;
    for (int t = 0; t < 20; ++t)
        tools.push_back(makeInstrument("Tool" + std::to_string(t), Eigen::Vector3d(t, 0, 0)));
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
    EXPECT_TRUE(eventually([&] { return served.server.numClients() == 0; }, 20s));
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
