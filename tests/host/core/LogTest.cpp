#include "core/Log.h"

#include <atomic>
#include <thread>
#include <vector>

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

/// Restores the global level the test main set, whatever the test does.
class LogLevelGuard
{
public:
    explicit LogLevelGuard(int level) : m_saved(Log::g_globalLevel) { Log::g_globalLevel = level; }
    ~LogLevelGuard() { Log::g_globalLevel = m_saved; }

private:
    int m_saved;
};
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
    LogLevelGuard level(Log::Warning);
    Expensive::formatted = 0;
    const size_t before = Testing::capturedLog().size();

    EXPECT_FALSE(Log::isAccepted(Log::Info, "LogTest"));
    EXPECT_TRUE(Log::isAccepted(Log::Warning, "LogTest"));
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
}

TEST(LogTest, SinksReceiveRecordsUntilRemoved)
{
    std::vector<Log::Record> received;
    const int handle = Log::addSink([&](const Log::Record& r) { received.push_back(r); });
    Log::logf(Log::Info, "Category", "{} + {} = {}", 1, 2, 3);
    Log::log(Log::Debug, "", "debug");
    Log::removeSink(handle);
    Log::log(Log::Info, "Category", "after removal");
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].message, "1 + 2 = 3");
    EXPECT_EQ(received[0].category, "Category");
    EXPECT_EQ(received[0].level, Log::Info);
    EXPECT_EQ(received[1].level, Log::Debug);
    EXPECT_TRUE(received[1].category.empty());
    Log::removeSink(handle); // unknown handle is ignored
}

TEST(LogTest, RemovedSinkIsNotCalledWhileOtherThreadsLog)
{
    std::atomic<bool> stop{ false };
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
        threads.emplace_back(
          [&, i]
          {
              while (!stop)
              {
                  Log::logf(Log::Debug, "LogTest", "thread {}", i);
                  std::this_thread::yield();
              }
          });
    for (int round = 0; round < 10; ++round)
    {
        std::atomic<int> calls{ 0 };
        std::atomic<bool> removed{ false };
        std::atomic<int> callsAfterRemoval{ 0 };
        const int handle = Log::addSink(
          [&](const Log::Record&)
          {
              if (removed)
                  ++callsAfterRemoval;
              ++calls;
          });
        while (calls < 5)
            std::this_thread::yield();
        Log::removeSink(handle);
        removed = true;
        for (int i = 0; i < 100; ++i)
            std::this_thread::yield();
        EXPECT_EQ(callsAfterRemoval, 0);
    }
    stop = true;
    for (auto& t : threads)
        t.join();
}
