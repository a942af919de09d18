#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <Eigen/Geometry>
#include <igtlTransformMessage.h>
#include <igtl_util.h>

#include "stream/igtl/OpenIGTLinkMessageDecoder.h"

#include "GeometryTestSupport.h"

namespace Kelvaros::Testing
{

using Bytes = std::vector<uint8_t>;

inline void toIgtlMatrix(const Eigen::Matrix4d& pose, igtl::Matrix4x4& matrix)
{
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            matrix[r][c] = static_cast<float>(pose(r, c));
}

inline Bytes packed(igtl::MessageBase& message)
{
    message.Pack();
    const auto* data = static_cast<const uint8_t*>(message.GetPackPointer());
    return Bytes(data, data + message.GetPackSize());
}

inline void setTimestamp(igtl::MessageBase& message, int64_t microseconds)
{
    const uint64_t ts = OpenIGTLinkMessageDecoder::microsecondsToTimestamp(microseconds);
    message.SetTimeStamp(static_cast<unsigned>(ts >> 32), static_cast<unsigned>(ts & 0xffffffffu));
}

/// A TRANSFORM message packed by the OpenIGTLink library.
inline Bytes transformMessage(const std::string& device, const Eigen::Matrix4d& pose, int64_t microseconds)
{
    igtl::TransformMessage::Pointer message = igtl::TransformMessage::New();
    message->SetDeviceName(device.c_str());
    setTimestamp(*message, microseconds);
    igtl::Matrix4x4 matrix;
    toIgtlMatrix(pose, matrix);
    message->SetMatrix(matrix);
    return packed(*message);
}

inline void writeBigEndian(uint8_t* data, uint64_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i, value >>= 8)
        data[i] = static_cast<uint8_t>(value & 0xff);
}

/// The same header with another body: body size and CRC made consistent with it.
inline Bytes withBody(const Bytes& message, const Bytes& body)
{
    Bytes result(OpenIGTLinkMessageDecoder::headerSize + body.size());
    std::copy(message.begin(), message.begin() + OpenIGTLinkMessageDecoder::headerSize, result.begin());
    std::copy(body.begin(), body.end(), result.begin() + OpenIGTLinkMessageDecoder::headerSize);
    writeBigEndian(result.data() + 42, body.size(), 8);
    writeBigEndian(result.data() + 50, crc64(const_cast<uint8_t*>(body.data()), body.size(), 0), 8);
    return result;
}

/// The same message with another type name in its header.
inline Bytes withType(Bytes message, const std::string& type)
{
    std::memset(message.data() + 2, 0, 12);
    std::memcpy(message.data() + 2, type.data(), std::min<size_t>(type.size(), 12));
    return message;
}

/// The same message under another device name (up to 20 characters; the CRC covers the body only).
inline Bytes withDevice(Bytes message, const std::string& device)
{
    std::memset(message.data() + 14, 0, 20);
    std::memcpy(message.data() + 14, device.data(), std::min<size_t>(device.size(), 20));
    return message;
}

inline Bytes body(const Bytes& message)
{
    return Bytes(message.begin() + OpenIGTLinkMessageDecoder::headerSize, message.end());
}

inline void append(Bytes& to, const Bytes& bytes)
{
    to.insert(to.end(), bytes.begin(), bytes.end());
}

inline Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

/// A plain listening socket on 127.0.0.1 with a system-chosen port, for sending crafted bytes to a client.
class RawServer
{
public:
    RawServer() : m_socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(m_socket, 4);
        ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~RawServer()
    {
        ::close(m_client);
        ::close(m_socket);
    }
    int port() const { return m_port; }

    /// Drops the current client and waits for the next one (at most `timeout`); false when none came.
    bool accept(std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        ::close(std::exchange(m_client, -1));
        pollfd descriptor{ m_socket, POLLIN, 0 };
        if (::poll(&descriptor, 1, int(timeout.count())) == 1)
            m_client = ::accept(m_socket, nullptr, nullptr);
        return m_client >= 0;
    }
    /// A blocking send returns when every byte is handed to the system.
    bool send(const Bytes& bytes)
    {
        return ::send(m_client, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }

private:
    int m_socket;
    int m_client = -1;
    int m_port = 0;
};

/// A port on 127.0.0.1 that was free a moment ago (for servers that cannot report a system-chosen port).
inline int freeLocalPort()
{
    return RawServer().port();
}

} // namespace Kelvaros::Testing
