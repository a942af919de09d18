#include "CommandLine.h"

#include <gtest/gtest.h>

using Kelvaros::Nav::CommandLine;

namespace
{
const CommandLine::Syntax kSyntax{ { "out", "type" }, { "loop" }, 0, 1 };
}

TEST(CommandLine, ReadsOptionsFlagsAndPositionalsInAnyOrder)
{
    const CommandLine line({ "--out", "a.mha", "input.mha", "--loop", "--type=2" }, kSyntax);
    ASSERT_TRUE(line.ok()) << line.error();
    EXPECT_EQ(line.positional(), std::vector<std::string>{ "input.mha" });
    EXPECT_EQ(line.value("out"), "a.mha");
    EXPECT_TRUE(line.flag("loop"));
    std::string error;
    EXPECT_EQ(line.integer("type", 0, &error), 2);
    EXPECT_EQ(line.number("missing", 1.5, &error), 1.5);
    EXPECT_TRUE(error.empty());
}

TEST(CommandLine, RefusesWhatAScriptWouldGetWrong)
{
    EXPECT_EQ(CommandLine({ "--colour", "red" }, kSyntax).error(), "unknown option --colour");
    EXPECT_EQ(CommandLine({ "--out" }, kSyntax).error(), "option --out needs a value");
    EXPECT_EQ(CommandLine({ "--out", "a", "--out", "b" }, kSyntax).error(), "option --out given twice");
    EXPECT_EQ(CommandLine({ "a", "b" }, kSyntax).error(), "unexpected argument 'b'");
    EXPECT_EQ(CommandLine({}, CommandLine::Syntax{ {}, {}, 1, 1 }).error(), "missing argument");
    EXPECT_FALSE(CommandLine({ "--loop=yes" }, kSyntax).ok()); // a flag takes no value

    std::string error;
    EXPECT_FALSE(CommandLine({ "--type", "2.5" }, kSyntax).integer("type", 0, &error));
    EXPECT_EQ(error, "--type needs a whole number, not '2.5'");
    EXPECT_FALSE(CommandLine({ "--type", "nan" }, kSyntax).number("type", 0, &error));
}
