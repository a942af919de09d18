#pragma once

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
        if (e.timestampDevice != a.timestampDevice)
            return ::testing::AssertionFailure()
                   << "sample " << i << ": timestamp " << a.timestampDevice << " instead of " << e.timestampDevice;
        if (e.instruments.size() != a.instruments.size())
            return ::testing::AssertionFailure() << "sample " << i << ": " << a.instruments.size()
                                                 << " instruments instead of " << e.instruments.size();
        for (size_t j = 0; j < e.instruments.size(); ++j)
        {
            const TrackingInstrument& ei = e.instruments[j];
            const TrackingInstrument& ai = a.instruments[j];
            bool matrixSame = true;
            for (int k = 0; k < 16; ++k)
                matrixSame = matrixSame && same(ei.matrix(k / 4, k % 4), ai.matrix(k / 4, k % 4));
            if (ei.id != ai.id || !matrixSame || !same(ei.quality, ai.quality) || ei.timestamp != ai.timestamp ||
                ei.tracked != ai.tracked)
                return ::testing::AssertionFailure() << "sample " << i << ", instrument " << j << " ('" << ei.id.ID()
                                                     << "' / '" << ai.id.ID() << "') differs:\n"
                                                     << ei.matrix << "\nquality " << ei.quality << " ts "
                                                     << ei.timestamp << " tracked " << ei.tracked << "\nvs\n"
                                                     << ai.matrix << "\nquality " << ai.quality << " ts "
                                                     << ai.timestamp << " tracked " << ai.tracked;
        }
    }
    return ::testing::AssertionSuccess();
}

} // namespace Kelvaros::Testing
