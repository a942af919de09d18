#include "stream/igtl/OpenIGTLinkMessageDecoder.h"

#include <cmath>
#include <cstring>

#include <Eigen/Geometry>
#include <fmt/format.h>
#include <igtl_util.h>

#include "lib/numerics/Pose.h"

namespace Kelvaros
{

namespace
{

constexpr size_t transformBodySize = 48; // 12 float32: rotation columns, then translation
constexpr size_t tdataElementSize = 70;  // name[20], type, reserved, 12 float32
constexpr size_t qtdataElementSize = 50; // name[20], type, reserved, position[3], quaternion[4]
constexpr size_t nameSize = 20;

uint64_t readBigEndian(const uint8_t* data, size_t bytes)
{
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i)
        value = (value << 8) | data[i];
    return value;
}

float readFloat(const uint8_t* data)
{
    const auto bits = static_cast<uint32_t>(readBigEndian(data, 4));
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

/// A fixed-size text field: up to the first NUL, non-printable bytes replaced so that ids stay plain text in
/// logs and configuration files.
std::string readText(const uint8_t* data, size_t size)
{
    std::string text;
    for (size_t i = 0; i < size && data[i] != 0; ++i)
        text.push_back(data[i] >= 0x20 && data[i] < 0x7f ? static_cast<char>(data[i]) : '?');
    return text;
}

/// The 12 numbers of TRANSFORM and TDATA are the three rotation columns and the translation, column-major.
Eigen::Matrix4d readMatrix(const uint8_t* data)
{
    Eigen::Matrix4d matrix = Eigen::Matrix4d::Identity();
    for (int column = 0; column < 4; ++column)
        for (int row = 0; row < 3; ++row)
            matrix(row, column) = readFloat(data + 4 * (3 * column + row));
    return matrix;
}

/// Position and quaternion (x, y, z, w). The quaternion is normalised: senders round it to float, and a
/// rotation is what they mean. With only x, y, z sent (POSITION's short form), w = sqrt(1 - x² - y² - z²) ≥ 0.
/// Empty when the quaternion is zero or not finite: then there is no rotation to report.
std::optional<Eigen::Matrix4d> readPositionQuaternion(const uint8_t* data, int quaternionComponents)
{
    double v[7] = { 0, 0, 0, 0, 0, 0, 1 };
    for (int i = 0; i < 3 + quaternionComponents; ++i)
        v[i] = readFloat(data + 4 * i);
    if (quaternionComponents == 3)
        v[6] = std::sqrt(std::max(0.0, 1.0 - v[3] * v[3] - v[4] * v[4] - v[5] * v[5]));
    Eigen::Quaterniond q(v[6], v[3], v[4], v[5]);
    const double norm = q.norm();
    if (!(norm > 1e-6) || !std::isfinite(norm))
        return std::nullopt;
    Eigen::Matrix4d matrix = Eigen::Matrix4d::Identity();
    matrix.topLeftCorner<3, 3>() = (Eigen::Quaterniond(q.coeffs() / norm)).toRotationMatrix();
    matrix.topRightCorner<3, 1>() = Eigen::Vector3d(v[0], v[1], v[2]);
    return matrix;
}

/// A pose that no tracker can report (scaled, sheared, not finite, no rotation) is passed on as not tracked:
/// the peer did send the tool, but nothing downstream may place anything with it. Its matrix is kept for the
/// log when it is finite; otherwise the identity stands in, so that no NaN travels further.
TrackingInstrument makeInstrument(const std::string& name, const std::optional<Eigen::Matrix4d>& pose,
                                  int64_t timestamp)
{
    const bool rigid = pose && Pose::isRigid(*pose);
    const Eigen::Matrix4d matrix = pose && pose->allFinite() ? *pose : Eigen::Matrix4d::Identity();
    return TrackingInstrument{ TrackerID(name, "OpenIGTLink", name), matrix, rigid ? 1.0 : 0.0, timestamp, rigid };
}

OpenIGTLinkMessageDecoder::Result failure(std::string error, bool framingLost = false)
{
    OpenIGTLinkMessageDecoder::Result result;
    result.error = std::move(error);
    result.framingLost = framingLost;
    return result;
}

} // namespace

bool OpenIGTLinkMessageDecoder::isTrackingType(const std::string& type)
{
    return type == "TRANSFORM" || type == "TDATA" || type == "QTDATA" || type == "POSITION";
}

int64_t OpenIGTLinkMessageDecoder::timestampToMicroseconds(uint64_t timestamp)
{
    const uint64_t seconds = timestamp >> 32;
    const uint64_t fraction = timestamp & 0xffffffffu;
    return static_cast<int64_t>(seconds * 1000000u + ((fraction * 1000000u + (uint64_t(1) << 31)) >> 32));
}

uint64_t OpenIGTLinkMessageDecoder::microsecondsToTimestamp(int64_t microseconds)
{
    if (microseconds <= 0)
        return 0;
    const uint64_t us = static_cast<uint64_t>(microseconds);
    uint64_t seconds = us / 1000000u;
    // Rounded to the nearest 2^-32 s, so that timestampToMicroseconds gives back the same microseconds.
    uint64_t fraction = (((us % 1000000u) << 32) + 500000u) / 1000000u;
    if (fraction > 0xffffffffu)
    {
        fraction -= uint64_t(1) << 32;
        ++seconds;
    }
    return ((seconds & 0xffffffffu) << 32) | fraction;
}

OpenIGTLinkMessageDecoder::Result OpenIGTLinkMessageDecoder::decodeHeader(const uint8_t* data, size_t size,
                                                                          Header& header)
{
    if (data == nullptr || size < headerSize)
        return failure(fmt::format("message of {} bytes is shorter than the {}-byte header", size, headerSize));
    header.version = static_cast<uint16_t>(readBigEndian(data, 2));
    header.type = readText(data + 2, 12);
    header.deviceName = readText(data + 14, nameSize);
    header.timestamp = readBigEndian(data + 34, 8);
    header.bodySize = readBigEndian(data + 42, 8);
    header.crc = readBigEndian(data + 50, 8);

    // Versions 1 to 3 exist. A type field that is empty or not plain text means we are not looking at a header.
    if (header.version < 1 || header.version > 3)
        return failure(fmt::format("header version {} is not an OpenIGTLink version", header.version), true);
    if (header.type.empty() || header.type.find('?') != std::string::npos)
        return failure("header type field is not text", true);
    if (header.bodySize > maximumBodySize)
        return failure(fmt::format("{} message '{}' announces a body of {} bytes (more than {})", header.type,
                                   header.deviceName, header.bodySize, maximumBodySize),
                       true);
    Result result;
    result.message = Message{ header, timestampToMicroseconds(header.timestamp), {} };
    return result;
}

OpenIGTLinkMessageDecoder::Result OpenIGTLinkMessageDecoder::decode(const uint8_t* data, size_t size)
{
    Header header;
    Result result = decodeHeader(data, size, header);
    if (!result.ok())
        return result;
    Message& message = *result.message;
    const std::string what = fmt::format("{} message '{}'", header.type, header.deviceName);

    if (size - headerSize != header.bodySize)
        return failure(fmt::format("{}: header announces a body of {} bytes but {} follow", what, header.bodySize,
                                   size - headerSize));
    const uint8_t* body = data + headerSize;
    const size_t bodySize = static_cast<size_t>(header.bodySize);

    if (!isTrackingType(header.type))
        return failure(fmt::format("{}: message type not handled (only TRANSFORM, TDATA, QTDATA, POSITION)", what));
    // Version 3 puts an extended header and metadata around the content; no tracker we know sends it.
    if (header.version > 2)
        return failure(fmt::format("{}: header version {} not supported", what, header.version));
    if (crc64(const_cast<unsigned char*>(body), bodySize, 0) != header.crc)
        return failure(fmt::format("{}: CRC of the body does not match", what));

    const int64_t timestamp = message.timestampMicroseconds;
    if (header.type == "TRANSFORM")
    {
        if (bodySize != transformBodySize)
            return failure(fmt::format("{}: body of {} bytes, expected {}", what, bodySize, transformBodySize));
        if (header.deviceName.empty())
            return failure(fmt::format("{}: no device name to identify the instrument", what));
        message.instruments.push_back(makeInstrument(header.deviceName, readMatrix(body), timestamp));
    }
    else if (header.type == "POSITION")
    {
        // Position only, position with x, y, z of the quaternion, or position with the whole quaternion.
        int quaternionComponents = -1;
        if (bodySize == 12)
            quaternionComponents = 0;
        else if (bodySize == 24)
            quaternionComponents = 3;
        else if (bodySize == 28)
            quaternionComponents = 4;
        if (quaternionComponents < 0)
            return failure(fmt::format("{}: body of {} bytes, expected 12, 24 or 28", what, bodySize));
        if (header.deviceName.empty())
            return failure(fmt::format("{}: no device name to identify the instrument", what));
        message.instruments.push_back(
          makeInstrument(header.deviceName, readPositionQuaternion(body, quaternionComponents), timestamp));
    }
    else
    {
        const bool quaternions = header.type == "QTDATA";
        const size_t elementSize = quaternions ? qtdataElementSize : tdataElementSize;
        if (bodySize % elementSize != 0)
            return failure(fmt::format("{}: body of {} bytes is not a whole number of {}-byte elements", what, bodySize,
                                       elementSize));
        for (size_t offset = 0; offset < bodySize; offset += elementSize)
        {
            const uint8_t* element = body + offset;
            const std::string name = readText(element, nameSize);
            const size_t index = offset / elementSize;
            if (name.empty())
                return failure(fmt::format("{}: element {} has no name to identify the instrument", what, index));
            const auto pose = quaternions ? readPositionQuaternion(element + nameSize + 2, 4)
                                          : std::optional<Eigen::Matrix4d>(readMatrix(element + nameSize + 2));
            message.instruments.push_back(makeInstrument(name, pose, timestamp));
        }
    }
    return result;
}

} // namespace Kelvaros
