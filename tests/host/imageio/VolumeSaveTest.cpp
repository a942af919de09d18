#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "lib/SharedImageSet.h"

#include "LogExpectation.h"
#include "imageio/VolumeIO.h"

namespace Kelvaros
{
namespace
{
namespace fs = std::filesystem;
using Testing::LogExpectation;

class VolumeSaveTest : public ::testing::Test
{
protected:
    void SetUp() override { fs::create_directories(m_folder); }
    void TearDown() override { fs::remove_all(m_folder); }
    std::string file(const std::string& name) const { return (m_folder / name).string(); }

    const fs::path m_folder = fs::temp_directory_path() / fmt::format("volumesave-{}", ::getpid());
    SharedImageSet m_image{ "volume", { 20, 20, 20 }, { 1, 1, 1 } };
};

TEST_F(VolumeSaveTest, ADeviceOrAPipeIsWrittenInPlaceAndAFullOneFails)
{
    fs::create_symlink("/dev/full", file("full.mha"));
    LogExpectation error(Log::Error, "No space left on device", 1);
    EXPECT_NE(VolumeIO::save(m_image, file("full.mha")), "");
    EXPECT_TRUE(fs::is_symlink(file("full.mha")));

    ASSERT_EQ(::mkfifo(file("pipe.nrrd").c_str(), 0600), 0);
    const int reader = ::open(file("pipe.nrrd").c_str(), O_RDONLY | O_NONBLOCK);
    EXPECT_EQ(VolumeIO::save(m_image, file("pipe.nrrd")), "");
    char magic[4] = {};
    EXPECT_EQ(::read(reader, magic, 4), 4);
    EXPECT_EQ(std::string(magic, 4), "NRRD");
    ::close(reader);
    EXPECT_TRUE(fs::is_fifo(file("pipe.nrrd")));
}

TEST_F(VolumeSaveTest, AWriteCutShortLeavesTheOldFile)
{
    std::ofstream(file("old.mha")) << "old";
    std::mt19937 random(3); // noise, so that the file is larger than the limit below
    for (float& voxel : m_image.voxels())
        voxel = float(random() % 256);
    // Like a full disk, a file size limit cuts the write short; the MetaImage writer does not report it.
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    ::getrlimit(RLIMIT_FSIZE, &previous);
    rlimit limit = previous;
    limit.rlim_cur = 1024;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    LogExpectation error(Log::Error, "old.mha", 1);
    const std::string reason = VolumeIO::save(m_image, file("old.mha"));
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_NE(reason, "");
    EXPECT_EQ(fs::file_size(file("old.mha")), 3u);
}

} // namespace
} // namespace Kelvaros
