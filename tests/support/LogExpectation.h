#pragma once

#include <string>
#include <vector>

#include "core/Log.h"

namespace Kelvaros::Testing
{

/// Every test runs with the host log captured: a warning or error that no LogExpectation of the test claims
/// fails the test. A LogExpectation claims the messages of its level whose text contains `fragment`, and fails
/// the test when it goes out of scope without having seen any.
class LogExpectation
{
public:
    LogExpectation(int level, std::string fragment, int expectedCount = -1);
    ~LogExpectation();
    LogExpectation(const LogExpectation&) = delete;
    LogExpectation& operator=(const LogExpectation&) = delete;

    /// Messages claimed so far.
    [[nodiscard]] int count() const;

private:
    int m_level;
    std::string m_fragment;
    int m_expectedCount;
    int m_id;
};

/// Every message logged since the current test started (all levels at or above the global level).
std::vector<Log::Record> capturedLog();

} // namespace Kelvaros::Testing
