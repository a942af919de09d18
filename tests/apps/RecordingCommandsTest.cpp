#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "stream/io/TrackingSequenceFile.h"

#include "ExitCode.h"
#include "StreamCommands.h"

using namespace Kelvaros;
using namespace Kelvaros::Nav;
namespace fs = std::filesystem;

namespace
{
class RecordingCommandsTest : public ::testing::Test
{
protected:
    void SetUp() override { fs::create_directories(m_dir); }
    void TearDown() override { fs::remove_all(m_dir); }

    const fs::path m_dir = fs::temp_directory_path() / ("recording-commands-" + std::to_string(::getpid()));
};

/// Reads the child's standard error until `text` appeared or the deadline passed.
bool waitForText(int fd, const std::string& text, std::chrono::seconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string seen;
    pollfd descriptor{ fd, POLLIN, 0 };
    while (seen.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline)
    {
        char buffer[256];
        if (::poll(&descriptor, 1, 100) == 1)
        {
            const ssize_t size = ::read(fd, buffer, sizeof(buffer));
            if (size <= 0)
                return false;
            seen.append(buffer, size_t(size));
        }
    }
    return seen.find(text) != std::string::npos;
}
} // namespace

// A recording stopped by SIGTERM (a service manager, a shell's kill) writes what it recorded and leaves no temporary
// file.
TEST_F(RecordingCommandsTest, SigtermEndsARecordingWithWhatWasRecorded)
{
    const std::string out = (m_dir / "pivot.mha").string();
    int errors[2];
    ASSERT_EQ(::pipe(errors), 0);
    const pid_t child = ::fork();
    if (child == 0)
    {
        ::dup2(errors[1], STDERR_FILENO);
        ::execl(KELVAROS_NAV_TOOL, "kelvaros-nav", "record", "--source", "sim", "--out", out.c_str(), "--seconds",
                "600", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(errors[1]);
    // The first progress line comes after a second of recording.
    const bool recording = waitForText(errors[0], " samples\n", std::chrono::seconds(60));
    ::kill(child, SIGTERM);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(errors[0]);

    ASSERT_TRUE(recording);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), ExitSuccess);
    const auto samples = TrackingSequenceFile::read(out);
    ASSERT_TRUE(samples);
    EXPECT_GT(samples->size(), 10u);
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 1);
}

// Every frame of a long recording comes out of the smoothed stream into the file: none passes before the writer
// listens.
TEST_F(RecordingCommandsTest, SmoothingALargeFileLosesNothing)
{
    const std::string in = (m_dir / "large.mha").string();
    const std::string out = (m_dir / "smoothed.mha").string();
    std::vector<TrackingSample> samples;
    for (int64_t i = 0; i < 50000; ++i)
        samples.push_back({ i * 1000,
                            { TrackingInstrument{ TrackerID("Probe", "", "Probe"), Eigen::Matrix4d::Identity(), 1.0,
                                                  i * 1000, true } } });
    ASSERT_TRUE(TrackingSequenceFile::write(in, samples));
    ASSERT_EQ(runSmooth({ "--in", in, "--out", out }), ExitSuccess);
    const auto smoothed = TrackingSequenceFile::read(out);
    ASSERT_TRUE(smoothed);
    EXPECT_EQ(smoothed->size(), samples.size());
}

// A peer that accepts the connection and sends nothing: the recording fails, says so, and writes no file.
TEST_F(RecordingCommandsTest, ARecordingOfNothingFails)
{
    const int server = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::listen(server, 4), 0);
    ::getsockname(server, reinterpret_cast<sockaddr*>(&address), &size);
    const std::string out = (m_dir / "nothing.mha").string();

    ::testing::internal::CaptureStderr();
    const int code = runRecord(
      { "--source", "igtl://127.0.0.1:" + std::to_string(ntohs(address.sin_port)), "--out", out, "--seconds", "0.5" });
    const std::string error = ::testing::internal::GetCapturedStderr();
    ::close(server);
    EXPECT_EQ(code, ExitFailure);
    EXPECT_NE(error.find("received 0 samples"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(out));
}
