#include "core/Log.h"

#include <atomic>
#include <utility>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "LogExpectation.h"

using namespace Kelvaros;

namespace
{
/// A value whose formatting is counted, to prove that rejected messages are never formatted.
struct Expensive
{
    static std::atomic<int> formatted;
};
std::atomic<int> Expensive::formatted{ 0 };
} // namespace

template<>
struct fmt::formatter<Expensive> : fmt::formatter<std::string>
{
    template<typename Context>
    auto format(const Expensive&, Context& context) const
    {
        ++Expensive::formatted;
        return fmt::formatter<std::string>::format("expensive", context);
    }
};

TEST(LogTest, MessagesBelowTheGlobalLevelAreNeitherFormattedNorDelivered)
{
    const int savedLevel = std::exchange(Log::g_globalLevel, Log::Warning);
    Expensive::formatted = 0;
    const size_t before = Testing::capturedLog().size();

    Log::logf(Log::Debug, "LogTest", "value {}", Expensive{});
    Log::logf(Log::Info, "LogTest", "value {}", Expensive{});
    Log::log(Log::Info, "LogTest", "plain");
    EXPECT_EQ(Expensive::formatted, 0);
    EXPECT_EQ(Testing::capturedLog().size(), before);

    Testing::LogExpectation expect(Log::Warning, "value expensive", 1);
    Log::logf(Log::Warning, "LogTest", "value {}", Expensive{});
    EXPECT_EQ(Expensive::formatted, 1);
    const auto records = Testing::capturedLog();
    ASSERT_EQ(records.size(), before + 1);
    EXPECT_EQ(records.back().level, Log::Warning);
    EXPECT_EQ(records.back().category, "LogTest");
    EXPECT_EQ(records.back().message, "value expensive");
    Log::g_globalLevel = savedLevel;
}
