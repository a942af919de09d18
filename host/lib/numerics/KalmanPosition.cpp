#include "KalmanPosition.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace Kelvaros
{

namespace KalmanDetail
{

void AxisCovariance::predict(double dt, double accelerationVariance)
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

bool AxisCovariance::update(double measurementVariance, double& gainPosition, double& gainVelocity)
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

void AxisCovariance::twoPoint(double anchorVariance, double measurementVariance, double elapsed)
{
    // p = z2, v = (z2 - z1) / T with Var(z1) = a, Var(z2) = r independent:
    // Var(p) = r, Cov(p, v) = r / T, Var(v) = (r + a) / T^2.
    pp = measurementVariance;
    pv = measurementVariance / elapsed;
    vv = (measurementVariance + anchorVariance) / (elapsed * elapsed);
}

bool AxisCovariance::isFinite() const
{
    return std::isfinite(pp) && std::isfinite(pv) && std::isfinite(vv);
}

} // namespace KalmanDetail

void KalmanPosition::init(const Eigen::Vector3d& position, double variance)
{
    processVariance = variance;
    static_cast<void>(effectiveProcessVariance());
    m_velocity.setZero();
    m_covariance = {};
    m_sinceAnchor = 0.0;
    m_anchorVariance = 1.0;
    if (position.allFinite())
    {
        m_position = position;
        m_phase = Phase::Anchored;
    }
    else
    {
        m_position.setZero();
        m_phase = Phase::Empty;
    }
}

void KalmanPosition::setMeasurementVariance(double variance)
{
    if (variance > 0.0 && std::isfinite(variance))
        m_measurementVariance = variance;
}

Eigen::Vector3d KalmanPosition::update(const Eigen::Vector3d& measurement, double dt)
{
    predict(dt);
    fuse(measurement);
    return m_position;
}

Eigen::Vector3d KalmanPosition::update(double dt)
{
    predict(dt);
    return m_position;
}

double KalmanPosition::positionVariance() const
{
    switch (m_phase)
    {
        case Phase::Tracking:
            return m_covariance.pp;
        case Phase::Anchored:
            return m_anchorVariance * m_measurementVariance;
        case Phase::Empty:
            break;
    }
    return std::numeric_limits<double>::infinity();
}

double KalmanPosition::effectiveProcessVariance()
{
    if (processVariance >= 0.0 && std::isfinite(processVariance))
        m_lastValidProcessVariance = processVariance;
    return m_lastValidProcessVariance;
}

void KalmanPosition::predict(double dt)
{
    const double q = effectiveProcessVariance();
    if (!(dt > 0.0) || !std::isfinite(dt))
        return;
    switch (m_phase)
    {
        case Phase::Empty:
            return;
        case Phase::Anchored:
            // Without a velocity the position is held; the elapsed time is what the two-point start needs.
            m_sinceAnchor = std::min(m_sinceAnchor + dt, std::numeric_limits<double>::max());
            return;
        case Phase::Tracking:
            break;
    }
    const Eigen::Vector3d predicted = m_position + m_velocity * dt;
    KalmanDetail::AxisCovariance covariance = m_covariance;
    covariance.predict(dt, q);
    if (!predicted.allFinite() || !covariance.isFinite())
    {
        // Only an absurd dt gets here; nothing about the old track is worth keeping. The last estimate stays
        // readable and the next measurement starts afresh.
        m_phase = Phase::Empty;
        m_velocity.setZero();
        return;
    }
    m_position = predicted;
    m_covariance = covariance;
}

void KalmanPosition::fuse(const Eigen::Vector3d& measurement)
{
    if (!measurement.allFinite())
        return;
    const double r = m_measurementVariance;
    switch (m_phase)
    {
        case Phase::Empty:
            m_position = measurement;
            m_velocity.setZero();
            m_anchorVariance = 1.0;
            m_sinceAnchor = 0.0;
            m_phase = Phase::Anchored;
            return;
        case Phase::Anchored:
            if (m_sinceAnchor > 0.0)
            {
                m_velocity = (measurement - m_position) / m_sinceAnchor;
                m_position = measurement;
                m_covariance.twoPoint(m_anchorVariance * r, r, m_sinceAnchor);
                m_phase = Phase::Tracking;
            }
            else
            {
                // Same instant: the anchor is an average of equally noisy measurements, its variance a fraction of r
                // (kept relative to r because `init` runs before the stream sets the measurement variance).
                const double w = m_anchorVariance / (m_anchorVariance + 1.0);
                m_position += w * (measurement - m_position);
                m_anchorVariance = w;
            }
            return;
        case Phase::Tracking:
            break;
    }
    double gainPosition = 0.0;
    double gainVelocity = 0.0;
    if (!m_covariance.update(r, gainPosition, gainVelocity))
        return;
    const Eigen::Vector3d innovation = measurement - m_position;
    m_position += gainPosition * innovation;
    m_velocity += gainVelocity * innovation;
}

} // namespace Kelvaros
