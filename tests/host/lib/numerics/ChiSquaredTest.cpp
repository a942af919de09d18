#include "lib/numerics/ChiSquared.h"

#include <cmath>

#include <gtest/gtest.h>

using namespace Kelvaros;

namespace
{
// Percentiles from the printed tables (Abramowitz and Stegun, table 26.8), to their five or six digits.
TEST(ChiSquared, QuantilesMatchTheTables)
{
    const struct
    {
        double probability, dof, expected;
    } rows[] = { { 0.99, 1, 6.63490 },  { 0.99, 3, 11.3449 },   { 0.99, 12, 26.2170 }, { 0.95, 10, 18.3070 },
                 { 0.99, 30, 50.8922 }, { 0.99, 100, 135.807 }, { 0.01, 12, 3.57056 } };
    for (const auto& row : rows)
    {
        const double x = ChiSquared::quantile(row.probability, row.dof);
        EXPECT_NEAR(x, row.expected, 5e-6 * row.expected) << row.dof << " " << row.probability;
        EXPECT_NEAR(ChiSquared::upperTail(x, row.dof), 1.0 - row.probability, 1e-12);
    }
}

// Two degrees of freedom give the exponential distribution: P(X > x) = exp(-x / 2), on both sides of the switch
// between the series and the continued fraction.
TEST(ChiSquared, UpperTailOfTwoDegreesIsExponential)
{
    for (const double x : { 1e-3, 1.0, 5.0, 6.0, 40.0, 600.0 })
        EXPECT_NEAR(ChiSquared::upperTail(x, 2) / std::exp(-x / 2), 1.0, 1e-12) << x;
    EXPECT_EQ(ChiSquared::upperTail(-1.0, 3), 1.0);
    EXPECT_TRUE(std::isnan(ChiSquared::upperTail(1.0, 0.0)));
    EXPECT_TRUE(std::isnan(ChiSquared::quantile(1.0, 3.0)));
}
} // namespace
