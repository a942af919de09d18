// Smoothing quality of the smoothed tracking stream's two modes on simulated ground truth.
//
// The filters are driven exactly as the stream drives them: device timestamps in microseconds, dt = t - previous t
// (1.0 for the first sample), s_pos = translationError / dt^2 * processSigma, s_rot = (angularError / 100) / dt^2 *
// processSigma, process variances s^2, measurement variances translationError^2 and (angularError / 100)^2, the first
// sample used for init and passed through. The moving average is the stream's quality-weighted window with its ring
// position and its sign-aligned quaternion sum.
//
// The scenarios and figures are those of bench/support/SmoothingScenarios.h. Bar for the Kalman mode (adaptive
// filters of the literature): jitter reduction >= 3, lag <= 5 ms, sine RMS <= 0.7 mm.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <fmt/format.h>

#include "lib/numerics/KalmanPosition.h"
#include "lib/numerics/KalmanQuaternion.h"

#include "SmoothingScenarios.h"

namespace
{

using Kelvaros::KalmanPosition;
using Kelvaros::KalmanQuaternion;
namespace Bench = Kelvaros::Bench;

/// Unit quaternion of a pose matrix's rotation as (w, x, y, z), the way the stream converts it (sign as it comes).
Eigen::Vector4d matrixQuaternion(const Eigen::Matrix4d& m)
{
    Eigen::Quaterniond q(Eigen::Matrix3d(m.topLeftCorner<3, 3>()));
    if (q.norm() > 0.0)
        q.normalize();
    return Eigen::Vector4d(q.w(), q.x(), q.y(), q.z());
}

/// One instrument's smoothing as the stream does it; returns the emitted pose matrix.
class Smoother
{
public:
    virtual ~Smoother() = default;
    virtual Eigen::Matrix4d step(const Eigen::Matrix4d& pose, double quality, std::uint64_t deviceTimestamp) = 0;
};

class KalmanSmoother : public Smoother
{
public:
    KalmanSmoother(double translationError, double angularErrorDegrees, double processSigma)
      : m_translationError(translationError), m_angularError(angularErrorDegrees), m_processSigma(processSigma)
    {
    }

    Eigen::Matrix4d step(const Eigen::Matrix4d& pose, double quality, std::uint64_t t) override
    {
        const double dt = m_lastTimestamp == 0 ? 1.0 : static_cast<double>(t - m_lastTimestamp);
        m_lastTimestamp = t;
        const double sPos = m_translationError / (dt * dt) * m_processSigma;
        const double sRot = (m_angularError / 100.0) / (dt * dt) * m_processSigma;
        const double rPos = m_translationError * m_translationError;
        const double rRot = (m_angularError / 100.0) * (m_angularError / 100.0);
        const Eigen::Vector3d translation = pose.topRightCorner<3, 1>();
        if (!m_position)
        {
            m_position = std::make_unique<KalmanPosition>();
            m_position->init(translation, sPos * sPos);
            m_position->processVariance = sPos * sPos;
            m_position->setMeasurementVariance(rPos);
            m_rotation = std::make_unique<KalmanQuaternion>();
            m_rotation->init(matrixQuaternion(pose), sRot * sRot);
            m_rotation->processVariance = sRot * sRot;
            m_rotation->setMeasurementVariance(rRot);
            return pose;
        }
        m_position->processVariance = sPos * sPos;
        m_position->setMeasurementVariance(rPos);
        const Eigen::Vector3d p = quality == 0.0 ? m_position->update(dt) : m_position->update(translation, dt);
        m_rotation->processVariance = sRot * sRot;
        m_rotation->setMeasurementVariance(rRot);
        const Eigen::Vector4d u =
          quality == 0.0 ? m_rotation->update(dt) : m_rotation->update(matrixQuaternion(pose), dt);
        Eigen::Matrix4d out = pose;
        out.topLeftCorner<3, 3>() = Eigen::Quaterniond(u[0], u[1], u[2], u[3]).toRotationMatrix();
        out.topRightCorner<3, 1>() = p;
        return out;
    }

private:
    double m_translationError;
    double m_angularError;
    double m_processSigma;
    std::uint64_t m_lastTimestamp = 0;
    std::unique_ptr<KalmanPosition> m_position;
    std::unique_ptr<KalmanQuaternion> m_rotation;
};

class MovingAverageSmoother : public Smoother
{
public:
    explicit MovingAverageSmoother(int interval) : m_interval(static_cast<std::size_t>(interval)) {}

    Eigen::Matrix4d step(const Eigen::Matrix4d& pose, double quality, std::uint64_t) override
    {
        const Eigen::Matrix4d out = average(pose, quality);
        m_windowPosition = (m_windowPosition + 1) % m_interval;
        return out;
    }

private:
    Eigen::Matrix4d average(const Eigen::Matrix4d& pose, double quality)
    {
        if (!m_started)
        {
            m_started = true;
            m_poses.push_back(pose);
            m_qualities.push_back(quality);
            return pose;
        }
        if (m_poses.size() >= m_interval)
        {
            const std::size_t k = std::min(m_interval - 1, m_windowPosition);
            m_windowPosition = k;
            m_poses[k] = pose;
            m_qualities[k] = quality;
        }
        else
        {
            m_poses.push_back(pose);
            m_qualities.push_back(quality);
        }
        const Eigen::Vector4d reference = matrixQuaternion(m_poses[0]);
        Eigen::Vector3d translationSum = Eigen::Vector3d::Zero();
        Eigen::Vector4d quaternionSum = Eigen::Vector4d::Zero();
        double weightSum = 0.0;
        for (std::size_t j = 0; j < m_poses.size(); ++j)
        {
            const double w = m_qualities[j];
            translationSum += w * m_poses[j].topRightCorner<3, 1>();
            const Eigen::Vector4d q = matrixQuaternion(m_poses[j]);
            quaternionSum += q.dot(reference) > 0.0 ? Eigen::Vector4d(w * q) : Eigen::Vector4d(-w * q);
            weightSum += w;
        }
        if (weightSum <= 0.0)
            return Eigen::Matrix4d::Identity();
        const Eigen::Vector4d q = quaternionSum.normalized();
        Eigen::Matrix4d out = Eigen::Matrix4d::Identity();
        out.topLeftCorner<3, 3>() = Eigen::Quaterniond(q[0], q[1], q[2], q[3]).toRotationMatrix();
        out.topRightCorner<3, 1>() = translationSum / weightSum;
        return out;
    }

    std::size_t m_interval;
    std::size_t m_windowPosition = 0;
    bool m_started = false;
    std::vector<Eigen::Matrix4d> m_poses;
    std::vector<double> m_qualities;
};

/// A smoother of the kind above as the scenarios drive it.
template<typename SmootherClass, typename... Args>
Bench::SmootherFactory smootherOf(Args... args)
{
    return [=]
    {
        auto smoother = std::make_shared<SmootherClass>(args...);
        return Bench::SmoothingStep(
          [smoother](const Bench::Pose& measured, int64_t t)
          { return Bench::toPose(smoother->step(Bench::toMatrix(measured), 1.0, static_cast<std::uint64_t>(t))); });
    };
}

std::string rateName(double rate)
{
    return fmt::format("{}hz", static_cast<int>(rate));
}

void printRow(const std::string& label, const Bench::Metrics& m)
{
    fmt::print("  {:<28} {:>7.2f}x {:>7.2f}x {:>8.2f} {:>8.2f} {:>8.3f} {:>8.3f} {}\n", label,
               m.jitterReductionPosition, m.jitterReductionRotation, m.lagPositionMs, m.lagRotationMs, m.sineRmsMm,
               m.sineRmsDegrees, m.meetsBar() ? "meets bar" : "");
}

} // namespace

int main()
{
    const std::vector<double> rates{ 60.0, 250.0, 400.0 };
    const std::vector<Bench::Noise> noises{ { 0.1, 0.1, "lownoise" }, { 0.25, 0.3, "highnoise" } };
    const std::vector<double> sigmas{ 0.5, 0.3, 0.2, 0.1, 0.05, 0.03, 0.02, 0.015, 0.012, 0.01, 0.007, 0.005, 0.002 };
    const std::vector<int> windows{ 5, 10, 20 };
    std::vector<std::string> figures;
    auto figure = [&](const std::string& name, double value, const char* unit)
    { figures.push_back(fmt::format("FIGURE {} {:.4g} {}", name, value, unit)); };

    fmt::print("Smoothing on simulated ground truth (defaults: translationError 0.5, angularError 1.0, "
               "processSigma 0.5)\n");
    fmt::print("columns: jitter reduction position / rotation, ramp lag position / rotation [ms], "
               "sine RMS error [mm] / [deg]\n");
    for (const double rate : rates)
    {
        for (const auto& noise : noises)
        {
            fmt::print("\n{} Hz, noise {} mm / {} deg RMS\n", rate, noise.positionMm, noise.rotationDegrees);
            const bool headline = rate < 300.0;
            const std::string tag = rateName(rate) + "_" + noise.name;
            for (const int n : windows)
            {
                const Bench::Metrics m = Bench::measure(smootherOf<MovingAverageSmoother>(n), rate, noise);
                printRow(fmt::format("moving average N={}", n), m);
                if (headline)
                {
                    const std::string base = fmt::format("smoothing_average{}_{}", n, tag);
                    figure(base + "_jitter_reduction", m.jitterReductionPosition, "x");
                    figure(base + "_ramp_lag", m.lagPositionMs, "ms");
                    figure(base + "_sine_rms", m.sineRmsMm, "mm");
                }
            }
            double best = 0.0;
            double bestSigma = 0.0;
            double bestWithinErrorLimits = 0.0;
            for (const double sigma : sigmas)
            {
                const Bench::Metrics m = Bench::measure(smootherOf<KalmanSmoother>(0.5, 1.0, sigma), rate, noise);
                printRow(fmt::format("kalman processSigma={}", sigma), m);
                if (m.withinErrorLimits())
                    bestWithinErrorLimits = std::max(bestWithinErrorLimits, m.jitterReductionPosition);
                if (m.meetsBar() && m.jitterReductionPosition > best)
                {
                    best = m.jitterReductionPosition;
                    bestSigma = sigma;
                }
                if (headline && sigma == 0.5)
                {
                    const std::string base = "smoothing_kalman_default_" + tag;
                    figure(base + "_jitter_reduction", m.jitterReductionPosition, "x");
                    figure(base + "_rotation_jitter_reduction", m.jitterReductionRotation, "x");
                    figure(base + "_ramp_lag", m.lagPositionMs, "ms");
                    figure(base + "_sine_rms", m.sineRmsMm, "mm");
                    figure(base + "_sine_rms_rotation", m.sineRmsDegrees, "deg");
                }
            }
            // 0 when no processSigma of the sweep meets the bar.
            if (headline)
            {
                figure("smoothing_kalman_best_jitter_reduction_within_bar_" + tag, best, "x");
                figure("smoothing_kalman_processsigma_for_bar_" + tag, bestSigma, "a.u.");
                // How far the jitter side of the bar is reached while keeping lag and sine error within it.
                figure("smoothing_kalman_best_jitter_reduction_within_lag_and_sine_limits_" + tag,
                       bestWithinErrorLimits, "x");
            }
        }
    }
    fmt::print("\n");
    for (const auto& f : figures)
        fmt::print("{}\n", f);
    return 0;
}
