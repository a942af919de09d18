#include "AdaptivePoseFilter.h"

#include <algorithm>
#include <cmath>

namespace Kelvaros
{

namespace
{
constexpr double kDegree = M_PI / 180.0;
constexpr double kNoiseLearningSeconds = 1.0;
constexpr double kMedianLength3D = 1.538;

// Below these the series of the exponential and logarithm are exact to double precision (the first term left out is
// below 1e-16 of the result); the filters' steps between samples are nearly always this small, and the series spare
// the trigonometric functions that would otherwise dominate the cost.
constexpr double kSeriesAngle = 1e-2;
constexpr double kSeriesRatio = 1e-2;

/// Rotation vector of the shorter of the two rotations that q and -q describe.
Eigen::Vector3d logarithm(const Eigen::Quaterniond& q)
{
    const double w = std::abs(q.w());
    const Eigen::Vector3d v = q.w() < 0.0 ? Eigen::Vector3d(-q.vec()) : Eigen::Vector3d(q.vec());
    const double n = v.norm();
    // 2 atan2(n, w) / n = (2 / w) (1 - x^2 / 3 + x^4 / 5 - ...) with x = n / w.
    if (n < kSeriesRatio * w)
    {
        const double x2 = n * n / (w * w);
        return (2.0 / w) * (1.0 - x2 / 3.0 + x2 * x2 / 5.0) * v;
    }
    return (2.0 * std::atan2(n, w) / n) * v;
}

Eigen::Quaterniond exponential(const Eigen::Vector3d& rotation)
{
    const double angle2 = rotation.squaredNorm();
    if (angle2 < kSeriesAngle * kSeriesAngle)
    {
        // cos(a / 2) and sin(a / 2) / a to the fourth order in a.
        const double c = 1.0 - angle2 / 8.0 + angle2 * angle2 / 384.0;
        const double s = 0.5 - angle2 / 48.0 + angle2 * angle2 / 3840.0;
        return Eigen::Quaterniond(c, s * rotation.x(), s * rotation.y(), s * rotation.z());
    }
    const double angle = std::sqrt(angle2);
    return Eigen::Quaterniond(Eigen::AngleAxisd(angle, rotation / angle));
}

// The two spaces a channel lives in, reached through the same two operations: moving a value by a tangent vector, and
// the tangent vector from one value to another (in the tracker frame for orientations, where the rates live).
Eigen::Vector3d advance(const Eigen::Vector3d& value, const Eigen::Vector3d& delta)
{
    return value + delta;
}

// Products of unit quaternions stay unit up to rounding; the channel renormalises once per sample (renormalise).
Eigen::Quaterniond advance(const Eigen::Quaterniond& value, const Eigen::Vector3d& delta)
{
    return exponential(delta) * value;
}

void renormalise(Eigen::Vector3d&) {}

void renormalise(Eigen::Quaterniond& q)
{
    q.normalize();
}

Eigen::Vector3d difference(const Eigen::Vector3d& to, const Eigen::Vector3d& from)
{
    return to - from;
}

Eigen::Vector3d difference(const Eigen::Quaterniond& to, const Eigen::Quaterniond& from)
{
    return logarithm(to * from.conjugate());
}

using Gains = AdaptivePoseFilter::Gains;

/// Steady-state gains of the white-noise-acceleration Kalman filter for tracking index `lambda`.
Gains steadyGains(double lambda)
{
    const double r = (4.0 + lambda - std::sqrt(8.0 * lambda + lambda * lambda)) / 4.0;
    const double alpha = 1.0 - r * r;
    return { alpha, 2.0 * (2.0 - alpha) - 4.0 * r };
}

/// The growing-memory gains of the `samples`-th measurement of a track where these are larger than `steady`.
Gains startingGains(const Gains& steady, int samples)
{
    const double k = samples;
    return { std::max(steady.value, 2.0 * (2.0 * k - 1.0) / (k * (k + 1.0))),
             std::max(steady.rate, 6.0 / (k * (k + 1.0))) };
}

/// Variances of an alpha-beta filter's output and of its one-step prediction on white measurement noise about a
/// resting truth, per unit measurement variance.
double filteredNoiseGain(const Gains& g)
{
    const double denominator = g.value * (4.0 - 2.0 * g.value - g.rate);
    return denominator > 1e-9 ? (2.0 * g.value * g.value + 2.0 * g.rate - 3.0 * g.value * g.rate) / denominator : 1.0;
}

double predictedNoiseGain(const Gains& g)
{
    const double denominator = g.value * (4.0 - 2.0 * g.value - g.rate);
    return denominator > 1e-9 ? (2.0 * g.value * g.value + g.value * g.rate + 2.0 * g.rate) / denominator : 1.0;
}

/// One step of a constant-velocity alpha-beta filter; returns the innovation.
template<typename Value, typename Track>
Eigen::Vector3d alphaBeta(Track& track, const Value& measured, double dt, const Gains& g)
{
    const Value predicted = advance(track.value, track.rate * dt);
    const Eigen::Vector3d innovation = difference(measured, predicted);
    track.value = advance(predicted, g.value * innovation);
    track.rate += g.rate / dt * innovation;
    return innovation;
}
} // namespace

template<typename Value>
void AdaptivePoseFilter::Channel<Value>::restart(const Value& value)
{
    resting = { value, Eigen::Vector3d::Zero() };
    moving = resting;
    motion = 0.0;
    noiseMedian = 0.0;
}

template<typename Value>
void AdaptivePoseFilter::Channel<Value>::update(const Value& measured, const Step& step, double configuredNoise,
                                                const Settings& settings)
{
    alphaBeta(resting, measured, step.dt, step.resting);
    const Eigen::Vector3d innovation = alphaBeta(moving, measured, step.dt, step.moving);

    // The noise the thresholds are stated in is learnt from the moving filter's innovations (see Step). The median
    // follows by steps of a fixed fraction (a quantile tracker), which the rare large innovations of a sudden move
    // cannot drag along. It starts at, and stays within a factor 4 of, the configured noise.
    if (noiseMedian <= 0.0)
        noiseMedian = configuredNoise * step.innovationPerNoise;
    if (step.learnNoise)
        noiseMedian *= innovation.norm() > noiseMedian ? 1.0 + step.noiseLearningRate : 1.0 - step.noiseLearningRate;
    const double noise =
      std::clamp(noiseMedian / step.innovationPerNoise, 0.25 * configuredNoise, 4.0 * configuredNoise);

    const Eigen::Vector3d apart = difference(moving.value, resting.value);
    const double z = apart.norm() / std::max(noise * step.spreadPerNoise, 1e-300);
    const double weight =
      std::clamp((z - settings.restingBelow) / std::max(settings.movingAbove - settings.restingBelow, 1e-9), 0.0, 1.0);
    motion = std::max(weight, motion * step.motionDecay);
    resting.value = advance(resting.value, motion * apart);
    renormalise(resting.value);
    renormalise(moving.value);
}

const AdaptivePoseFilter::Step& AdaptivePoseFilter::stepFor(double dt)
{
    // Recomputed only when the clock step changes by more than a part in a thousand (a tracker's clock rounds its
    // period to whole microseconds, 16666 and 16667 alternate at 60 Hz) or the track is young: at a steady rate the
    // square roots and the exponential below are paid once. The step itself is always the one measured.
    Step& step = m_step;
    const bool sameRate = std::abs(dt - m_stepBasis) <= 1e-3 * m_stepBasis;
    step.dt = dt;
    if (sameRate && step.steady)
        return step;
    if (!sameRate)
    {
        m_stepBasis = dt;
        m_steadyResting = steadyGains(m_settings.restingAcceleration * dt * dt);
        m_steadyMoving = steadyGains(m_settings.movingTrackingIndex);
    }
    step.resting = startingGains(m_steadyResting, m_samples);
    step.moving = startingGains(m_steadyMoving, m_samples);
    step.steady = step.resting.value == m_steadyResting.value && step.resting.rate == m_steadyResting.rate &&
                  step.moving.value == m_steadyMoving.value && step.moving.rate == m_steadyMoving.rate;
    // At rest the moving filter's innovations have per axis a variance noise^2 (1 + its prediction's noise gain),
    // and the median length of a 3D Gaussian is 1.538 times its per-axis deviation. The difference between the two
    // filters is the moving filter's output noise (the resting filter's is far smaller), so z is about sqrt(3) on
    // pure noise and rarely above 3.5.
    step.innovationPerNoise = kMedianLength3D * std::sqrt(1.0 + predictedNoiseGain(step.moving));
    step.spreadPerNoise = std::sqrt(filteredNoiseGain(step.moving));
    step.motionDecay = std::exp(-dt / (m_settings.motionHoldMs * 1e-3));
    step.noiseLearningRate = std::min(dt / kNoiseLearningSeconds, 0.5);
    step.learnNoise = m_samples > 2;
    return step;
}

double AdaptivePoseFilter::stepOrRestart(int64_t deviceTimestamp)
{
    if (m_samples == 0)
        return -1.0;
    const double dt = double(deviceTimestamp - m_lastTimestamp) * 1e-6;
    const double limit = m_period > 0.0 ? m_settings.gapPeriods * m_period : m_settings.firstStepLimitMs * 1e-3;
    if (!(dt > 0.0) || dt > limit)
        return -1.0;
    // A mean rather than the last step, so that one late sample does not make the next gap look normal.
    m_period = m_period > 0.0 ? m_period + 0.1 * (dt - m_period) : dt;
    return dt;
}

Eigen::Matrix4d AdaptivePoseFilter::update(const Eigen::Matrix4d& measured, int64_t deviceTimestamp)
{
    const Eigen::Vector3d translation = measured.topRightCorner<3, 1>();
    Eigen::Quaterniond orientation = Eigen::Quaterniond(Eigen::Matrix3d(measured.topLeftCorner<3, 3>()));
    if (!translation.allFinite() || !orientation.coeffs().allFinite() || !(orientation.norm() > 0.0))
        return hold();
    orientation.normalize();
    m_bottomRow = measured.bottomRows<1>();

    const double dt = stepOrRestart(deviceTimestamp);
    m_lastTimestamp = deviceTimestamp;
    if (dt < 0.0)
    {
        reset();
        m_samples = 1;
        m_position.restart(translation);
        m_rotation.restart(orientation);
        return measured;
    }
    // Past the start-up the count only decides that the gains are steady, so it may stop long before it overflows.
    m_samples = std::min(m_samples + 1, 1'000'000'000);
    const Step& step = stepFor(dt);
    m_position.update(translation, step, m_settings.positionNoiseMm, m_settings);
    m_rotation.update(orientation, step, m_settings.rotationNoiseDegrees * kDegree, m_settings);
    return hold();
}

Eigen::Matrix4d AdaptivePoseFilter::hold() const
{
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    pose.topLeftCorner<3, 3>() = m_rotation.resting.value.toRotationMatrix();
    pose.topRightCorner<3, 1>() = m_position.resting.value;
    pose.bottomRows<1>() = m_bottomRow;
    return pose;
}

void AdaptivePoseFilter::reset()
{
    m_period = 0.0;
    m_samples = 0;
    m_step = {};
    m_stepBasis = 0.0;
}

} // namespace Kelvaros
