#include "core/FileSystem.h"

#include <filesystem>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace Kelvaros;

TEST(FileSystemTest, RelativeAndAbsolutePaths)
{
    EXPECT_EQ(FileSystem::makeAbsolute("/a/./b/../c/"), "/a/c");
    EXPECT_EQ(FileSystem::makeAbsolute("/"), "/");
    EXPECT_EQ(FileSystem::makeAbsolute("c/../d.xml", "/base/dir"), "/base/dir/d.xml");
    EXPECT_EQ(FileSystem::makeAbsolute("../x", "/base/dir/"), "/base/x");
    EXPECT_EQ(FileSystem::makeAbsolute("/abs/x", "/base"), "/abs/x");
    EXPECT_EQ(FileSystem::makeAbsolute("", "/base"), "/base");
    EXPECT_EQ(FileSystem::makeAbsolute("../../../..", "/a"), "/");

    const std::string cwd = std::filesystem::current_path().string();
    EXPECT_EQ(FileSystem::makeAbsolute("x.txt"), cwd + "/x.txt");
    EXPECT_EQ(FileSystem::makeAbsolute("x.txt", "sub"), cwd + "/sub/x.txt");
}

TEST(FileSystemTest, OnlyRegularFilesAreReadableInput)
{
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / ("fs-test-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const std::string fifo = (folder / "pipe").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string file = (folder / "file").string();
    { std::ofstream(file) << "x"; }

    EXPECT_EQ(FileSystem::whyNotReadable(file), "");
    EXPECT_EQ(FileSystem::fileSize(file), 1);
    EXPECT_EQ(FileSystem::whyNotReadable(fifo), "a pipe (FIFO), not a file");
    EXPECT_EQ(FileSystem::whyNotReadable("/dev/zero"), "a device, not a file");
    EXPECT_EQ(FileSystem::whyNotReadable(folder.string()), "a folder, not a file");
    EXPECT_EQ(FileSystem::whyNotReadable(folder.string(), true), "");
    EXPECT_EQ(FileSystem::whyNotReadable((folder / "none").string()), "no such file");
    fs::remove_all(folder);
}
