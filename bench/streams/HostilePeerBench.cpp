// A hostile OpenIGTLink peer: a local server sends TDATA and TRANSFORM messages under ever-new device names as fast
// as it can into an OpenIGTLinkTrackingStream, while a Qt event loop receives what the stream delivers as the
// workbench does (queued calls that read the instruments). Measures the longest stall of that loop (largest gap
// between ticks of a 1 ms timer) and the growth of the peak resident memory.
//
// HostilePeerBench [SECONDS] (default 4)
// HostilePeerBench --peer PORT [SECONDS]: only the peer, on 127.0.0.1:PORT, for a program under test to connect to
// (kelvaros-nav record --source igtl://127.0.0.1:PORT, the workbench).

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>

#include "stream/TrackingStreamData.h"
#include "stream/igtl/OpenIGTLinkTrackingServer.h"
#include "stream/igtl/OpenIGTLinkTrackingStream.h"

using namespace Kelvaros;
using Clock = std::chrono::steady_clock;

namespace
{

/// A field of /proc/self/status in KiB (VmRSS, VmHWM).
long statusKiB(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0)
            return std::atol(line.c_str() + field.size() + 1);
    return 0;
}

/// A listening socket on 127.0.0.1, on `port` or (0) on one the system chooses, which is stored in `port`.
int listenLocally(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    port = ntohs(address.sin_port);
    return fd;
}

/// 256 samples of one tool each, every tool under a name not used before, with fresh time stamps.
std::vector<uint8_t> nextBatch(int64_t& counter)
{
    std::vector<uint8_t> batch;
    for (int i = 0; i < 256; ++i, ++counter)
    {
        const std::string name = "tool" + std::to_string(counter);
        TrackingStreamData sample(nullptr, { TrackingInstrument{ TrackerID(name, "", name), Eigen::Matrix4d::Identity(),
                                                                 1.0, counter, true } });
        sample.setTimestampDevice(1000 + counter);
        const std::vector<uint8_t> bytes = OpenIGTLinkTrackingServer::encodeSample(sample, name, true);
        batch.insert(batch.end(), bytes.begin(), bytes.end());
    }
    return batch;
}

/// Accepts the stream's connection and floods it until `seconds` passed; returns the messages sent.
int64_t flood(int listener, double seconds)
{
    pollfd waiting{ listener, POLLIN, 0 };
    const int client = ::poll(&waiting, 1, 30000) == 1 ? ::accept(listener, nullptr, nullptr) : -1;
    ::close(listener); // the stream's attempts to reconnect afterwards find no server
    int64_t counter = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (client >= 0 && Clock::now() < end)
    {
        const std::vector<uint8_t> batch = nextBatch(counter);
        if (::send(client, batch.data(), batch.size(), MSG_NOSIGNAL) != ssize_t(batch.size()))
            break;
    }
    ::close(client);
    return counter * 2; // a TDATA and a TRANSFORM per tool
}

int peerOnly(int port, double seconds)
{
    const int listener = listenLocally(port);
    if (listener < 0)
        return 1;
    std::fprintf(stderr, "flooding the first client of 127.0.0.1:%d for %g s\n", port, seconds);
    std::printf("FIGURE hostile_peer_messages_sent %lld 1\n", static_cast<long long>(flood(listener, seconds)));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const bool peer = argc > 2 && std::string(argv[1]) == "--peer";
    const char* secondsArgument = peer ? (argc > 3 ? argv[3] : nullptr) : (argc > 1 ? argv[1] : nullptr);
    const double seconds = secondsArgument ? std::max(0.5, std::atof(secondsArgument)) : 4.0;
    if (peer)
        return peerOnly(std::atoi(argv[2]), seconds);
    QCoreApplication application(argc, argv);
    int port = 0;
    const int listener = listenLocally(port);
    if (listener < 0)
    {
        std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
        return 1;
    }
    const long rssBefore = statusKiB("VmRSS");

    OpenIGTLinkTrackingStream stream;
    stream.host = std::string("127.0.0.1");
    stream.port = port;
    std::atomic<int64_t> delivered{ 0 };
    std::atomic<bool> refreshQueued{ false };
    // As the workbench's views do: the delivery thread queues a refresh (one at a time) that reads the instruments.
    stream.signalStreamData.connect(
      [&](const std::shared_ptr<const StreamData>&)
      {
          ++delivered;
          if (!refreshQueued.exchange(true))
              QMetaObject::invokeMethod(
                &application,
                [&]
                {
                    refreshQueued = false;
                    (void)stream.activeInstruments();
                },
                Qt::QueuedConnection);
      });
    stream.signalInstrumentsChanged.connect(
      [&]
      {
          QMetaObject::invokeMethod(
            &application, [&] { (void)stream.instruments(); }, Qt::QueuedConnection);
      });

    int64_t sent = 0;
    std::thread sender([&] { sent = flood(listener, seconds); });
    if (!stream.open() || !stream.start())
    {
        std::fprintf(stderr, "the stream did not connect\n");
        sender.join();
        return 1;
    }

    double longestGapMs = 0.0;
    auto lastTick = Clock::now();
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout,
                     [&]
                     {
                         const auto now = Clock::now();
                         longestGapMs =
                           std::max(longestGapMs, std::chrono::duration<double, std::milli>(now - lastTick).count());
                         lastTick = now;
                     });
    ticker.start(1);
    QTimer::singleShot(int(seconds * 1000) + 500, &application, &QCoreApplication::quit);
    application.exec();
    sender.join();
    stream.close();

    const double growthMiB = double(statusKiB("VmHWM") - rssBefore) / 1024.0;
    std::printf("%lld messages under new names sent in %g s; %lld samples delivered, %zu instruments kept\n",
                static_cast<long long>(sent), seconds, static_cast<long long>(delivered.load()),
                stream.instruments().size());
    std::printf("FIGURE hostile_peer_messages_per_second %.0f 1/s\n", double(sent) / seconds);
    std::printf("FIGURE hostile_peer_longest_main_thread_stall %.1f ms\n", longestGapMs);
    std::printf("FIGURE hostile_peer_peak_rss_growth %.1f MiB\n", growthMiB);
    return 0;
}
