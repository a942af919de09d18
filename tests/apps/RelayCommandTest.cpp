#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "stream/igtl/OpenIGTLinkTrackingStream.h"

#include "ExitCode.h"
#include "SampleCollector.h"
#include "StreamCommands.h"

using namespace Kelvaros;
using namespace Kelvaros::Nav;

namespace
{
sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

/// A port nobody listens on right now (the system's choice for a socket bound to port 0).
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof(address);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool isListening(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(port);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return connected;
}
} // namespace

// The relay follows the simulated tracker, smooths it through the loaded plug-in and serves the result; a client
// stream on the other end receives the three tools.
TEST(RelayCommand, ServesTheSmoothedSimulatorOverOpenIGTLink)
{
    const int port = freePort();
    int exitCode = -1;
    std::thread relay(
      [&] {
          exitCode = runRelay({ "--source", "sim", "--port", std::to_string(port), "--seconds", "4" });
      });
    for (int wait = 0; wait < 300 && !isListening(port); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    OpenIGTLinkTrackingStream client;
    client.port = port;
    SampleCollector received(client);
    // The relay ends by itself; it is joined before any check, so that a failed one cannot leave it running.
    const bool connected = client.open() && client.start();
    for (int wait = 0; connected && wait < 300 && received.size() < 20; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    client.stop();
    client.close();
    relay.join();

    ASSERT_TRUE(connected);
    EXPECT_EQ(exitCode, ExitSuccess);
    ASSERT_GE(received.size(), 20u);
    std::set<std::string> tools;
    for (const auto& sample : received.samples())
        for (const auto& instrument : sample.instruments)
            tools.insert(instrument.ID());
    EXPECT_EQ(tools, (std::set<std::string>{ "Needle", "Pointer", "Reference" }));
}
