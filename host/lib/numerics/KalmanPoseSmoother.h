#pragma once

#include <cstdint>
#include <utility>

#include <Eigen/Core>

#include "core/Export.h"

#include "KalmanPosition.h"
#include "KalmanQuaternion.h"

namespace Kelvaros
{

/// The Kalman smoothing of one instrument as the smoothed tracking stream runs it (Kalman mode, not adaptive): a
/// KalmanPosition on the translation and a KalmanQuaternion on the rotation, fed with the stream's variances, and a
/// smoothed quality. The stream keeps one per instrument position; the smoothing benchmarks run the same class.
///
/// Variances for a time step dt (device-clock units, microseconds): process sigmas e / dt^2 * processSigma, so that the
/// filters' tracking index is processSigma at any rate (see KalmanPosition), measurement variances e^2; e is
/// translationError in mm, or angularError / 100 as a quaternion-component sigma.
///
/// Not thread-safe: one owner calls it from one thread at a time.
class KELVAROS_API KalmanPoseSmoother
{
public:
    /// The stream's parameters of the same names.
    struct Settings
    {
        double translationError = 0.5; ///< mm
        double angularError = 1.0;     ///< divided by 100: the quaternion-component sigma
        double processSigma = 0.5;     ///< smaller smooths more, larger follows faster
    };

    /// Time from one sample of a device clock to the next.
    struct Interval
    {
        double dt = 1.0;     ///< device-clock units; 1 when there is no step to measure
        bool elapsed = true; ///< false when the clock did not advance: fuse without prediction
    };

    /// The step from `previousTimestamp` (0: none yet, dt = 1) to `timestamp`. A timestamp equal to or before the
    /// previous one has no time in it that the filters could predict over (read as an unsigned difference a step back
    /// would be some 1.8e19): such a sample is fused without prediction and keeps the process variances as they were.
    [[nodiscard]] static Interval interval(std::uint64_t previousTimestamp, std::int64_t timestamp);

    /// Smooths one sample of the instrument: `pose` (rigid, mm) with tracker `quality`, `interval` after the previous
    /// sample. The first call starts the filters there and returns pose and quality unchanged. Quality exactly 0 means
    /// no measurement: the pose is predicted. Returns the pose to emit (bottom row as given) and the smoothed quality
    /// sqrt((previous^2 + quality^2) / 2).
    [[nodiscard]] std::pair<Eigen::Matrix4d, double> smooth(const Eigen::Matrix4d& pose, double quality,
                                                            const Settings& settings, const Interval& interval);

private:
    struct Variances
    {
        double positionProcess = 0.0;
        double rotationProcess = 0.0;
        double positionMeasurement = 0.0;
        double rotationMeasurement = 0.0;
    };

    [[nodiscard]] static Variances variances(const Settings& settings, double dt);
    void start(const Eigen::Matrix4d& pose, double quality, const Variances& variances);

    bool m_started = false;
    KalmanPosition m_position;
    KalmanQuaternion m_orientation;
    double m_quality = 0.0;
};

} // namespace Kelvaros
