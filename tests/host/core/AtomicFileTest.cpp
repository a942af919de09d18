#include "core/AtomicFile.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/Properties.h"

#include "LogExpectation.h"

using namespace Kelvaros;
namespace fs = std::filesystem;

namespace
{
class AtomicFileTest : public ::testing::Test
{
protected:
    void SetUp() override { fs::create_directories(m_dir); }
    void TearDown() override { fs::remove_all(m_dir); }

    static std::string contents(const fs::path& path)
    {
        std::ostringstream text;
        text << std::ifstream(path, std::ios::binary).rdbuf();
        return text.str();
    }

    size_t entries() const { return size_t(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator())); }

    const fs::path m_dir = fs::temp_directory_path() / ("atomic-file-test-" + std::to_string(::getpid()));
};
} // namespace

// A disk that fills up while writing (here: the file-size limit, EFBIG), on the final flush, inside the buffer, or
// under a properties file, must leave the previous file as it was and no temporary file behind.
TEST_F(AtomicFileTest, AFailedWriteKeepsTheOldFile)
{
    const fs::path path = m_dir / "calibration.xml";
    ASSERT_TRUE(AtomicFile::writeFile(path.string(), "old"));
    Properties properties("calibration");
    properties.setParam("blob", std::string(8 << 10, 'x'));
    const std::function<bool()> writes[] = {
        [&] { return AtomicFile::writeFile(path.string(), std::string(8 << 10, 'x')); },
        [&] { return AtomicFile::writeFile(path.string(), std::string(3 << 20, 'x')); },
        [&] { return properties.saveToXmlFile(path.string()); },
    };
    Testing::LogExpectation reported(Log::Error, path.string() + ": cannot write: File too large", 1);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    for (const auto& write : writes)
    {
        rlimit small = saved;
        small.rlim_cur = 4096;
        ::setrlimit(RLIMIT_FSIZE, &small);
        const bool written = write();
        ::setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_FALSE(written);
        EXPECT_EQ(contents(path), "old");
        EXPECT_EQ(entries(), 1u);
    }
}

// Outputs that cannot take a new file are refused with the system's reason, and a device is written in place, never
// replaced by a regular file.
TEST_F(AtomicFileTest, UnwritableOutputsAreRefusedWithTheReason)
{
    const std::pair<std::string, std::string> cases[] = {
        { "/dev/full", "No space left on device" },
        { (m_dir / "missing" / "out.xml").string(), "No such file or directory" },
        { "/sys/out.xml", "Permission denied" },
        { m_dir.string(), "Is a directory" },
    };
    for (const auto& [path, reason] : cases)
    {
        std::string error;
        EXPECT_FALSE(AtomicFile::writeFile(path, "data", &error)) << path;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
    struct stat full
    {
    };
    ASSERT_EQ(::stat("/dev/full", &full), 0);
    EXPECT_TRUE(S_ISCHR(full.st_mode));
}

// Replacing through a link writes the file it points to and keeps the link and the file's permissions.
TEST_F(AtomicFileTest, ReplacesTheLinkedFileKeepingItsPermissions)
{
    const fs::path target = m_dir / "data.mha";
    const fs::path link = m_dir / "latest.mha";
    ASSERT_TRUE(AtomicFile::writeFile(target.string(), "old"));
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink(target, link);

    ASSERT_TRUE(AtomicFile::writeFile(link.string(), "new"));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(contents(target), "new");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(entries(), 2u);
}
