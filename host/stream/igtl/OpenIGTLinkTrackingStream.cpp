#include "stream/igtl/OpenIGTLinkTrackingStream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include <fmt/format.h>
#include <fmt/ostream.h>

#include "core/Log.h"
#include "stream/TrackingStreamData.h"
#include "stream/igtl/OpenIGTLinkMessageDecoder.h"

namespace Kelvaros
{

namespace
{
constexpr const char* logCategory = "OpenIGTLinkTrackingStream";
/// Quiet time after which the messages gathered for one time stamp are published.
constexpr int gatherWindowMs = 5;
/// Receive timeout when nothing is pending: bounds how long stop() waits for the delivery thread.
constexpr int idleReceiveTimeoutMs = 100;
/// Bodies larger than this are not buffered; no tracking message comes near it.
constexpr uint64_t maximumBufferedBody = uint64_t(1) << 20;
constexpr size_t receiveChunk = 64 * 1024;
/// How long one connection attempt may take. The library's client socket has no such bound: an unreachable host
/// held the delivery thread, and with it stop(), for the system's connect timeout (minutes).
constexpr int connectTimeoutMs = 2000;
/// Kinds of fault (fault and device) warned about one by one; a real tracker has a handful of tools.
constexpr size_t maximumFaultKinds = 16;

/// Connects a socket to one resolved address within the timeout; the socket is left blocking.
bool connectWithin(int fd, const addrinfo& address, int timeoutMs)
{
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return false;
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0)
    {
        if (errno != EINPROGRESS)
            return false;
        pollfd waiting{ fd, POLLOUT, 0 };
        int error = 0;
        socklen_t length = sizeof(error);
        if (::poll(&waiting, 1, timeoutMs) != 1 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
            error != 0)
            return false;
    }
    return ::fcntl(fd, F_SETFL, flags) == 0;
}
} // namespace

/// The client socket of one connection.
class OpenIGTLinkTrackingStream::Connection
{
public:
    ~Connection()
    {
        if (fd >= 0)
            ::close(fd);
    }

    /// Connects to the first address of the host that answers within the timeout.
    bool open(const std::string& hostName, int portNumber)
    {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* addresses = nullptr;
        if (::getaddrinfo(hostName.c_str(), std::to_string(portNumber).c_str(), &hints, &addresses) != 0)
            return false;
        for (const addrinfo* address = addresses; address && fd < 0; address = address->ai_next)
        {
            fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
            if (fd >= 0 && !connectWithin(fd, *address, connectTimeoutMs))
            {
                ::close(fd);
                fd = -1;
            }
        }
        ::freeaddrinfo(addresses);
        if (fd < 0)
            return false;
        // Tracking messages are small and late ones are worthless: no coalescing.
        const int noDelay = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay));
        return true;
    }

    /// Like recv() into `chunk`, but gives up after `timeoutMs` with -1 and errno EAGAIN.
    int receive(int timeoutMs)
    {
        pollfd waiting{ fd, POLLIN, 0 };
        const int ready = ::poll(&waiting, 1, timeoutMs);
        if (ready == 0)
            errno = EAGAIN;
        if (ready <= 0)
            return -1;
        return int(::recv(fd, chunk.data(), chunk.size(), 0));
    }

    int fd = -1;
    std::vector<uint8_t> chunk = std::vector<uint8_t>(receiveChunk);
};

OpenIGTLinkTrackingStream::OpenIGTLinkTrackingStream(std::string name)
  : TrackingStream(std::move(name)), m_faultLog(logCategory, std::chrono::seconds(5), maximumFaultKinds)
{
}

OpenIGTLinkTrackingStream::~OpenIGTLinkTrackingStream()
{
    closeOnDestruction();
}

std::string OpenIGTLinkTrackingStream::describe() const
{
    return fmt::format("{} ({}, OpenIGTLink client of {}:{}, {} samples, {} messages skipped)", name(),
                       stateName(state()), host.value(), port.value(), numSamples(), numSkippedMessages());
}

int64_t OpenIGTLinkTrackingStream::numSamples() const
{
    std::lock_guard<std::mutex> lock(m_countersMutex);
    return m_samples;
}

int64_t OpenIGTLinkTrackingStream::numSkippedMessages() const
{
    std::lock_guard<std::mutex> lock(m_countersMutex);
    return m_skipped;
}

int64_t OpenIGTLinkTrackingStream::numConnections() const
{
    std::lock_guard<std::mutex> lock(m_countersMutex);
    return m_connections;
}

bool OpenIGTLinkTrackingStream::connect(bool reconnecting)
{
    const std::string hostName = host.value();
    const int portNumber = port.value();
    if (portNumber < 1 || portNumber > 65535)
    {
        Log::logf(Log::Error, logCategory, "Stream '{}': port {} is not a TCP port", name(), portNumber);
        return false;
    }
    auto connection = std::make_unique<Connection>();
    if (!connection->open(hostName, portNumber))
    {
        noteError(fmt::format("cannot connect to {}:{}", hostName, portNumber));
        if (!reconnecting)
            Log::logf(Log::Error, logCategory, "Stream '{}': cannot connect to OpenIGTLink server {}:{}", name(),
                      hostName, portNumber);
        return false;
    }
    m_connection = std::move(connection);
    m_buffer.clear();
    m_discardRemaining = 0;
    m_messageReceived = false;
    m_faultLog.flush();
    {
        std::lock_guard<std::mutex> lock(m_countersMutex);
        ++m_connections;
    }
    Log::logf(Log::Info, logCategory, "Stream '{}': {} OpenIGTLink server {}:{}", name(),
              reconnecting ? "reconnected to" : "connected to", hostName, portNumber);
    return true;
}

bool OpenIGTLinkTrackingStream::openImpl()
{
    clearPending();
    m_keptInstruments.clear();
    m_capWarned = false;
    m_backoff = std::chrono::milliseconds(0);
    return connect(false);
}

bool OpenIGTLinkTrackingStream::startImpl()
{
    // The connection may have been lost while the stream ran before a stop.
    return m_connection || connect(false);
}

bool OpenIGTLinkTrackingStream::stopImpl()
{
    // The delivery thread has ended: what it gathered for the last instant is complete.
    flushSample();
    return true;
}

bool OpenIGTLinkTrackingStream::closeImpl()
{
    m_connection.reset();
    m_buffer.clear();
    clearPending();
    m_faultLog.flush();
    return true;
}

std::chrono::milliseconds OpenIGTLinkTrackingStream::nextBackoff(std::chrono::milliseconds previous) const
{
    const auto minimum = std::chrono::milliseconds(std::max(1, reconnectMinimumMs.value()));
    const auto maximum = std::chrono::milliseconds(std::max(1, reconnectMaximumMs.value()));
    return std::min(std::max(previous * 2, minimum), std::max(minimum, maximum));
}

void OpenIGTLinkTrackingStream::noteError(std::string error)
{
    std::lock_guard<std::mutex> lock(m_countersMutex);
    m_lastError = std::move(error);
}

std::string OpenIGTLinkTrackingStream::lastError() const
{
    std::lock_guard<std::mutex> lock(m_countersMutex);
    return m_lastError;
}

void OpenIGTLinkTrackingStream::connectionLost(const std::string& reason)
{
    flushSample();
    m_connection.reset();
    m_buffer.clear();
    m_discardRemaining = 0;
    // A peer that accepts and hangs up at once never earns a fast retry.
    m_backoff = nextBackoff(m_messageReceived ? std::chrono::milliseconds(0) : m_backoff);
    changeState(State::Disconnected);
    noteError("connection lost: " + reason);
    Log::logf(Log::Warning, logCategory, "Stream '{}': connection to OpenIGTLink server {}:{} lost ({}); reconnecting",
              name(), host.value(), port.value(), reason);
}

std::optional<Stream::WorkContinuation> OpenIGTLinkTrackingStream::doWork()
{
    if (!m_connection)
    {
        if (connect(true))
        {
            if (state() == State::Disconnected)
                changeState(State::Running);
            return WorkContinuation::immediately();
        }
        m_backoff = nextBackoff(m_backoff);
        Log::logf(Log::Debug, logCategory, "Stream '{}': server {}:{} not reachable, next attempt in {} ms", name(),
                  host.value(), port.value(), m_backoff.count());
        return WorkContinuation::after(m_backoff);
    }

    Connection& connection = *m_connection;
    errno = 0;
    const int received = connection.receive(m_pending.empty() ? idleReceiveTimeoutMs : gatherWindowMs);
    const int error = errno;
    if (received > 0)
    {
        receive(connection.chunk.data(), size_t(received));
        if (!m_connection) // the byte stream was beyond repair
            return WorkContinuation::after(m_backoff);
        return WorkContinuation::immediately();
    }
    if (received < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR))
    {
        flushSample();
        return WorkContinuation::immediately();
    }
    connectionLost(received == 0 ? std::string("closed by the server") : std::string(std::strerror(error)));
    return WorkContinuation::after(m_backoff);
}

void OpenIGTLinkTrackingStream::receive(const uint8_t* data, size_t size)
{
    if (m_discardRemaining > 0)
    {
        const size_t n = size_t(std::min<uint64_t>(m_discardRemaining, size));
        m_discardRemaining -= n;
        data += n;
        size -= n;
    }
    m_buffer.insert(m_buffer.end(), data, data + size);

    size_t offset = 0;
    while (m_buffer.size() - offset >= OpenIGTLinkMessageDecoder::headerSize)
    {
        const uint8_t* message = m_buffer.data() + offset;
        const size_t available = m_buffer.size() - offset;
        OpenIGTLinkMessageDecoder::Header header;
        const auto result = OpenIGTLinkMessageDecoder::decodeHeader(message, available, header);
        if (!result.ok())
        {
            {
                std::lock_guard<std::mutex> lock(m_countersMutex);
                ++m_skipped;
            }
            connectionLost(fmt::format("message boundaries lost: {}", result.error));
            return;
        }
        if (!OpenIGTLinkMessageDecoder::isTrackingType(header.type) || header.bodySize > maximumBufferedBody)
        {
            // Not worth buffering: skip the header now and the body as it arrives.
            const bool tracking = OpenIGTLinkMessageDecoder::isTrackingType(header.type);
            skipMessage(header.type, header.deviceName,
                        fmt::format("{} message '{}': {}", header.type, header.deviceName,
                                    tracking ? fmt::format("body of {} bytes is too large", header.bodySize)
                                             : std::string("message type not handled (only TRANSFORM, TDATA, "
                                                           "QTDATA, POSITION)")));
            offset += OpenIGTLinkMessageDecoder::headerSize;
            const size_t n = size_t(std::min<uint64_t>(header.bodySize, m_buffer.size() - offset));
            offset += n;
            m_discardRemaining = header.bodySize - n;
            continue;
        }
        const size_t total = OpenIGTLinkMessageDecoder::headerSize + size_t(header.bodySize);
        if (available < total)
            break;
        handleMessage(message, total);
        offset += total;
    }
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + std::ptrdiff_t(offset));
}

void OpenIGTLinkTrackingStream::handleMessage(const uint8_t* data, size_t size)
{
    auto result = OpenIGTLinkMessageDecoder::decode(data, size);
    if (!result.ok())
    {
        OpenIGTLinkMessageDecoder::Header header;
        (void)OpenIGTLinkMessageDecoder::decodeHeader(data, size, header);
        skipMessage(header.type, header.deviceName, result.error);
        return;
    }
    OpenIGTLinkMessageDecoder::Message& message = *result.message;
    m_messageReceived = true;
    dropBeyondCap(message.instruments);
    if (message.instruments.empty())
        return;
    warnAboutUntracked(message.header.type, message.header.deviceName, message.instruments);
    const int64_t timestamp = message.timestampMicroseconds;
    const auto key = [&](const TrackingInstrument& instrument) { return message.header.type + '\n' + instrument.ID(); };
    // A new time stamp starts a new sample. So does a tool that already came in a message of this type: a sender
    // that sends no time stamps (0), or always the same one, still sends each tool once per type and instant.
    // (A TDATA and a TRANSFORM for one tool and instant, as our own server sends them, are one record.)
    bool newInstant = m_pendingTimestamp && *m_pendingTimestamp != timestamp;
    for (const TrackingInstrument& instrument : message.instruments)
        newInstant = newInstant || m_pendingKeys.count(key(instrument)) > 0;
    if (newInstant)
        flushSample();
    m_pendingTimestamp = timestamp;
    for (const TrackingInstrument& instrument : message.instruments)
    {
        m_pendingKeys.insert(key(instrument));
        const auto [slot, added] = m_pendingIndex.emplace(instrument.ID(), m_pending.size());
        if (added)
            m_pending.push_back(instrument);
        else
            m_pending[slot->second] = instrument;
    }
}

void OpenIGTLinkTrackingStream::dropBeyondCap(std::vector<TrackingInstrument>& instruments)
{
    size_t kept = 0;
    for (TrackingInstrument& instrument : instruments)
    {
        const bool known = m_keptInstruments.count(instrument.ID()) > 0;
        if (!known && m_keptInstruments.size() < maximumInstruments)
            m_keptInstruments.insert(instrument.ID());
        else if (!known)
        {
            if (!std::exchange(m_capWarned, true))
                Log::logf(Log::Warning, logCategory,
                          "Stream '{}': {}:{} sent more than {} distinct instruments; '{}' and every later new name "
                          "are ignored",
                          name(), host.value(), port.value(), maximumInstruments, instrument.ID());
            continue;
        }
        if (&instruments[kept] != &instrument)
            instruments[kept] = std::move(instrument);
        ++kept;
    }
    instruments.resize(kept);
}

void OpenIGTLinkTrackingStream::warnAboutUntracked(const std::string& type, const std::string& device,
                                                   const std::vector<TrackingInstrument>& instruments)
{
    for (const TrackingInstrument& instrument : instruments)
        if (!instrument.tracked)
            m_faultLog.logf(Log::Warning, "pose",
                            "Stream '{}': {} message '{}' from {}:{}: the pose of '{}' is not a finite rigid "
                            "transform; reported untracked:\n{}",
                            name(), type, device, host.value(), port.value(), instrument.ID(),
                            fmt::streamed(instrument.matrix));
}

void OpenIGTLinkTrackingStream::skipMessage(const std::string& kind, const std::string& device,
                                            const std::string& error)
{
    {
        std::lock_guard<std::mutex> lock(m_countersMutex);
        ++m_skipped;
    }
    m_faultLog.logf(Log::Warning, kind + '\n' + device + '\n' + error, "Stream '{}': skipped a message from {}:{}: {}",
                    name(), host.value(), port.value(), error);
}

void OpenIGTLinkTrackingStream::clearPending()
{
    m_pending.clear();
    m_pendingIndex.clear();
    m_pendingKeys.clear();
    m_pendingTimestamp.reset();
}

void OpenIGTLinkTrackingStream::flushSample()
{
    if (m_pending.empty())
    {
        clearPending();
        return;
    }
    auto sample = std::make_shared<TrackingStreamData>(this, std::move(m_pending));
    sample->setTimestampDevice(m_pendingTimestamp.value_or(0));
    sample->setTimestampArrival(StreamData::nowMicroseconds());
    clearPending();
    {
        std::lock_guard<std::mutex> lock(m_countersMutex);
        ++m_samples;
    }
    emitStreamData(std::move(sample));
}

} // namespace Kelvaros
