#include "KalmanQuaternion.h"

#include <cmath>

namespace Kelvaros
{

namespace
{
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
    m_angularVelocity.setZero();
    Eigen::Quaterniond q;
    const bool known = toUnitQuaternion(orientation, q);
    m_orientation = known ? q : Eigen::Quaterniond::Identity();
    m_phase.restart(known, processVariance);
}

void KalmanQuaternion::setMeasurementVariance(double variance)
{
    m_phase.setMeasurementVariance(variance);
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
    return m_phase.valueVariance();
}

void KalmanQuaternion::predict(double dt)
{
    if (!m_phase.beginPrediction(dt, processVariance))
        return;
    // Truth exp(w dt + dw dt) exp(d) q equals exp(d + dw dt) exp(w dt) q up to second-order terms and a rotation of d
    // by w dt, which maps the isotropic error covariance onto itself: the error obeys the linear model of the
    // position filter.
    const Eigen::Vector3d step = m_angularVelocity * dt;
    if (!m_phase.finishPrediction(dt, step.allFinite()))
    {
        m_angularVelocity.setZero();
        return;
    }
    m_orientation = (rotationVectorToQuaternion(step) * m_orientation).normalized();
}

void KalmanQuaternion::fuse(const Eigen::Vector4d& measurement)
{
    Eigen::Quaterniond z;
    if (!toUnitQuaternion(measurement, z))
        return;
    // Keep the output's sign continuous: the state only ever changes by small multiplications, and a restart takes
    // the measurement in the hemisphere of the previous state.
    z = alignedWith(z, m_orientation);
    using Kind = KalmanDetail::KalmanPhase::Correction::Kind;
    const KalmanDetail::KalmanPhase::Correction correction = m_phase.correct();
    if (correction.kind == Kind::Skip)
        return;
    if (correction.kind == Kind::Restart)
    {
        m_orientation = z;
        m_angularVelocity.setZero();
        return;
    }
    // Shortest rotation from the state to the measurement, in the tracker frame.
    const Eigen::Vector3d innovation = quaternionToRotationVector(z * m_orientation.conjugate());
    if (correction.kind == Kind::StartRate)
    {
        m_angularVelocity = innovation / correction.elapsed;
        m_orientation = z;
        return;
    }
    m_orientation = (rotationVectorToQuaternion(correction.stateGain * innovation) * m_orientation).normalized();
    m_angularVelocity += correction.rateGain * innovation;
}

} // namespace Kelvaros
