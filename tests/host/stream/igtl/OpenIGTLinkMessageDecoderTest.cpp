#include "stream/igtl/OpenIGTLinkMessageDecoder.h"

#include <cmath>
#include <random>

#include <gtest/gtest.h>
#include <igtlPositionMessage.h>
#include <igtlQuaternionTrackingDataMessage.h>
#include <igtlTrackingDataMessage.h>

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
    const Eigen::Matrix4d pose = randomRigid(random);
    const int64_t microseconds = 1700000000012345;
    const auto result = decode(transformMessage("Stylus", pose, microseconds));
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.message->header.type, "TRANSFORM");
    EXPECT_EQ(result.message->timestampMicroseconds, microseconds);
    ASSERT_EQ(result.message->instruments.size(), 1u);
    const TrackingInstrument& instrument = result.message->instruments[0];
    EXPECT_EQ(instrument.ID(), "Stylus");
    EXPECT_TRUE(instrument.tracked);
    EXPECT_EQ(instrument.quality, 1.0);
    EXPECT_EQ(instrument.timestamp, microseconds);
    expectPose(pose, instrument.matrix);
}

TEST(OpenIGTLinkMessageDecoder, TrackingDataAndQuaternionTrackingDataGiveOneInstrumentPerElement)
{
    std::mt19937 random(11);
    const Eigen::Matrix4d poses[] = { randomRigid(random), randomRigid(random) };
    const char* const names[] = { "Reference", "Pointer" };
    igtl::TrackingDataMessage::Pointer tdata = igtl::TrackingDataMessage::New();
    igtl::QuaternionTrackingDataMessage::Pointer qtdata = igtl::QuaternionTrackingDataMessage::New();
    tdata->SetDeviceName("Tracker");
    qtdata->SetDeviceName("Tracker");
    setTimestamp(*tdata, 5000001);
    for (int i = 0; i < 2; ++i)
    {
        igtl::TrackingDataElement::Pointer element = igtl::TrackingDataElement::New();
        element->SetName(names[i]);
        igtl::Matrix4x4 matrix;
        toIgtlMatrix(poses[i], matrix);
        element->SetMatrix(matrix);
        tdata->AddTrackingDataElement(element);
        igtl::QuaternionTrackingDataElement::Pointer qelement = igtl::QuaternionTrackingDataElement::New();
        qelement->SetName(names[i]);
        const Eigen::Quaterniond q(Eigen::Matrix3d(poses[i].topLeftCorner<3, 3>()));
        qelement->SetQuaternion(float(q.x()), float(q.y()), float(q.z()), float(q.w()));
        qelement->SetPosition(float(poses[i](0, 3)), float(poses[i](1, 3)), float(poses[i](2, 3)));
        qtdata->AddQuaternionTrackingDataElement(qelement);
    }
    for (const Bytes& bytes : { packed(*tdata), packed(*qtdata) })
    {
        const auto result = decode(bytes);
        ASSERT_TRUE(result.ok()) << result.error;
        ASSERT_EQ(result.message->instruments.size(), 2u);
        for (int i = 0; i < 2; ++i)
        {
            EXPECT_EQ(result.message->instruments[i].ID(), names[i]);
            expectPose(poses[i], result.message->instruments[i].matrix);
        }
    }
    EXPECT_EQ(decode(packed(*tdata)).message->timestampMicroseconds, 5000001);
}

TEST(OpenIGTLinkMessageDecoder, PositionWithAndWithoutItsQuaternion)
{
    std::mt19937 random(3);
    const Eigen::Matrix4d pose = randomRigid(random);
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

    const Bytes positionOnly = withBody(full, Bytes(fullBody.begin(), fullBody.begin() + 12));
    result = decode(positionOnly);
    ASSERT_TRUE(result.ok()) << result.error;
    const Eigen::Matrix3d rotation = result.message->instruments.at(0).matrix.topLeftCorner<3, 3>();
    EXPECT_TRUE(rotation.isIdentity());
    EXPECT_LT((result.message->instruments.at(0).matrix.topRightCorner<3, 1>() - pose.topRightCorner<3, 1>()).norm(),
              translationToleranceMm);
}

TEST(OpenIGTLinkMessageDecoder, MalformedMessagesGiveAnErrorNamingTheFault)
{
    std::mt19937 random(13);
    const Bytes valid = transformMessage("Tool", randomRigid(random), 1000);
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
