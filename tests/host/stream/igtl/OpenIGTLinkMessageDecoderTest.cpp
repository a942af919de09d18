#include "stream/igtl/OpenIGTLinkMessageDecoder.h"

#include <cmath>
#include <random>

#include <gtest/gtest.h>
#include <igtlPositionMessage.h>
#include <igtlQuaternionTrackingDataMessage.h>
#include <igtlStatusMessage.h>
#include <igtlTrackingDataMessage.h>

#include "stream/TrackingStreamData.h"
#include "stream/igtl/OpenIGTLinkTrackingServer.h"

#include "IgtlTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
using Decoder = OpenIGTLinkMessageDecoder;

// Poses travel as float32: about 1e-5 mm at 200 mm, 1e-7 in rotation entries.
constexpr double translationToleranceMm = 1e-4;
constexpr double rotationTolerance = 1e-6;

void expectPose(const Eigen::Matrix4d& expected, const Eigen::Matrix4d& actual)
{
    EXPECT_LT((expected.topLeftCorner<3, 3>() - actual.topLeftCorner<3, 3>()).cwiseAbs().maxCoeff(), rotationTolerance);
    EXPECT_LT((expected.topRightCorner<3, 1>() - actual.topRightCorner<3, 1>()).norm(), translationToleranceMm);
    EXPECT_EQ(actual.row(3), Eigen::RowVector4d(0, 0, 0, 1));
}

Decoder::Result decode(const Bytes& bytes)
{
    return Decoder::decode(bytes.data(), bytes.size());
}
} // namespace

TEST(OpenIGTLinkMessageDecoder, LibraryPackedTransformGivesItsPoseNameAndTimestamp)
{
    std::mt19937 random(7);
    for (int i = 0; i < 20; ++i)
    {
        const Eigen::Matrix4d pose = randomPose(random);
        const int64_t microseconds = 1700000000000000 + 12345 * i;
        const auto result = decode(transformMessage("Stylus", pose, microseconds));
        ASSERT_TRUE(result.ok()) << result.error;
        EXPECT_EQ(result.message->header.type, "TRANSFORM");
        EXPECT_EQ(result.message->timestampMicroseconds, microseconds);
        ASSERT_EQ(result.message->instruments.size(), 1u);
        const TrackingInstrument& instrument = result.message->instruments[0];
        EXPECT_EQ(instrument.ID(), "Stylus");
        EXPECT_EQ(instrument.name(), "Stylus");
        EXPECT_TRUE(instrument.tracked);
        EXPECT_EQ(instrument.quality, 1.0);
        EXPECT_EQ(instrument.timestamp, microseconds);
        expectPose(pose, instrument.matrix);
    }
}

TEST(OpenIGTLinkMessageDecoder, TrackingDataAndQuaternionTrackingDataGiveOneInstrumentPerElement)
{
    std::mt19937 random(11);
    std::vector<Eigen::Matrix4d> poses{ randomPose(random), randomPose(random), randomPose(random) };
    const std::vector<std::string> names{ "Reference", "Pointer", "Needle" };

    igtl::TrackingDataMessage::Pointer tdata = igtl::TrackingDataMessage::New();
    tdata->SetDeviceName("Tracker");
    setTimestamp(*tdata, 5000001);
    igtl::QuaternionTrackingDataMessage::Pointer qtdata = igtl::QuaternionTrackingDataMessage::New();
    qtdata->SetDeviceName("Tracker");
    for (size_t i = 0; i < poses.size(); ++i)
    {
        igtl::TrackingDataElement::Pointer element = igtl::TrackingDataElement::New();
        element->SetName(names[i].c_str());
        igtl::Matrix4x4 matrix;
        toIgtlMatrix(poses[i], matrix);
        element->SetMatrix(matrix);
        tdata->AddTrackingDataElement(element);

        igtl::QuaternionTrackingDataElement::Pointer qelement = igtl::QuaternionTrackingDataElement::New();
        qelement->SetName(names[i].c_str());
        const Eigen::Quaterniond q(Eigen::Matrix3d(poses[i].topLeftCorner<3, 3>()));
        qelement->SetQuaternion(float(q.x()), float(q.y()), float(q.z()), float(q.w()));
        qelement->SetPosition(float(poses[i](0, 3)), float(poses[i](1, 3)), float(poses[i](2, 3)));
        qtdata->AddQuaternionTrackingDataElement(qelement);
    }

    for (const Bytes& bytes : { packed(*tdata), packed(*qtdata) })
    {
        const auto result = decode(bytes);
        ASSERT_TRUE(result.ok()) << result.error;
        ASSERT_EQ(result.message->instruments.size(), poses.size());
        for (size_t i = 0; i < poses.size(); ++i)
        {
            EXPECT_EQ(result.message->instruments[i].ID(), names[i]);
            expectPose(poses[i], result.message->instruments[i].matrix);
        }
    }
    EXPECT_EQ(decode(packed(*tdata)).message->timestampMicroseconds, 5000001);
}

TEST(OpenIGTLinkMessageDecoder, PositionInItsThreeBodySizes)
{
    std::mt19937 random(3);
    const Eigen::Matrix4d pose = randomPose(random);
    const Eigen::Quaterniond q(Eigen::Matrix3d(pose.topLeftCorner<3, 3>()));
    // The short form drops w and relies on w >= 0.
    const Eigen::Quaterniond positive = q.w() < 0 ? Eigen::Quaterniond(-q.coeffs()) : q;

    igtl::PositionMessage::Pointer message = igtl::PositionMessage::New();
    message->SetDeviceName("Probe");
    message->SetPosition(float(pose(0, 3)), float(pose(1, 3)), float(pose(2, 3)));
    message->SetQuaternion(float(positive.x()), float(positive.y()), float(positive.z()), float(positive.w()));
    const Bytes full = packed(*message);
    const Bytes fullBody = body(full);
    ASSERT_EQ(fullBody.size(), 28u);

    auto result = decode(full);
    ASSERT_TRUE(result.ok()) << result.error;
    expectPose(pose, result.message->instruments.at(0).matrix);

    const Bytes threeComponents = withBody(full, Bytes(fullBody.begin(), fullBody.begin() + 24));
    result = decode(threeComponents);
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_LT((result.message->instruments.at(0).matrix - pose).cwiseAbs().maxCoeff(), 1e-3);

    const Bytes positionOnly = withBody(full, Bytes(fullBody.begin(), fullBody.begin() + 12));
    result = decode(positionOnly);
    ASSERT_TRUE(result.ok()) << result.error;
    const Eigen::Matrix3d rotation = result.message->instruments.at(0).matrix.topLeftCorner<3, 3>();
    EXPECT_TRUE(rotation.isIdentity());
    EXPECT_LT((result.message->instruments.at(0).matrix.topRightCorner<3, 1>() - pose.topRightCorner<3, 1>()).norm(),
              translationToleranceMm);
}

TEST(OpenIGTLinkMessageDecoder, TimestampConversionRoundTripsEveryMicrosecond)
{
    std::mt19937_64 random(5);
    std::uniform_int_distribution<int64_t> microseconds(1, (int64_t(1) << 32) * 1000000 - 1);
    for (int i = 0; i < 10000; ++i)
    {
        const int64_t us = i < 1000 ? int64_t(1000000) * 1234 + i * 999 : microseconds(random);
        EXPECT_EQ(Decoder::timestampToMicroseconds(Decoder::microsecondsToTimestamp(us)), us);
    }
    EXPECT_EQ(Decoder::microsecondsToTimestamp(0), 0u);
    EXPECT_EQ(Decoder::microsecondsToTimestamp(-5), 0u);
    EXPECT_EQ(Decoder::timestampToMicroseconds(0), 0);
    // Half a second is 2^31 in the fraction.
    EXPECT_EQ(Decoder::timestampToMicroseconds((uint64_t(3) << 32) | (uint64_t(1) << 31)), 3500000);
}

TEST(OpenIGTLinkMessageDecoder, MalformedMessagesGiveAnErrorNamingTheFault)
{
    std::mt19937 random(13);
    const Bytes valid = transformMessage("Tool", randomPose(random), 1000);
    ASSERT_TRUE(decode(valid).ok());

    struct Case
    {
        const char* what;
        Bytes bytes;
        const char* fragment;
    };
    const Bytes validBody = body(valid);
    Bytes badCrc = valid;
    badCrc[Decoder::headerSize + 5] ^= 0x10;
    Bytes truncated(valid.begin(), valid.end() - 1);
    Bytes nanPose = body(valid);
    writeBigEndian(nanPose.data() + 36, 0x7fc00000, 4); // a quiet NaN in the x translation
    Bytes zeroQuaternion(50, 0);
    std::memcpy(zeroQuaternion.data(), "Tool", 4);
    Bytes unnamed = valid;
    std::memset(unnamed.data() + 14, 0, 20);
    Bytes version3 = valid;
    version3[1] = 3;

    const std::vector<Case> cases{
        { "body shorter than a transform", withBody(valid, Bytes(validBody.begin(), validBody.begin() + 40)),
          "body of 40 bytes, expected 48" },
        { "bad CRC", badCrc, "CRC" },
        { "fewer bytes than announced", truncated, "but 47 follow" },
        { "unknown type", withType(valid, "FOOBAR"), "not handled" },
        { "non-finite pose", withBody(valid, nanPose), "not finite" },
        { "zero quaternion", withBody(withType(valid, "QTDATA"), zeroQuaternion), "quaternion is zero" },
        { "TDATA with a partial element", withBody(withType(valid, "TDATA"), Bytes(71, 0)), "whole number" },
        { "no device name", unnamed, "no device name" },
        { "version 3", version3, "version 3 not supported" },
        { "shorter than a header", Bytes(valid.begin(), valid.begin() + 20), "shorter than" },
    };
    for (const Case& c : cases)
    {
        const auto result = decode(c.bytes);
        EXPECT_FALSE(result.ok()) << c.what;
        EXPECT_NE(result.error.find(c.fragment), std::string::npos) << c.what << ": " << result.error;
        EXPECT_FALSE(result.framingLost) << c.what;
    }
}

TEST(OpenIGTLinkMessageDecoder, ImplausibleHeadersMeanTheMessageBoundariesAreLost)
{
    const Bytes valid = transformMessage("Tool", Eigen::Matrix4d::Identity(), 1);
    Bytes badVersion = valid;
    badVersion[0] = 0x41;
    Bytes binaryType = valid;
    binaryType[3] = 0x01;
    Bytes huge = valid;
    writeBigEndian(huge.data() + 42, Decoder::maximumBodySize + 1, 8);
    for (const Bytes& bytes : { badVersion, binaryType, huge, Bytes(Decoder::headerSize, 0) })
    {
        Decoder::Header header;
        const auto result = Decoder::decodeHeader(bytes.data(), bytes.size(), header);
        EXPECT_FALSE(result.ok());
        EXPECT_TRUE(result.framingLost) << result.error;
    }
}

TEST(OpenIGTLinkMessageDecoder, RandomCorruptionNeverCrashesAndOnlyIntactMessagesDecode)
{
    // Flipped bytes in the body are caught by the CRC; in the header they change what is checked. Either way
    // the decoder must return, and every accepted message must hold finite poses.
    std::mt19937 random(17);
    std::uniform_int_distribution<int> byteValue(0, 255);
    const Bytes valid = transformMessage("Tool", randomPose(random), 99);
    int accepted = 0;
    for (int i = 0; i < 20000; ++i)
    {
        Bytes bytes = valid;
        const int flips = 1 + i % 4;
        for (int f = 0; f < flips; ++f)
            bytes[std::uniform_int_distribution<size_t>(0, bytes.size() - 1)(random)] = uint8_t(byteValue(random));
        if (i % 7 == 0)
            bytes.resize(std::uniform_int_distribution<size_t>(0, bytes.size())(random));
        const auto result = decode(bytes);
        if (result.ok())
        {
            ++accepted;
            for (const auto& instrument : result.message->instruments)
                EXPECT_TRUE(instrument.matrix.allFinite());
        }
        else
            EXPECT_FALSE(result.error.empty());
    }
    // Some flips only touch the time stamp or the device name and keep the message valid.
    EXPECT_GT(accepted, 0);
}

TEST(OpenIGTLinkTrackingServerEncoding, SampleBecomesTrackingDataThenOneTransformPerTrackedInstrument)
{
    std::mt19937 random(23);
    const Eigen::Matrix4d a = randomPose(random), b = randomPose(random), c = randomPose(random);
    TrackingStreamData sample(
      nullptr, { TrackingInstrument{ TrackerID("Reference", "m", "Ref"), a, 1.0, 0, true },
                 TrackingInstrument{ TrackerID("Hidden", "m", "H"), b, 0.0, 0, false },
                 TrackingInstrument{ TrackerID("AVeryLongInstrumentIdentifier", "m", "L"), c, 0.9, 0, true } });
    sample.setTimestampDevice(4242424242);
    const Bytes bytes = OpenIGTLinkTrackingServer::encodeSample(sample, "Smoothed tracking stream", true);

    std::vector<Decoder::Message> messages;
    for (size_t offset = 0; offset < bytes.size();)
    {
        Decoder::Header header;
        ASSERT_TRUE(Decoder::decodeHeader(bytes.data() + offset, bytes.size() - offset, header).ok());
        const size_t size = Decoder::headerSize + header.bodySize;
        const auto result = Decoder::decode(bytes.data() + offset, size);
        ASSERT_TRUE(result.ok()) << result.error;
        messages.push_back(*result.message);
        offset += size;
    }
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].header.type, "TDATA");
    EXPECT_EQ(messages[0].header.deviceName, "Smoothed tracking st"); // cut to the 20-byte field
    ASSERT_EQ(messages[0].instruments.size(), 2u);
    EXPECT_EQ(messages[0].instruments[0].ID(), "Reference");
    EXPECT_EQ(messages[0].instruments[1].ID(), std::string("AVeryLongInstrumentIdentifier").substr(0, 20));
    expectPose(a, messages[0].instruments[0].matrix);
    expectPose(c, messages[0].instruments[1].matrix);
    EXPECT_EQ(messages[1].header.type, "TRANSFORM");
    EXPECT_EQ(messages[1].header.deviceName, "Reference");
    expectPose(a, messages[1].instruments[0].matrix);
    EXPECT_EQ(messages[2].header.deviceName, std::string("AVeryLongInstrumentIdentifier").substr(0, 20));
    for (const auto& message : messages)
        EXPECT_EQ(message.timestampMicroseconds, 4242424242);

    TrackingStreamData nothingTracked(nullptr, { TrackingInstrument{ TrackerID("Hidden", "m", "H"), b, 0, 0, false } });
    EXPECT_TRUE(OpenIGTLinkTrackingServer::encodeSample(nothingTracked, "S", true).empty());
}
