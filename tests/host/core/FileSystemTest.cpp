#include "core/FileSystem.h"

#include <filesystem>

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
