#pragma once

#include <Eigen/Core>

#include "core/Export.h"

#include "KalmanPhase.h"

namespace Kelvaros
{

/// Kalman filter of a 3D position (millimetres) for the smoothed tracking stream.
///
/// Model: per axis a constant-velocity state (p, v) driven by white, piecewise-constant acceleration (the discrete
/// white-noise-acceleration model): x_k+1 = F x_k + G a_k with F = [[1, dt], [0, 1]], G = [dt^2/2, dt] and
/// Var(a_k) = q = `processVariance` in (mm / time unit^2)^2, so Q = q G G^T (position part q dt^4/4). The
/// measurement is the position with variance r per axis (`setMeasurementVariance`). Q and R are isotropic and the three
/// axes are measured independently, so the axes decouple and share one 2x2 covariance.
///
/// Why this model fits the stream's parameters: the stream sets q = (e * sigma / dt^2)^2 and r = e^2 (e the
/// translation error in mm, sigma the process sigma, dt the device-timestamp step in microseconds). The steady state
/// of this filter depends only on the tracking index lambda = sqrt(q) dt^2 / sqrt(r) = sigma: the time unit, the
/// sampling rate and e cancel, so one set of parameters behaves the same (in samples) at 60 Hz and at 400 Hz. At the
/// default sigma = 0.5 the steady-state gains are alpha = 0.63, beta = 0.31 (per sample): a mild smoother (output
/// jitter / input jitter 0.73) with no steady-state lag on constant velocity; smaller sigma smooths more at the price
/// of more error under acceleration (the bias on an acceleration a is a dt^2 beta / sigma^2). Because q and r both
/// scale with e^2, e alone does not change the smoothing: sigma is the only knob. (The white-noise-acceleration model
/// is the one whose noise has the stream's units; a constant-acceleration model with the same reading of q was
/// measured and gives no better jitter-versus-error trade-off at 60 Hz.)
///
/// Start-up: `init` gives the position (no velocity yet). The first measurement taken a positive time later sets the
/// velocity by two-point differencing with the exact covariance of that estimate (diffuse velocity prior).
///
/// Degenerate input, chosen so that the output is always finite:
/// - dt <= 0 or not finite: no prediction (no time has passed, so the state cannot have moved); a measurement is fused
///   at the current time, which is what two measurements of the same instant call for.
/// - `processVariance` negative or not finite (the stream's formula gives +inf at dt = 0): the last valid one is used.
/// - a non-finite measurement is treated as missing (prediction only).
/// - a prediction that overflows (absurd dt) drops the track: the next measurement restarts it.
///
/// Not thread-safe: one owner calls it from one thread at a time.
class KELVAROS_API KalmanPosition
{
public:
    /// Starts (or restarts) the filter at `position` (mm) with unknown velocity; `processVariance` sets the public
    /// field of the same name. The measurement variance is kept.
    void init(const Eigen::Vector3d& position, double processVariance);

    /// Sets the measurement noise. Despite the name this is a VARIANCE per axis in mm^2 (the stream passes
    /// translationError^2). Values that are not positive and finite are ignored. Default 1 mm^2.
    void setMeasurementVariance(double variance);

    /// Predicts over `dt` (device-time units, microseconds in the streams) and fuses `measurement` (mm). Returns the
    /// filtered position (mm). Without a prior `init` the measurement starts the filter and is returned as is.
    Eigen::Vector3d update(const Eigen::Vector3d& measurement, double dt);

    /// Predicts over `dt` without a measurement (a sample of quality 0). Returns the predicted position (mm); before
    /// any position is known it returns the zero vector.
    Eigen::Vector3d update(double dt);

    /// Current position estimate (mm).
    [[nodiscard]] Eigen::Vector3d position() const { return m_position; }
    /// Current velocity estimate (mm per time unit); zero until two measurements have been fused.
    [[nodiscard]] Eigen::Vector3d velocity() const { return m_velocity; }
    /// Current position variance per axis (mm^2).
    [[nodiscard]] double positionVariance() const;
    /// Measurement variance per axis in use (mm^2).
    [[nodiscard]] double measurementVariance() const { return m_phase.measurementVariance(); }

    /// Acceleration variance q of the model in (mm / time unit^2)^2, written directly by the stream before each
    /// update. Negative or non-finite values are ignored in favour of the last valid one.
    double processVariance = 0.0;

private:
    void predict(double dt);
    void fuse(const Eigen::Vector3d& measurement);

    Eigen::Vector3d m_position = Eigen::Vector3d::Zero();
    Eigen::Vector3d m_velocity = Eigen::Vector3d::Zero();
    KalmanDetail::KalmanPhase m_phase{ 1.0,
                                       1.0 }; ///< default measurement variance 1 mm^2, millimetres filtered as given
};

} // namespace Kelvaros
