#include "core/String.h"

#include <gtest/gtest.h>

using namespace Kelvaros;

using Pieces = std::vector<std::string>;

TEST(StringTest, Split)
{
    EXPECT_EQ(String::split("a;;b", ";"), (Pieces{ "a", "", "b" }));
    EXPECT_EQ(String::split("a;;b", ";", true), (Pieces{ "a", "b" }));
    EXPECT_EQ(String::split("", ";"), (Pieces{ "" }));
    EXPECT_EQ(String::split("", ";", true), Pieces{});
    EXPECT_EQ(String::split(";", ";"), (Pieces{ "", "" }));
    EXPECT_EQ(String::split("a b,c", " ,"), (Pieces{ "a", "b", "c" }));
    EXPECT_EQ(String::split("abc", ""), (Pieces{ "abc" }));
}

TEST(StringTest, TrimAndStartsWith)
{
    EXPECT_EQ(String::trim(" \t a b \r\n"), "a b");
    EXPECT_EQ(String::trim("   "), "");
    EXPECT_EQ(String::trim(""), "");
    EXPECT_EQ(String::trim("x"), "x");
    EXPECT_TRUE(String::startsWith("Streaming/Smooth", "Streaming"));
    EXPECT_TRUE(String::startsWith("abc", ""));
    EXPECT_FALSE(String::startsWith("ab", "abc"));
    EXPECT_FALSE(String::startsWith("xabc", "abc"));
}
