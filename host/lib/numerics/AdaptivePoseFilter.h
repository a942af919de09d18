#pragma once

#include <cstdint>

#include <Eigen/Core>
#include <Eigen/Geometry>

#include "core/Export.h"

namespace Kelvaros
{

/// Speed-adaptive smoothing of one tracked pose: steady while the tool rests, without lag while it moves.
///
/// Model. Position and orientation each run two constant-velocity alpha-beta filters on the same measurements: a
/// resting one that smooths strongly and a moving one that follows closely. The orientation filters work on the
/// rotation group: their state is a unit quaternion and an angular velocity, the innovation is the rotation vector of
/// measurement * predicted^-1 and the correction is applied by quaternion multiplication, so no estimate leaves the
/// group and q / -q mean the same. The gains are the steady-state Kalman gains of the white-noise-acceleration model
/// for a tracking index lambda: alpha = 1 - r^2, beta = 2 (2 - alpha) - 4 r, r = (4 + lambda - sqrt(8 lambda +
/// lambda^2)) / 4. The resting filter's lambda = a dt^2 (a the acceleration scale in measurement-noise sigmas per
/// s^2, dt the device-clock step) is physical, so it smooths over the same time at 60 Hz and at 250 Hz, and more per
/// sample at the higher rate; the moving filter's lambda is per sample, so that at 60 Hz it still removes some noise
/// and at 250 Hz it still follows a tool that is snatched away.
///
/// Adaptation. While the tool rests, both filters estimate the same pose and differ only by the moving filter's
/// noise, whose spread follows from its gains and the measurement noise; once the tool accelerates (starts, stops,
/// turns back) the resting filter falls behind and the difference grows beyond that spread. Its length z in those
/// spreads sets the motion weight w: 0 up to `restingBelow`, 1 from `movingAbove`, linear between, and once raised it
/// decays with the time constant `motionHoldMs`. The output is the geodesic blend of the two estimates by w, and the
/// resting filter continues from the output (position or orientation, and rate), as the mixing step of an
/// interacting-multiple-model filter would restart it, so it never drags a stale estimate behind a moving tool. On
/// steady motion the resting filter, restarted at the moving one's velocity, tracks without lag (a constant-velocity
/// model has none on a ramp), the difference shrinks and the output is smooth again.
///
/// Noise. The thresholds hold whatever the tracker's noise, because the noise is learnt: the running median of the
/// moving filter's innovation length (which stays close to white noise even while the tool moves) gives the
/// measurement sigma. It starts at the configured value and stays within a factor 4 of it.
///
/// Why this filter. Measured on the simulated scenarios of bench/smoothing: a Kalman filter with fixed process noise
/// trades lag for jitter (its best setting within 5 ms of ramp lag and 0.7 mm of sine error smooths a resting tool
/// 1.6x at 60 Hz); a single filter whose gains switch with a motion statistic oscillates at 60 Hz, since the velocity
/// it learns with high gains outlives them. By analysis: the one-euro filter (a first-order low-pass whose cutoff
/// follows the speed) lags 1 / (2 pi f_c) behind any ramp, so at 60 Hz it needs a cutoff near Nyquist to stay under 5
/// ms and barely smooths a moving tool, and its speed estimate at rest lets jitter through; an
/// interacting-multiple-model filter of a resting and a moving Kalman model does what this one does with covariances,
/// at several times the cost. Two fixed filters blended and mixed keep each one linear and stable, cost two alpha-beta
/// updates (no covariance), and raise the gain exactly where a constant-velocity model errs: where the motion changes,
/// including the turning points of an oscillation, where the speed is zero and the acceleration largest.
///
/// Start and restart: the first sample passes unchanged; the next ones use the gains of a growing-memory least-squares
/// fit of a line (alpha_k = 2 (2k - 1) / (k (k + 1)), beta_k = 6 / (k (k + 1)) for the k-th sample) until these fall
/// below the steady-state gains, so a fresh track neither waits for a velocity nor trusts a wrong one. The track
/// restarts at the next measurement when the device clock runs backwards or stands still, or steps by more than
/// `gapPeriods` sampling periods (the period is a running mean of the steps seen; the first step of a track may be at
/// most `firstStepLimitMs`). A sample without a measurement (`hold`) returns the last estimate and changes nothing: a
/// lost tool is not extrapolated, and a long loss restarts the track.
///
/// Not thread-safe: one owner calls it from one thread at a time.
class KELVAROS_API AdaptivePoseFilter
{
public:
    struct Settings
    {
        double positionNoiseMm = 0.15;      ///< expected measurement noise, standard deviation per axis
        double rotationNoiseDegrees = 0.18; ///< expected noise, standard deviation per axis of the rotation vector
        double restingAcceleration = 0.5;   ///< acceleration scale of the resting filter, noise sigmas per s^2
        double movingTrackingIndex = 8.0;   ///< tracking index of the moving filter, per sample
        double restingBelow = 3.0;          ///< difference (in spreads) up to which the output is the resting filter's
        double movingAbove = 5.0;           ///< difference (in spreads) from which the output is the moving filter's
        double motionHoldMs = 100.0;        ///< time constant with which the motion weight decays
        double gapPeriods = 4.0;            ///< a clock step longer than this many periods restarts the track
        double firstStepLimitMs = 250.0;    ///< longest first step of a track before the period is known
    };

    AdaptivePoseFilter() = default;
    explicit AdaptivePoseFilter(const Settings& settings) : m_settings(settings) {}

    /// Fuses the pose `measured` (rigid, mm) taken at `deviceTimestamp` (microseconds) and returns the filtered pose
    /// (bottom row as measured).
    Eigen::Matrix4d update(const Eigen::Matrix4d& measured, int64_t deviceTimestamp);
    /// A sample without a measurement: returns the last estimate (identity before any), state unchanged.
    [[nodiscard]] Eigen::Matrix4d hold() const;
    /// Forgets the track; the next measurement starts afresh.
    void reset();

    [[nodiscard]] const Settings& settings() const { return m_settings; }
    /// Number of measurements in the current track (0 after a reset), counted up to a billion.
    [[nodiscard]] int trackLength() const { return m_samples; }

    /// Gains of an alpha-beta filter: of the value and of the rate, per sample.
    struct Gains
    {
        double value = 1.0;
        double rate = 1.0;
    };

private:
    /// What one clock step means for both channels.
    struct Step
    {
        double dt = 0.0; ///< seconds
        Gains resting;
        Gains moving;
        bool steady = false;             ///< both gains at their steady state (no longer those of a young track)
        double innovationPerNoise = 1.0; ///< median moving-filter innovation length per unit measurement sigma
        double spreadPerNoise = 1.0;     ///< per-axis deviation of the filters' difference at rest, same unit
        double motionDecay = 0.0;        ///< factor on the motion weight over dt
        double noiseLearningRate = 0.0;  ///< relative step of the noise median
        bool learnNoise = false;
    };

    /// One constant-velocity estimate: a position (mm) or an orientation, and its rate per second.
    template<typename Value>
    struct Track
    {
        Value value;
        Eigen::Vector3d rate = Eigen::Vector3d::Zero();
    };
    /// The resting and moving filters of one channel and its motion weight.
    template<typename Value>
    struct Channel
    {
        Track<Value> resting;
        Track<Value> moving;
        double motion = 0.0;
        double noiseMedian = 0.0; ///< running median of the moving filter's innovation length; 0 = not yet known

        void restart(const Value& value);
        /// Fuses `measured` one `step` later; `configuredNoise` is the expected measurement sigma per axis in the
        /// channel's unit. The output estimate is then the resting track's value.
        void update(const Value& measured, const Step& step, double configuredNoise, const Settings& settings);
    };

    /// The step's gains and constants, recomputed only when they change. m_samples counts this measurement.
    const Step& stepFor(double dt);
    /// Seconds since the last measurement, or a negative value when the track must restart at this one.
    [[nodiscard]] double stepOrRestart(int64_t deviceTimestamp);

    Settings m_settings;
    Channel<Eigen::Vector3d> m_position{ { Eigen::Vector3d::Zero() }, { Eigen::Vector3d::Zero() } };
    Channel<Eigen::Quaterniond> m_rotation{ { Eigen::Quaterniond::Identity() }, { Eigen::Quaterniond::Identity() } };
    Eigen::RowVector4d m_bottomRow{ 0.0, 0.0, 0.0, 1.0 };
    int64_t m_lastTimestamp = 0;
    double m_period = 0.0; ///< running mean of the clock steps, seconds; 0 while unknown
    int m_samples = 0;
    Step m_step;
    double m_stepBasis = 0.0; ///< the clock step the gains of m_step were computed for, seconds
    Gains m_steadyResting;
    Gains m_steadyMoving;
};

} // namespace Kelvaros
