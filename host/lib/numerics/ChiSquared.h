#pragma once

#include "core/Export.h"

namespace Kelvaros::ChiSquared
{

/// The chi-squared distribution with `dof` degrees of freedom (the sum of `dof` squared standard normal variables),
/// through the regularised incomplete gamma function: P(X <= x) = P(dof / 2, x / 2). Accurate to the
/// order of 1e-12 (relative) for the degrees of freedom registrations have (3N - 6 for N up to thousands of pairs);
/// the logarithm of the common factor x^a e^-x / Gamma(a) loses digits to cancellation as the degrees grow. Pure
/// functions, any thread; NaN for dof not positive or non-finite input.

/// P(X > x): the probability that chance alone gives a value at least this large. 1 for x <= 0.
[[nodiscard]] KELVAROS_API double upperTail(double x, double dof);

/// P(X <= x). 0 for x <= 0.
[[nodiscard]] KELVAROS_API double cdf(double x, double dof);

/// The x with P(X <= x) = probability, for 0 < probability < 1 (the 99th percentile is quantile(0.99, dof)).
[[nodiscard]] KELVAROS_API double quantile(double probability, double dof);

} // namespace Kelvaros::ChiSquared
