#include "core/LogRateLimiter.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LogExpectation.h"

using namespace Kelvaros;
using namespace std::chrono_literals;

TEST(LogRateLimiter, RepeatsAreCountedAndReportedOncePerIntervalWithinBoundedKeys)
{
    struct Case
    {
        size_t maximumKeys;
        std::vector<std::pair<std::chrono::milliseconds, std::string>> messages; // clock advance, key
        std::vector<std::string> lines; // the lines logged, then (sorted) the counts flush() logs
    };
    const std::vector<Case> cases{
        { 4,
          { { 0ms, "a" }, { 10ms, "a" }, { 10ms, "a" }, { 1000ms, "a" }, { 999ms, "a" } },
          { "a0", "a3 (2 more like this since the last report)", "1 more like this since the last report: a3" } },
        { 4,
          { { 0ms, "a" }, { 0ms, "b" }, { 0ms, "a" }, { 0ms, "b" } },
          { "a0", "b1", "1 more like this since the last report: a0", "1 more like this since the last report: b1" } },
        { 2,
          { { 0ms, "a" }, { 0ms, "b" }, { 0ms, "c" }, { 0ms, "d" }, { 0ms, "e" }, { 1000ms, "f" } },
          { "a0", "b1", "c2", "f5 (2 more messages of other kinds since the last report)" } },
    };
    Testing::LogExpectation warnings(Log::Warning, "", -1);
    for (const Case& c : cases)
    {
        auto now = LogRateLimiter::Clock::time_point(1h);
        LogRateLimiter limiter("Peer", 1s, c.maximumKeys, [&] { return now; });
        const size_t first = Testing::capturedLog().size();
        for (size_t i = 0; i < c.messages.size(); ++i)
        {
            now += c.messages[i].first;
            limiter.logf(Log::Warning, c.messages[i].second, "{}{}", c.messages[i].second, i);
        }
        EXPECT_LE(limiter.numKeys(), c.maximumKeys + 1);
        const size_t whileRunning = Testing::capturedLog().size() - first;
        limiter.flush();
        EXPECT_EQ(limiter.numKeys(), 0u);
        std::vector<std::string> lines;
        for (const auto& record : Testing::capturedLog())
            lines.push_back(record.message);
        lines.erase(lines.begin(), lines.begin() + std::ptrdiff_t(first));
        std::sort(lines.begin() + std::ptrdiff_t(whileRunning), lines.end()); // counts come in no particular order
        EXPECT_EQ(lines, c.lines);
    }
}
