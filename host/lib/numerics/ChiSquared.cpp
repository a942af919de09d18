#include "ChiSquared.h"

#include <cmath>
#include <limits>

namespace Kelvaros::ChiSquared
{

namespace
{
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kEpsilon = 1e-15;
constexpr int kMaxTerms = 10000;

/// log(x^a e^-x / Gamma(a)), the factor both expansions below share.
double logPrefactor(double a, double x)
{
    return a * std::log(x) - x - std::lgamma(a);
}

/// Lower regularised gamma P(a, x) from its power series, x^a e^-x / Gamma(a) · sum_n x^n / (a (a+1) ... (a+n)),
/// whose terms shrink fast for x < a + 1.
double lowerBySeries(double a, double x)
{
    double term = 1.0 / a;
    double sum = term;
    for (int n = 1; n < kMaxTerms; ++n)
    {
        term *= x / (a + n);
        sum += term;
        if (std::abs(term) < std::abs(sum) * kEpsilon)
            break;
    }
    return sum * std::exp(logPrefactor(a, x));
}

/// Upper regularised gamma Q(a, x) from its continued fraction
/// x^a e^-x / Gamma(a) · 1 / (x + 1 - a - 1 (1 - a) / (x + 3 - a - 2 (2 - a) / (x + 5 - a - ...))),
/// evaluated forward with the modified Lentz method; it converges fast for x > a + 1.
double upperByContinuedFraction(double a, double x)
{
    constexpr double tiny = 1e-300;
    double b = x + 1.0 - a;
    double c = 1.0 / tiny;
    double d = 1.0 / b;
    double h = d;
    for (int i = 1; i < kMaxTerms; ++i)
    {
        const double an = -i * (i - a);
        b += 2.0;
        d = an * d + b;
        if (std::abs(d) < tiny)
            d = tiny;
        c = b + an / c;
        if (std::abs(c) < tiny)
            c = tiny;
        d = 1.0 / d;
        const double step = d * c;
        h *= step;
        if (std::abs(step - 1.0) < kEpsilon)
            break;
    }
    return std::exp(logPrefactor(a, x)) * h;
}

bool valid(double x, double dof)
{
    return std::isfinite(dof) && dof > 0.0 && !std::isnan(x);
}
} // namespace

double upperTail(double x, double dof)
{
    if (!valid(x, dof))
        return kNaN;
    if (x <= 0.0)
        return 1.0;
    if (std::isinf(x))
        return 0.0;
    const double a = 0.5 * dof;
    const double half = 0.5 * x;
    // Each expansion is used where it converges fast; the other side follows as 1 - it.
    return half < a + 1.0 ? 1.0 - lowerBySeries(a, half) : upperByContinuedFraction(a, half);
}

double cdf(double x, double dof)
{
    if (!valid(x, dof))
        return kNaN;
    if (x <= 0.0)
        return 0.0;
    if (std::isinf(x))
        return 1.0;
    const double a = 0.5 * dof;
    const double half = 0.5 * x;
    return half < a + 1.0 ? lowerBySeries(a, half) : 1.0 - upperByContinuedFraction(a, half);
}

double quantile(double probability, double dof)
{
    if (!(probability > 0.0 && probability < 1.0) || !valid(0.0, dof))
        return kNaN;
    // The distribution function rises monotonically: bracket the answer by doubling, then bisect to the last bit.
    // A few dozen evaluations; speed does not matter where this is used (once per registration).
    double low = 0.0;
    double high = dof + 10.0;
    while (cdf(high, dof) < probability)
    {
        low = high;
        high *= 2.0;
    }
    for (int i = 0; i < 200 && high - low > 1e-14 * high; ++i)
    {
        const double middle = 0.5 * (low + high);
        (cdf(middle, dof) < probability ? low : high) = middle;
    }
    return 0.5 * (low + high);
}

} // namespace Kelvaros::ChiSquared
