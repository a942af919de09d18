#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>

#include "core/Export.h"

#include "KalmanPhase.h"

namespace Kelvaros
{

/// Kalman filter of an orientation given as a unit quaternion (w, x, y, z), for the smoothed tracking stream.
///
/// Model: a multiplicative (error-state) filter with constant angular velocity. The state is a unit quaternion q and
/// an angular velocity w in the frame the quaternion maps into (tracker frame), propagated as
/// q_k+1 = exp(w dt) * q_k. The error is a small rotation vector d with q_true = exp(d) * q, and per axis (d, dw)
/// follows the same white-noise-acceleration constant-velocity model as KalmanPosition, with angular acceleration as
/// the driving noise. The three error axes have isotropic noise and decouple to first order (rotating an isotropic
/// covariance leaves it unchanged), so they share one 2x2 covariance. After each measurement the correction is folded
/// into q by quaternion multiplication, so q stays on the unit sphere by construction and is only renormalised against
/// rounding. This avoids what an additive filter on the four components gets wrong: the norm constraint, and the
/// q / -q ambiguity, which here vanishes because the innovation is taken as the shortest rotation from the predicted
/// q to the measurement, whatever the measurement's sign.
///
/// Units: the stream gives variances of quaternion components (measurement ("angularError" / 100)^2, process
/// (("angularError" / 100) sigma / dt^2)^2). For small rotations the vector part of exp(d) is d / 2, so a component
/// variance v is a rotation-angle variance of 4 v rad^2 per axis: the filter uses 4 x both. As for positions the
/// steady state depends only on the tracking index sigma, not on the rate or the time unit.
///
/// Start-up and degenerate input follow KalmanPosition (two-point start of the angular velocity; dt <= 0 or not finite:
/// no prediction; invalid process variance: the last valid one; a measurement that is not finite or has zero norm is
/// treated as missing; an overflowing prediction drops the track until the next measurement). The returned quaternion
/// is always unit and finite, and keeps its sign continuous from one call to the next, also across a dropped track.
///
/// Not thread-safe: one owner calls it from one thread at a time.
class KELVAROS_API KalmanQuaternion
{
public:
    /// Starts (or restarts) the filter at `orientation` (w, x, y, z; normalised here) with unknown angular velocity;
    /// `processVariance` sets the public field. A non-finite or zero quaternion leaves the filter empty.
    void init(const Eigen::Vector4d& orientation, double processVariance);

    /// Sets the measurement noise. Despite the name this is a VARIANCE of each quaternion component (the stream passes
    /// (angularError / 100)^2). Values that are not positive and finite are ignored. Default 1e-4.
    void setMeasurementVariance(double variance);

    /// Predicts over `dt` (device-time units, microseconds in the streams) and fuses `measurement` (w, x, y, z; any
    /// norm and either sign). Returns the filtered unit quaternion (w, x, y, z), sign-continuous with the previous
    /// output. Without a prior `init` the measurement starts the filter.
    Eigen::Vector4d update(const Eigen::Vector4d& measurement, double dt);

    /// Predicts over `dt` without a measurement (a sample of quality 0). Returns the predicted unit quaternion; before
    /// any orientation is known it returns the identity (1, 0, 0, 0).
    Eigen::Vector4d update(double dt);

    /// Current orientation (w, x, y, z), unit.
    [[nodiscard]] Eigen::Vector4d orientation() const;
    /// Current angular velocity (radians per time unit, tracker frame); zero until two measurements have been fused.
    [[nodiscard]] Eigen::Vector3d angularVelocity() const { return m_angularVelocity; }
    /// Current variance of the orientation error per axis (rad^2).
    [[nodiscard]] double angleVariance() const;

    /// Process variance in (quaternion component / time unit^2)^2, written directly by the stream before each update
    /// (an angular-acceleration variance of 4 x this in (rad / time unit^2)^2). Negative or non-finite values are
    /// ignored in favour of the last valid one.
    double processVariance = 0.0;

private:
    void predict(double dt);
    void fuse(const Eigen::Vector4d& measurement);

    Eigen::Quaterniond m_orientation = Eigen::Quaterniond::Identity();
    Eigen::Vector3d m_angularVelocity = Eigen::Vector3d::Zero();
    /// Of the rotation-vector error (rad, rad / time unit). Variances come per quaternion component, default 1e-4; a
    /// component variance is a quarter of the rotation-angle variance it stands for (vector part = angle / 2).
    KalmanDetail::KalmanPhase m_phase{ 1e-4, 4.0 };
};

} // namespace Kelvaros
