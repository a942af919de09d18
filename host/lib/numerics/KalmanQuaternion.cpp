#include "KalmanQuaternion.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace Kelvaros
{

namespace
{
/// A quaternion-component variance is a quarter of the rotation-angle variance it stands for (vector part = d / 2).
constexpr double kAngleVariancePerComponentVariance = 4.0;

Eigen::Quaterniond rotationVectorToQuaternion(const Eigen::Vector3d& rotation)
{
    const double angle = rotation.norm();
    if (angle < 1e-12)
        return Eigen::Quaterniond(1.0, 0.5 * rotation.x(), 0.5 * rotation.y(), 0.5 * rotation.z()).normalized();
    const double s = std::sin(0.5 * angle) / angle;
    return Eigen::Quaterniond(std::cos(0.5 * angle), s * rotation.x(), s * rotation.y(), s * rotation.z());
}

/// Rotation vector of the shorter of the two rotations that q and -q describe.
Eigen::Vector3d quaternionToRotationVector(const Eigen::Quaterniond& q)
{
    double w = q.w();
    Eigen::Vector3d v = q.vec();
    if (w < 0.0)
    {
        w = -w;
        v = -v;
    }
    const double n = v.norm();
    // 2 atan2(n, w) / n tends to 2 / w; below 1e-12 the difference is far under double precision.
    const double factor = n > 1e-12 ? 2.0 * std::atan2(n, w) / n : 2.0 / w;
    return factor * v;
}

Eigen::Vector4d toWxyz(const Eigen::Quaterniond& q)
{
    return Eigen::Vector4d(q.w(), q.x(), q.y(), q.z());
}

/// Unit quaternion of a (w, x, y, z) vector, or nothing when it has no direction.
bool toUnitQuaternion(const Eigen::Vector4d& wxyz, Eigen::Quaterniond& out)
{
    if (!wxyz.allFinite())
        return false;
    const double norm = wxyz.norm();
    if (!(norm > 1e-12) || !std::isfinite(norm))
        return false;
    out = Eigen::Quaterniond(wxyz[0] / norm, wxyz[1] / norm, wxyz[2] / norm, wxyz[3] / norm);
    return true;
}

/// `q` or `-q`, whichever lies in the hemisphere of `reference`.
Eigen::Quaterniond alignedWith(const Eigen::Quaterniond& q, const Eigen::Quaterniond& reference)
{
    if (q.coeffs().dot(reference.coeffs()) < 0.0)
        return Eigen::Quaterniond(-q.coeffs());
    return q;
}
} // namespace

void KalmanQuaternion::init(const Eigen::Vector4d& orientation, double variance)
{
    processVariance = variance;
    static_cast<void>(effectiveProcessVariance());
    m_angularVelocity.setZero();
    m_covariance = {};
    m_sinceAnchor = 0.0;
    m_anchorVariance = 1.0;
    Eigen::Quaterniond q;
    if (toUnitQuaternion(orientation, q))
    {
        m_orientation = q;
        m_phase = Phase::Anchored;
    }
    else
    {
        m_orientation = Eigen::Quaterniond::Identity();
        m_phase = Phase::Empty;
    }
}

void KalmanQuaternion::setMeasurementVariance(double variance)
{
    if (variance > 0.0 && std::isfinite(variance))
        m_measurementVariance = variance;
}

Eigen::Vector4d KalmanQuaternion::update(const Eigen::Vector4d& measurement, double dt)
{
    predict(dt);
    fuse(measurement);
    return orientation();
}

Eigen::Vector4d KalmanQuaternion::update(double dt)
{
    predict(dt);
    return orientation();
}

Eigen::Vector4d KalmanQuaternion::orientation() const
{
    return toWxyz(m_orientation);
}

double KalmanQuaternion::angleVariance() const
{
    switch (m_phase)
    {
        case Phase::Tracking:
            return m_covariance.pp;
        case Phase::Anchored:
            return m_anchorVariance * kAngleVariancePerComponentVariance * m_measurementVariance;
        case Phase::Empty:
            break;
    }
    return std::numeric_limits<double>::infinity();
}

double KalmanQuaternion::effectiveProcessVariance()
{
    if (processVariance >= 0.0 && std::isfinite(processVariance))
        m_lastValidProcessVariance = processVariance;
    return m_lastValidProcessVariance;
}

void KalmanQuaternion::predict(double dt)
{
    const double q = kAngleVariancePerComponentVariance * effectiveProcessVariance();
    if (!(dt > 0.0) || !std::isfinite(dt))
        return;
    switch (m_phase)
    {
        case Phase::Empty:
            return;
        case Phase::Anchored:
            m_sinceAnchor = std::min(m_sinceAnchor + dt, std::numeric_limits<double>::max());
            return;
        case Phase::Tracking:
            break;
    }
    // Truth exp(w dt + dw dt) exp(d) q equals exp(d + dw dt) exp(w dt) q up to second-order terms and a rotation of d
    // by w dt, which maps the isotropic error covariance onto itself: the error obeys the linear model of the
    // position filter.
    const Eigen::Vector3d step = m_angularVelocity * dt;
    KalmanDetail::AxisCovariance covariance = m_covariance;
    covariance.predict(dt, q);
    if (!step.allFinite() || !covariance.isFinite())
    {
        m_phase = Phase::Empty;
        m_angularVelocity.setZero();
        return;
    }
    m_orientation = (rotationVectorToQuaternion(step) * m_orientation).normalized();
    m_covariance = covariance;
}

void KalmanQuaternion::fuse(const Eigen::Vector4d& measurement)
{
    Eigen::Quaterniond z;
    if (!toUnitQuaternion(measurement, z))
        return;
    // Keep the output's sign continuous: the state only ever changes by small multiplications, and a restart takes
    // the measurement in the hemisphere of the previous state.
    z = alignedWith(z, m_orientation);
    const double r = kAngleVariancePerComponentVariance * m_measurementVariance;
    // Shortest rotation from the state to the measurement, in the tracker frame.
    const Eigen::Vector3d innovation = quaternionToRotationVector(z * m_orientation.conjugate());
    switch (m_phase)
    {
        case Phase::Empty:
            m_orientation = z;
            m_angularVelocity.setZero();
            m_anchorVariance = 1.0;
            m_sinceAnchor = 0.0;
            m_phase = Phase::Anchored;
            return;
        case Phase::Anchored:
            if (m_sinceAnchor > 0.0)
            {
                m_angularVelocity = innovation / m_sinceAnchor;
                m_orientation = z;
                m_covariance.twoPoint(m_anchorVariance * r, r, m_sinceAnchor);
                m_phase = Phase::Tracking;
            }
            else
            {
                const double w = m_anchorVariance / (m_anchorVariance + 1.0);
                m_orientation = (rotationVectorToQuaternion(w * innovation) * m_orientation).normalized();
                m_anchorVariance = w;
            }
            return;
        case Phase::Tracking:
            break;
    }
    double gainAngle = 0.0;
    double gainRate = 0.0;
    if (!m_covariance.update(r, gainAngle, gainRate))
        return;
    m_orientation = (rotationVectorToQuaternion(gainAngle * innovation) * m_orientation).normalized();
    m_angularVelocity += gainRate * innovation;
}

} // namespace Kelvaros
