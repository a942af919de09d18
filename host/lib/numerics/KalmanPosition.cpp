#include "KalmanPosition.h"

namespace Kelvaros
{

void KalmanPosition::init(const Eigen::Vector3d& position, double variance)
{
    processVariance = variance;
    m_velocity.setZero();
    const bool known = position.allFinite();
    m_position = known ? position : Eigen::Vector3d::Zero();
    m_phase.restart(known, processVariance);
}

void KalmanPosition::setMeasurementVariance(double variance)
{
    m_phase.setMeasurementVariance(variance);
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
    return m_phase.valueVariance();
}

void KalmanPosition::predict(double dt)
{
    if (!m_phase.beginPrediction(dt, processVariance))
        return;
    const Eigen::Vector3d predicted = m_position + m_velocity * dt;
    if (!m_phase.finishPrediction(dt, predicted.allFinite()))
    {
        // The last estimate stays readable; the next measurement starts afresh.
        m_velocity.setZero();
        return;
    }
    m_position = predicted;
}

void KalmanPosition::fuse(const Eigen::Vector3d& measurement)
{
    if (!measurement.allFinite())
        return;
    using Kind = KalmanDetail::KalmanPhase::Correction::Kind;
    const KalmanDetail::KalmanPhase::Correction correction = m_phase.correct();
    switch (correction.kind)
    {
        case Kind::Skip:
            return;
        case Kind::Restart:
            m_position = measurement;
            m_velocity.setZero();
            return;
        case Kind::StartRate:
            m_velocity = (measurement - m_position) / correction.elapsed;
            m_position = measurement;
            return;
        case Kind::Blend:
            break;
    }
    const Eigen::Vector3d innovation = measurement - m_position;
    m_position += correction.stateGain * innovation;
    m_velocity += correction.rateGain * innovation;
}

} // namespace Kelvaros
