// Smooths a generated recording of 1,000,000 frames with `kelvaros-nav smooth` and reports the wall time and the
// tool's peak resident memory. The recording is generated through the incremental writer, so that this program's
// own memory stays small; the tool runs as a child process, so that its peak is its own.
//
// Usage: SmoothFileBench [frames] [folder]

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "stream/io/TrackingSequenceWriter.h"

using namespace Kelvaros;
namespace fs = std::filesystem;

namespace
{
/// A pointer circling at 60 Hz, 1 ms of jitter in its clock; one instrument per frame as a typical recording.
bool writeRecording(const std::string& path, long frames)
{
    TrackingSequenceWriter writer(path);
    if (!writer.open())
        return false;
    for (long i = 0; i < frames; ++i)
    {
        const double angle = 0.01 * double(i);
        Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
        pose.topLeftCorner<2, 2>() << std::cos(angle), -std::sin(angle), std::sin(angle), std::cos(angle);
        pose.topRightCorner<3, 1>() << 100 * std::cos(angle), 100 * std::sin(angle), -1000;
        const int64_t timestamp = int64_t(i) * 16667 + (i % 7) * 100;
        const TrackingSample sample{ timestamp,
                                     { { TrackerID("Pointer", "", "Pointer"), pose, 1.0, timestamp, true } } };
        if (writer.append(sample) != TrackingSequenceWriter::Result::Written)
            return false;
    }
    return writer.close();
}
} // namespace

int main(int argc, char** argv)
{
    const long frames = argc > 1 ? std::atol(argv[1]) : 1'000'000;
    const fs::path folder = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path();
    const std::string in = (folder / "smooth-bench-in.mha").string();
    const std::string out = (folder / "smooth-bench-out.mha").string();
    if (!writeRecording(in, frames))
        return 1;
    std::printf("Recording of %ld frames: %.1f MB\n", frames, double(fs::file_size(in)) / 1e6);

    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0)
    {
        ::execl(KELVAROS_NAV_TOOL, "kelvaros-nav", "smooth", "--in", in.c_str(), "--out", out.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::printf("smooth %s\n", ok ? "succeeded" : "FAILED");
    fs::remove(in);
    fs::remove(out);
    std::printf("FIGURE smooth_1M_seconds %.2f s\n", seconds);
    // ru_maxrss is in kilobytes on Linux.
    std::printf("FIGURE smooth_1M_peak_rss_mb %.1f MB\n", double(usage.ru_maxrss) / 1024.0);
    return ok ? 0 : 1;
}
