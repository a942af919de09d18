#include "KalmanPhase.h"

#include <cmath>
#include <limits>

namespace Kelvaros::KalmanDetail
{

void KalmanPhase::restart(bool anchored, double processVariance)
{
    recordProcessVariance(processVariance);
    m_covariance = {};
    m_sinceAnchor = 0.0;
    m_anchorVariance = 1.0;
    m_phase = anchored ? Phase::Anchored : Phase::Empty;
}

void KalmanPhase::setMeasurementVariance(double variance)
{
    if (variance > 0.0 && std::isfinite(variance))
        m_measurementVariance = variance;
}

double KalmanPhase::valueVariance() const
{
    switch (m_phase)
    {
        case Phase::Tracking:
            return m_covariance.pp;
        case Phase::Anchored:
            return m_anchorVariance * m_varianceScale * m_measurementVariance;
        case Phase::Empty:
            break;
    }
    return std::numeric_limits<double>::infinity();
}

} // namespace Kelvaros::KalmanDetail
