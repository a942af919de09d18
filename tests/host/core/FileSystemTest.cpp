#include "core/FileSystem.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

using namespace Kelvaros;

TEST(FileSystemTest, RelativeAndAbsolutePaths)
{
    EXPECT_TRUE(FileSystem::isRelative("a/b"));
    EXPECT_TRUE(FileSystem::isRelative("./a"));
    EXPECT_TRUE(FileSystem::isRelative(""));
    EXPECT_FALSE(FileSystem::isRelative("/a"));

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

TEST(FileSystemTest, ParentsExistenceAndExecutable)
{
    EXPECT_EQ(FileSystem::parentDirectory("/a/b/c.txt"), "/a/b");
    EXPECT_EQ(FileSystem::parentDirectory("c.txt"), "");
    EXPECT_EQ(FileSystem::parentDirectory("/c.txt"), "/");

    const std::string dir = FileSystem::executableDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_FALSE(FileSystem::isRelative(dir));
    EXPECT_TRUE(FileSystem::exists(dir));
    EXPECT_FALSE(FileSystem::exists(dir + "/no-such-file-here"));
    EXPECT_FALSE(FileSystem::exists(""));
}
