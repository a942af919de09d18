#include "stream/igtl/OpenIGTLinkTrackingServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include <fmt/format.h>
#include <igtlTrackingDataMessage.h>
#include <igtlTransformMessage.h>

#include "core/Log.h"
#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"
#include "stream/igtl/OpenIGTLinkMessageDecoder.h"

namespace Kelvaros
{

namespace
{
constexpr const char* logCategory = "OpenIGTLinkTrackingServer";
constexpr size_t maximumNameLength = 20;
/// Samples waiting for the server thread. It drains the queue within milliseconds; the bound only matters if
/// the machine stalls, and then the oldest samples are the least useful.
constexpr size_t maximumQueuedSamples = 1000;
constexpr int pollIntervalMs = 100;
/// Pause of accepting after it failed for lack of descriptors or memory: the pending connection keeps the listening
/// socket readable, so retrying at once would spin.
constexpr std::chrono::milliseconds acceptRetryDelay{ 250 };

std::string cut(const std::string& name)
{
    return name.size() > maximumNameLength ? name.substr(0, maximumNameLength) : name;
}

void toIgtl(const Eigen::Matrix4d& pose, igtl::Matrix4x4& matrix)
{
    for (int row = 0; row < 4; ++row)
        for (int column = 0; column < 4; ++column)
            matrix[row][column] = static_cast<float>(pose(row, column));
}

void append(std::vector<uint8_t>& bytes, igtl::MessageBase& message)
{
    message.Pack();
    const auto* data = static_cast<const uint8_t*>(message.GetPackPointer());
    bytes.insert(bytes.end(), data, data + message.GetPackSize());
}

void closeDescriptor(int& descriptor)
{
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
}
} // namespace

/// One connected client: its socket and the bytes not yet accepted by its kernel buffer.
struct OpenIGTLinkTrackingServer::Client
{
    int socket = -1;
    std::string peer;
    std::vector<uint8_t> output;
    size_t sent = 0; // bytes of output already sent

    ~Client() { closeDescriptor(socket); }
};

OpenIGTLinkTrackingServer::OpenIGTLinkTrackingServer(TrackingStream& stream) : m_stream(stream)
{
    stream.signalStreamData.connect(this, &OpenIGTLinkTrackingServer::onStreamData);
}

OpenIGTLinkTrackingServer::~OpenIGTLinkTrackingServer()
{
    disconnectAll();
    stop();
}

std::vector<uint8_t> OpenIGTLinkTrackingServer::encodeSample(const TrackingStreamData& sample,
                                                             const std::string& deviceName, bool transforms)
{
    std::vector<uint8_t> bytes;
    std::vector<const TrackingInstrument*> tracked;
    for (const TrackingInstrument& instrument : sample.instrumentList())
        if (instrument.tracked && !instrument.ID().empty() && instrument.matrix.allFinite())
            tracked.push_back(&instrument);
    if (tracked.empty())
        return bytes;

    const int64_t microseconds = sample.timestampDevice() > 0 ? sample.timestampDevice() : sample.timestampArrival();
    const uint64_t timestamp = OpenIGTLinkMessageDecoder::microsecondsToTimestamp(microseconds);
    const auto seconds = static_cast<unsigned int>(timestamp >> 32);
    const auto fraction = static_cast<unsigned int>(timestamp & 0xffffffffu);

    igtl::TrackingDataMessage::Pointer tdata = igtl::TrackingDataMessage::New();
    tdata->SetDeviceName(cut(deviceName).c_str());
    tdata->SetTimeStamp(seconds, fraction);
    for (const TrackingInstrument* instrument : tracked)
    {
        igtl::TrackingDataElement::Pointer element = igtl::TrackingDataElement::New();
        element->SetName(cut(instrument->ID()).c_str());
        element->SetType(igtl::TrackingDataElement::TYPE_6D);
        igtl::Matrix4x4 matrix;
        toIgtl(instrument->matrix, matrix);
        element->SetMatrix(matrix);
        tdata->AddTrackingDataElement(element);
    }
    append(bytes, *tdata);

    if (transforms)
        for (const TrackingInstrument* instrument : tracked)
        {
            igtl::TransformMessage::Pointer transform = igtl::TransformMessage::New();
            transform->SetDeviceName(cut(instrument->ID()).c_str());
            transform->SetTimeStamp(seconds, fraction);
            igtl::Matrix4x4 matrix;
            toIgtl(instrument->matrix, matrix);
            transform->SetMatrix(matrix);
            append(bytes, *transform);
        }
    return bytes;
}

bool OpenIGTLinkTrackingServer::isRunning() const
{
    return m_thread.joinable();
}

int OpenIGTLinkTrackingServer::listeningPort() const
{
    return m_listeningPort.load();
}

size_t OpenIGTLinkTrackingServer::numClients() const
{
    return m_numClients.load();
}

int64_t OpenIGTLinkTrackingServer::numSamplesSent() const
{
    return m_samplesSent.load();
}

bool OpenIGTLinkTrackingServer::start()
{
    if (isRunning())
        return true;
    const std::string address = bindAddress.value();
    const int portNumber = port.value();
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    if (portNumber < 0 || portNumber > 65535 || ::inet_pton(AF_INET, address.c_str(), &socketAddress.sin_addr) != 1)
    {
        Log::logf(Log::Error, logCategory, "Server of stream '{}': '{}:{}' is not an IPv4 address and port",
                  m_stream.name(), address, portNumber);
        return false;
    }
    socketAddress.sin_port = htons(static_cast<uint16_t>(portNumber));

    m_listenSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (m_listenSocket >= 0)
        ::setsockopt(m_listenSocket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (m_listenSocket < 0 ||
        ::bind(m_listenSocket, reinterpret_cast<const sockaddr*>(&socketAddress), sizeof socketAddress) != 0 ||
        ::listen(m_listenSocket, 8) != 0 || !createWakePipe())
    {
        Log::logf(Log::Error, logCategory, "Server of stream '{}': cannot listen on {}:{}: {}", m_stream.name(),
                  address, portNumber, std::strerror(errno));
        closeSockets();
        return false;
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(m_listenSocket, reinterpret_cast<sockaddr*>(&bound), &length);
    m_listeningPort = ntohs(bound.sin_port);

    m_deviceName = m_stream.name();
    m_transforms = sendTransforms.value();
    m_maximumBacklog = size_t(std::max(1, maximumBacklogKiB.value())) * 1024;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_queue.clear();
    }
    m_stopRequested = false;
    m_thread = std::thread([this] { serve(); });
    m_accepting = true;
    Log::logf(Log::Info, logCategory, "Server of stream '{}': listening on {}:{}", m_stream.name(), address,
              m_listeningPort.load());
    return true;
}

void OpenIGTLinkTrackingServer::stop()
{
    if (!isRunning())
        return;
    m_accepting = false;
    m_stopRequested = true;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        wakeLocked();
    }
    m_thread.join();
    closeSockets();
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_queue.clear();
    }
}

void OpenIGTLinkTrackingServer::closeSockets()
{
    m_clients.clear();
    m_numClients = 0;
    closeDescriptor(m_listenSocket);
    closeDescriptor(m_wakePipe[0]);
    std::lock_guard<std::mutex> lock(m_queueMutex);
    closeDescriptor(m_wakePipe[1]);
    m_listeningPort = 0;
}

void OpenIGTLinkTrackingServer::wakeLocked()
{
    // Non-blocking: when the pipe is full a wake-up is pending anyway.
    const char byte = 1;
    if (m_wakePipe[1] >= 0) [[maybe_unused]]
        auto written = ::write(m_wakePipe[1], &byte, 1);
}

bool OpenIGTLinkTrackingServer::createWakePipe()
{
    int pipe[2] = { -1, -1 };
    if (::pipe2(pipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    m_wakePipe[0] = pipe[0];
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_wakePipe[1] = pipe[1];
    return true;
}

void OpenIGTLinkTrackingServer::onStreamData(const std::shared_ptr<const StreamData>& data)
{
    // Stream's delivery thread: queue and return; packing and sending happen on the server thread.
    auto sample = std::dynamic_pointer_cast<const TrackingStreamData>(data);
    if (!sample || !m_accepting.load() || m_numClients.load() == 0)
        return;
    bool warn = false;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_queue.push_back(std::move(sample));
        if (m_queue.size() > maximumQueuedSamples)
        {
            m_queue.pop_front();
            warn = m_droppedSamples++ == 0;
        }
        wakeLocked();
    }
    if (warn)
        Log::logf(Log::Warning, logCategory,
                  "Server of stream '{}': the server thread falls behind the stream; dropping the oldest samples",
                  m_stream.name());
}

void OpenIGTLinkTrackingServer::acceptClients()
{
    for (;;)
    {
        sockaddr_in peerAddress{};
        socklen_t length = sizeof peerAddress;
        const int socket =
          ::accept4(m_listenSocket, reinterpret_cast<sockaddr*>(&peerAddress), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (socket < 0)
        {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            {
                if (!std::exchange(m_acceptFailing, true))
                    Log::logf(Log::Warning, logCategory,
                              "Server of stream '{}': cannot accept clients ({}); retrying every {} ms",
                              m_stream.name(), std::strerror(errno), acceptRetryDelay.count());
                m_acceptResume = std::chrono::steady_clock::now() + acceptRetryDelay;
            }
            return;
        }
        if (std::exchange(m_acceptFailing, false))
            Log::logf(Log::Info, logCategory, "Server of stream '{}': accepting clients again", m_stream.name());
        const int one = 1;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // A large kernel buffer would only hide a slow reader behind seconds of stale poses.
        const int sendBuffer = int(std::min<size_t>(m_maximumBacklog, 1 << 20));
        ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        auto client = std::make_unique<Client>();
        client->socket = socket;
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &peerAddress.sin_addr, text, sizeof text);
        client->peer = fmt::format("{}:{}", text, ntohs(peerAddress.sin_port));
        Log::logf(Log::Info, logCategory, "Server of stream '{}': client {} connected", m_stream.name(), client->peer);
        m_clients.push_back(std::move(client));
        m_numClients = m_clients.size();
    }
}

bool OpenIGTLinkTrackingServer::acceptPaused(int& timeoutMs) const
{
    const auto remaining =
      std::chrono::ceil<std::chrono::milliseconds>(m_acceptResume - std::chrono::steady_clock::now());
    if (remaining.count() <= 0)
        return false;
    timeoutMs = std::min(timeoutMs, int(remaining.count()));
    return true;
}

void OpenIGTLinkTrackingServer::dropClient(size_t index, int level, const std::string& reason)
{
    Log::logf(level, logCategory, "Server of stream '{}': client {} {}", m_stream.name(), m_clients[index]->peer,
              reason);
    m_clients.erase(m_clients.begin() + std::ptrdiff_t(index));
    m_numClients = m_clients.size();
}

void OpenIGTLinkTrackingServer::serve()
{
    std::vector<pollfd> descriptors;
    std::vector<uint8_t> scratch(4096);
    while (!m_stopRequested.load())
    {
        descriptors.clear();
        descriptors.push_back({ m_wakePipe[0], POLLIN, 0 });
        int timeoutMs = pollIntervalMs;
        // poll ignores a negative descriptor: the slot stays, so the indices below hold.
        descriptors.push_back({ acceptPaused(timeoutMs) ? -1 : m_listenSocket, POLLIN, 0 });
        for (const auto& client : m_clients)
            descriptors.push_back(
              { client->socket, short(POLLIN | (client->sent < client->output.size() ? POLLOUT : 0)), 0 });
        if (::poll(descriptors.data(), descriptors.size(), timeoutMs) < 0 && errno != EINTR)
        {
            Log::logf(Log::Error, logCategory, "Server of stream '{}': poll failed: {}", m_stream.name(),
                      std::strerror(errno));
            return;
        }
        if (descriptors[0].revents & POLLIN)
            while (::read(m_wakePipe[0], scratch.data(), scratch.size()) > 0)
            {
            }

        // Clients: anything they send is read and ignored (we only publish); end of file means they left.
        // Indices of descriptors and clients match until acceptClients adds new ones below.
        for (size_t i = m_clients.size(); i-- > 0;)
        {
            const short events = descriptors[i + 2].revents;
            if (events & (POLLIN | POLLHUP | POLLERR))
            {
                const ssize_t n = ::recv(m_clients[i]->socket, scratch.data(), scratch.size(), MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                    dropClient(i, Log::Info, "disconnected");
            }
        }
        if (descriptors[1].revents & POLLIN)
            acceptClients();

        std::deque<std::shared_ptr<const TrackingStreamData>> samples;
        int64_t dropped = 0;
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            samples.swap(m_queue);
            std::swap(dropped, m_droppedSamples);
        }
        if (dropped > 0)
            Log::logf(Log::Info, logCategory, "Server of stream '{}': caught up after dropping {} samples",
                      m_stream.name(), dropped);
        for (const auto& sample : samples)
        {
            if (m_clients.empty())
                break;
            const std::vector<uint8_t> bytes = encodeSample(*sample, m_deviceName, m_transforms);
            if (bytes.empty())
                continue;
            for (auto& client : m_clients)
                client->output.insert(client->output.end(), bytes.begin(), bytes.end());
            ++m_samplesSent;
        }

        for (size_t i = m_clients.size(); i-- > 0;)
        {
            Client& client = *m_clients[i];
            int error = 0;
            while (client.sent < client.output.size())
            {
                const ssize_t n = ::send(client.socket, client.output.data() + client.sent,
                                         client.output.size() - client.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n <= 0)
                {
                    error = n < 0 ? errno : EAGAIN;
                    break;
                }
                client.sent += size_t(n);
            }
            if (client.sent == client.output.size())
            {
                client.output.clear();
                client.sent = 0;
            }
            else if (client.sent < client.output.size() && error != EAGAIN && error != EWOULDBLOCK && error != EINTR)
                dropClient(i, Log::Info, fmt::format("disconnected ({})", std::strerror(error)));
            else if (client.output.size() - client.sent > m_maximumBacklog)
                dropClient(i, Log::Warning,
                           fmt::format("disconnected: it reads too slowly ({} KiB unsent)",
                                       (client.output.size() - client.sent) / 1024));
            else if (client.sent > m_maximumBacklog)
            {
                client.output.erase(client.output.begin(), client.output.begin() + std::ptrdiff_t(client.sent));
                client.sent = 0;
            }
        }
    }
}

} // namespace Kelvaros
