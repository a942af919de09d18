#pragma once

#include <algorithm>
#include <cmath>
#include <limits>

#include "KalmanAxisCovariance.h"

namespace Kelvaros::KalmanDetail
{

/// The start-up and bookkeeping that KalmanPosition and KalmanQuaternion share.
///
/// Both filters estimate a value and its rate of change under the same white-noise-acceleration model, with one 2x2
/// covariance for all axes; they differ only in how their state moves and how a measurement is compared with it (a
/// vector difference, or a rotation vector between quaternions). Everything else lives here: the phase (no value yet,
/// a value without a rate, the full state), the covariance, the anchor's variance and age, the measurement variance
/// and the last valid process variance. Each step is decided here and handed back as a value that the filter applies
/// to its own state, so a sample costs no indirect call.
///
/// `varianceScale` maps the variances the owner is given onto the filtered axes (1 for millimetres; 4 for quaternion
/// components, whose small-rotation vector part is half the rotation angle).
///
/// The per-sample steps are defined inline below, so that each filter's step compiles into one function as it would
/// without this class.
///
/// Not thread-safe; internal to the host library.
class KalmanPhase
{
public:
    /// What one usable measurement z does to the owner's state, e being the innovation (z against the state in the
    /// owner's own sense).
    struct Correction
    {
        enum class Kind
        {
            Skip,      ///< the measurement is not used
            Restart,   ///< state := z, rate := 0 (the first value)
            StartRate, ///< rate := e / elapsed, state := z (two-point start)
            Blend      ///< state += stateGain e, rate += rateGain e
        };
        Kind kind = Kind::Skip;
        double stateGain = 0.0;
        double rateGain = 0.0;
        double elapsed = 0.0;
    };

    // Inline: the exported filters' implicit constructors are instantiated in their users' code.
    KalmanPhase(double defaultMeasurementVariance, double varianceScale)
      : m_measurementVariance(defaultMeasurementVariance), m_varianceScale(varianceScale)
    {
    }

    /// Starts afresh with a value (`anchored`) or without; `processVariance` is recorded as for a prediction.
    void restart(bool anchored, double processVariance);
    /// Values that are not positive and finite are ignored.
    void setMeasurementVariance(double variance);
    /// As the owner was given it, unscaled.
    [[nodiscard]] double measurementVariance() const { return m_measurementVariance; }
    /// Variance of the estimated value per axis in filtered units; infinite before there is a value.
    [[nodiscard]] double valueVariance() const;

    /// First half of a prediction over `dt`. Records `processVariance` when it is non-negative and finite (the last
    /// valid one is used otherwise) and tells whether the owner has to move its state: only a full state does, and
    /// only for a positive, finite dt. A value without a rate only counts the time towards its two-point start.
    [[nodiscard]] bool beginPrediction(double dt, double processVariance);
    /// Second half: moves the covariance over `dt`. False when the owner's predicted state (`stateFinite`) or the
    /// covariance overflowed: the track is dropped, the owner keeps its old value, zeroes its rate and leaves its
    /// state as it was, and the next measurement restarts it.
    [[nodiscard]] bool finishPrediction(double dt, bool stateFinite);
    /// Moves the phase and covariance on for one usable measurement and says what the owner must do with it.
    [[nodiscard]] Correction correct();

private:
    enum class Phase
    {
        Empty,    ///< no value yet
        Anchored, ///< value known, rate not yet
        Tracking  ///< full state
    };

    void recordProcessVariance(double processVariance);
    [[nodiscard]] Correction correctAnchor();

    Phase m_phase = Phase::Empty;
    AxisCovariance m_covariance;
    double m_anchorVariance = 1.0; ///< variance of the anchor as a fraction of the measurement variance
    double m_sinceAnchor = 0.0;
    double m_measurementVariance;
    double m_lastValidProcessVariance = 0.0;
    double m_varianceScale; ///< not const, so that the filters stay assignable
};

inline void KalmanPhase::recordProcessVariance(double processVariance)
{
    if (processVariance >= 0.0 && std::isfinite(processVariance))
        m_lastValidProcessVariance = processVariance;
}

inline bool KalmanPhase::beginPrediction(double dt, double processVariance)
{
    recordProcessVariance(processVariance);
    // No time has passed (or none that can be trusted), so the state cannot have moved.
    if (!(dt > 0.0) || !std::isfinite(dt))
        return false;
    if (m_phase == Phase::Anchored)
        m_sinceAnchor = std::min(m_sinceAnchor + dt, std::numeric_limits<double>::max());
    return m_phase == Phase::Tracking;
}

inline bool KalmanPhase::finishPrediction(double dt, bool stateFinite)
{
    AxisCovariance covariance = m_covariance;
    covariance.predict(dt, m_varianceScale * m_lastValidProcessVariance);
    if (!stateFinite || !covariance.isFinite())
    {
        // Only an absurd dt gets here; nothing about the old track is worth keeping.
        m_phase = Phase::Empty;
        return false;
    }
    m_covariance = covariance;
    return true;
}

inline KalmanPhase::Correction KalmanPhase::correct()
{
    Correction correction;
    switch (m_phase)
    {
        case Phase::Empty:
            m_anchorVariance = 1.0;
            m_sinceAnchor = 0.0;
            m_phase = Phase::Anchored;
            correction.kind = Correction::Kind::Restart;
            return correction;
        case Phase::Anchored:
            return correctAnchor();
        case Phase::Tracking:
            break;
    }
    if (m_covariance.update(m_varianceScale * m_measurementVariance, correction.stateGain, correction.rateGain))
        correction.kind = Correction::Kind::Blend;
    return correction;
}

inline KalmanPhase::Correction KalmanPhase::correctAnchor()
{
    const double r = m_varianceScale * m_measurementVariance;
    Correction correction;
    if (m_sinceAnchor > 0.0)
    {
        m_covariance.twoPoint(m_anchorVariance * r, r, m_sinceAnchor);
        m_phase = Phase::Tracking;
        correction.kind = Correction::Kind::StartRate;
        correction.elapsed = m_sinceAnchor;
        return correction;
    }
    // Same instant: the anchor is an average of equally noisy measurements, its variance a fraction of r (kept
    // relative to r because the owner's init runs before the stream sets the measurement variance).
    const double w = m_anchorVariance / (m_anchorVariance + 1.0);
    m_anchorVariance = w;
    correction.kind = Correction::Kind::Blend;
    correction.stateGain = w;
    return correction;
}

} // namespace Kelvaros::KalmanDetail
