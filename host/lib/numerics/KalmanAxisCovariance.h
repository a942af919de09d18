#pragma once

#include <algorithm>
#include <cmath>

namespace Kelvaros::KalmanDetail
{

/// Covariance of one axis of a constant-velocity filter: state (p, v), P = [[pp, pv], [pv, vv]].
/// Both host Kalman filters keep one of these for all their axes (see KalmanPosition for why one suffices).
/// Internal to the host library; not exported. Defined inline: it is the bulk of every filter step.
struct AxisCovariance
{
    double pp = 0.0;
    double pv = 0.0;
    double vv = 0.0;

    /// P := F P F^T + Q over `dt` with the white-noise-acceleration Q of acceleration variance `accelerationVariance`.
    void predict(double dt, double accelerationVariance);
    /// Kalman gain (position, velocity) for a direct position measurement of variance `measurementVariance`, and
    /// P := (I - K H) P. Returns false (and leaves P alone) when the innovation variance is not positive and finite.
    bool update(double measurementVariance, double& gainPosition, double& gainVelocity);
    /// Covariance right after two-point initialisation: first position known with variance `anchorVariance`, second
    /// measured `elapsed` later with variance `measurementVariance`, velocity = their difference quotient.
    void twoPoint(double anchorVariance, double measurementVariance, double elapsed);
    [[nodiscard]] bool isFinite() const;
};

inline void AxisCovariance::predict(double dt, double accelerationVariance)
{
    // Q = q G G^T with G = [dt^2/2, dt]. Written with the acceleration standard deviation so that the stream's
    // q = (c / dt^2)^2 gives g = c / 2 exactly instead of (huge * tiny) products.
    const double h = std::sqrt(accelerationVariance) * dt; // velocity increment std
    const double g = 0.5 * h * dt;                         // position increment std
    const double newPp = pp + dt * (2.0 * pv + dt * vv) + g * g;
    const double newPv = pv + dt * vv + g * h;
    const double newVv = vv + h * h;
    pp = newPp;
    pv = newPv;
    vv = newVv;
}

inline bool AxisCovariance::update(double measurementVariance, double& gainPosition, double& gainVelocity)
{
    const double s = pp + measurementVariance;
    if (!(s > 0.0) || !std::isfinite(s))
        return false;
    gainPosition = pp / s;
    gainVelocity = pv / s;
    // (I - K H) P in the form that keeps pp and pv exact; vv loses pv^2 / s. Rounding can leave P a hair outside the
    // positive semi-definite cone, which later steps would amplify, so vv is held at or above pv^2 / pp.
    const double r = measurementVariance / s;
    const double newVv = vv - pv * gainVelocity;
    pp *= r;
    pv *= r;
    vv = newVv;
    if (pp > 0.0)
        vv = std::max(vv, pv * pv / pp);
    else
        vv = std::max(vv, 0.0);
    return true;
}

inline void AxisCovariance::twoPoint(double anchorVariance, double measurementVariance, double elapsed)
{
    // p = z2, v = (z2 - z1) / T with Var(z1) = a, Var(z2) = r independent:
    // Var(p) = r, Cov(p, v) = r / T, Var(v) = (r + a) / T^2.
    pp = measurementVariance;
    pv = measurementVariance / elapsed;
    vv = (measurementVariance + anchorVariance) / (elapsed * elapsed);
}

inline bool AxisCovariance::isFinite() const
{
    return std::isfinite(pp) && std::isfinite(pv) && std::isfinite(vv);
}

} // namespace Kelvaros::KalmanDetail
