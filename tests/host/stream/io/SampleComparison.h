#pragma once

#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "stream/io/TrackingSample.h"

namespace Kelvaros::Testing
{

/// Exact comparison (every double bit for bit, -0 and 0 apart) of two recordings, with the first difference named.
inline ::testing::AssertionResult samplesIdentical(const std::vector<TrackingSample>& expected,
                                                   const std::vector<TrackingSample>& actual)
{
    if (expected.size() != actual.size())
        return ::testing::AssertionFailure() << expected.size() << " samples expected, " << actual.size() << " found";
    const auto same = [](double a, double b) { return a == b && std::signbit(a) == std::signbit(b); };
    for (size_t i = 0; i < expected.size(); ++i)
    {
        const TrackingSample& e = expected[i];
        const TrackingSample& a = actual[i];
        bool equal = e.timestampDevice == a.timestampDevice && e.instruments.size() == a.instruments.size();
        for (size_t j = 0; equal && j < e.instruments.size(); ++j)
        {
            const TrackingInstrument& ei = e.instruments[j];
            const TrackingInstrument& ai = a.instruments[j];
            equal = ei.id == ai.id && same(ei.quality, ai.quality) && ei.timestamp == ai.timestamp &&
                    ei.tracked == ai.tracked;
            for (int k = 0; equal && k < 16; ++k)
                equal = same(ei.matrix(k / 4, k % 4), ai.matrix(k / 4, k % 4));
        }
        if (!equal)
            return ::testing::AssertionFailure()
                   << "sample " << i << " (timestamp " << e.timestampDevice << ") differs";
    }
    return ::testing::AssertionSuccess();
}

/// A scratch file name of its own for the running test and process.
inline std::string temporaryPath(const std::string& name)
{
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return (std::filesystem::temp_directory_path() /
            (std::string("kelvaros-") + test->name() + "-" + std::to_string(::getpid()) + "-" + name))
      .string();
}

} // namespace Kelvaros::Testing
