#include <map>
#include <mutex>

#include <gtest/gtest.h>

#include "LogExpectation.h"

namespace Kelvaros::Testing
{
namespace
{
struct Expectation
{
    int level;
    std::string fragment;
    int count = 0;
};

struct CaptureState
{
    std::mutex mutex;
    std::vector<Log::Record> records;
    std::vector<Log::Record> unclaimed;
    std::map<int, Expectation> expectations;
    int nextId = 1;
};

CaptureState& state()
{
    static CaptureState instance;
    return instance;
}

void capture(const Log::Record& record)
{
    CaptureState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.records.push_back(record);
    bool claimed = false;
    for (auto& [id, e] : s.expectations)
    {
        if (e.level == record.level && record.message.find(e.fragment) != std::string::npos)
        {
            ++e.count;
            claimed = true;
        }
    }
    if (!claimed && record.level >= Log::Warning)
        s.unclaimed.push_back(record);
}

/// Fails a test that logged a warning or error nobody expected.
class UnexpectedLogListener : public ::testing::EmptyTestEventListener
{
    void OnTestStart(const ::testing::TestInfo&) override
    {
        CaptureState& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.records.clear();
        s.unclaimed.clear();
    }

    void OnTestEnd(const ::testing::TestInfo&) override
    {
        CaptureState& s = state();
        std::vector<Log::Record> unclaimed;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            unclaimed.swap(s.unclaimed);
        }
        for (const auto& r : unclaimed)
            ADD_FAILURE() << "unexpected " << Log::levelName(r.level) << " in the log: " << r.category << ": "
                          << r.message;
    }
};
} // namespace

LogExpectation::LogExpectation(int level, std::string fragment, int expectedCount)
  : m_level(level)
  , m_fragment(std::move(fragment))
  , m_expectedCount(expectedCount)
{
    CaptureState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    m_id = s.nextId++;
    s.expectations.emplace(m_id, Expectation{m_level, m_fragment});
}

LogExpectation::~LogExpectation()
{
    const int seen = count();
    {
        CaptureState& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.expectations.erase(m_id);
    }
    if (m_expectedCount < 0)
        EXPECT_GT(seen, 0) << "expected a " << Log::levelName(m_level) << " containing \"" << m_fragment << "\"";
    else
        EXPECT_EQ(seen, m_expectedCount) << "messages at " << Log::levelName(m_level) << " containing \""
                                         << m_fragment << "\"";
}

int LogExpectation::count() const
{
    CaptureState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.expectations.at(m_id).count;
}

std::vector<Log::Record> capturedLog()
{
    CaptureState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.records;
}

} // namespace Kelvaros::Testing

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    Kelvaros::Log::g_globalLevel = Kelvaros::Log::Debug;
    Kelvaros::Log::setConsoleEnabled(false);
    Kelvaros::Log::addSink(&Kelvaros::Testing::capture);
    ::testing::UnitTest::GetInstance()->listeners().Append(new Kelvaros::Testing::UnexpectedLogListener);
    return RUN_ALL_TESTS();
}
