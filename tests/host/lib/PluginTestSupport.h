#pragma once

#include <string>
#include <vector>

#include "LogExpectation.h"

namespace Kelvaros::Testing
{

/// Position of the first captured message equal to `message`, or -1.
inline int logIndex(const std::string& message)
{
    const std::vector<Log::Record> records = capturedLog();
    for (size_t i = 0; i < records.size(); ++i)
        if (records[i].message == message)
            return int(i);
    return -1;
}

/// The captured records of a level whose text contains `fragment`.
inline std::vector<Log::Record> logRecords(int level, const std::string& fragment)
{
    std::vector<Log::Record> found;
    for (const Log::Record& r : capturedLog())
        if (r.level == level && r.message.find(fragment) != std::string::npos)
            found.push_back(r);
    return found;
}

} // namespace Kelvaros::Testing
