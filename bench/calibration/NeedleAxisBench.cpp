// Needle-axis calibration accuracy: the first/last-pose eigenvector method of the tool calibration against the
// host's all-pose fit (Geometry::fitRotationAxis), by Monte Carlo on simulated rotation recordings.
//
// Simulation. A tool whose needle axis a (tool frame, random per trial) is turned about that axis by a total spin
// of 30, 90 or 180 degrees in 100 evenly spaced poses, starting from a random orientation, so that every pose maps
// a to the same tracker direction. Each measured orientation is the true one times a random rotation exp([w]x),
// w ~ N(0, s² I) with s = 0.5 degrees per axis (an RMS orientation error of 0.87 degrees). Translations play no
// part in either method. The error is the angle between the estimated and the true axis line (sign ignored).

#include <cmath>
#include <complex>
#include <cstdio>
#include <random>
#include <vector>

#include <Eigen/Dense>
#include <Eigen/Geometry>

#include "lib/numerics/Geometry.h"

namespace
{
constexpr double kPi = 3.14159265358979323846;
constexpr double kDegrees = 180.0 / kPi;
constexpr double kNoisePerAxisDegrees = 0.5;
constexpr int kPosesPerRecording = 100;
constexpr int kTrials = 2000;

Eigen::Vector3d randomUnit(std::mt19937_64& rng)
{
    std::normal_distribution<double> gauss(0.0, 1.0);
    return Eigen::Vector3d(gauss(rng), gauss(rng), gauss(rng)).normalized();
}

Eigen::Matrix3d randomRotation(std::mt19937_64& rng)
{
    std::normal_distribution<double> gauss(0.0, 1.0);
    return Eigen::Quaterniond(gauss(rng), gauss(rng), gauss(rng), gauss(rng)).normalized().toRotationMatrix();
}

Eigen::Matrix3d noiseRotation(double sigmaRadians, std::mt19937_64& rng)
{
    std::normal_distribution<double> gauss(0.0, sigmaRadians);
    const Eigen::Vector3d w(gauss(rng), gauss(rng), gauss(rng));
    const double angle = w.norm();
    return angle > 0.0 ? Eigen::AngleAxisd(angle, w / angle).toRotationMatrix() : Eigen::Matrix3d::Identity();
}

/// The tool calibration's needle-direction step: the axis of the relative rotation R_Aᵀ R_B from the first to the
/// last pose, taken as the real part of the eigenvector of the first eigenvalue (in Eigen's order) whose imaginary
/// part is below 1e-9; (0, 0, 1) when there is none.
Eigen::Vector3d firstLastAxis(const Eigen::Matrix4d& first, const Eigen::Matrix4d& last)
{
    const Eigen::Matrix3d relative = first.topLeftCorner<3, 3>().transpose() * last.topLeftCorner<3, 3>();
    const Eigen::EigenSolver<Eigen::Matrix3d> solver(relative, true);
    Eigen::Vector3d axis = Eigen::Vector3d::UnitZ();
    for (int i = 0; i < 3; ++i)
    {
        if (std::abs(solver.eigenvalues()(i).imag()) < 1e-9)
        {
            axis = solver.eigenvectors().col(i).real();
            break;
        }
    }
    if (axis.squaredNorm() > 0.0)
        axis.normalize();
    return axis;
}

double lineAngle(const Eigen::Vector3d& a, const Eigen::Vector3d& b)
{
    return std::atan2(a.cross(b).norm(), std::abs(a.dot(b)));
}

struct SpinFigures
{
    double firstLastRmsDegrees = 0.0;
    double fitRmsDegrees = 0.0;
    double reportedStdDevDegrees = 0.0;
    double meanSpinDegrees = 0.0;
    int invalid = 0;
};

SpinFigures runSpin(double spinDegrees, std::mt19937_64& rng)
{
    const double sigma = kNoisePerAxisDegrees / kDegrees;
    double firstLastSum = 0.0;
    double fitSum = 0.0;
    double stdDevSquares = 0.0;
    double spinSum = 0.0;
    SpinFigures figures;
    for (int trial = 0; trial < kTrials; ++trial)
    {
        const Eigen::Vector3d axis = randomUnit(rng);
        const Eigen::Matrix3d start = randomRotation(rng);
        std::vector<Eigen::Matrix4d> poses;
        for (int i = 0; i < kPosesPerRecording; ++i)
        {
            const double angle = spinDegrees / kDegrees * i / (kPosesPerRecording - 1);
            Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
            pose.topLeftCorner<3, 3>() =
              start * Eigen::AngleAxisd(angle, axis).toRotationMatrix() * noiseRotation(sigma, rng);
            pose.topRightCorner<3, 1>() = Eigen::Vector3d(10.0, -20.0, -1000.0);
            poses.push_back(pose);
        }
        const double firstLast = lineAngle(firstLastAxis(poses.front(), poses.back()), axis);
        firstLastSum += firstLast * firstLast;
        const Kelvaros::Geometry::RotationAxisResult fit = Kelvaros::Geometry::fitRotationAxis(poses);
        if (!fit.valid)
            ++figures.invalid;
        const double fitError = lineAngle(fit.axis, axis);
        fitSum += fitError * fitError;
        stdDevSquares += fit.axisStdDev * fit.axisStdDev;
        spinSum += fit.spinAngle;
    }
    figures.firstLastRmsDegrees = std::sqrt(firstLastSum / kTrials) * kDegrees;
    figures.fitRmsDegrees = std::sqrt(fitSum / kTrials) * kDegrees;
    figures.reportedStdDevDegrees = std::sqrt(stdDevSquares / kTrials) * kDegrees;
    figures.meanSpinDegrees = spinSum / kTrials * kDegrees;
    return figures;
}
} // namespace

int main()
{
    std::mt19937_64 rng(7031);
    std::printf("Needle axis: %d poses per recording, %.2f degrees orientation noise per axis, %d trials\n",
                kPosesPerRecording, kNoisePerAxisDegrees, kTrials);
    std::printf("%10s %22s %18s %20s %18s %8s\n", "spin", "first/last RMS [deg]", "all-pose RMS [deg]",
                "reported std [deg]", "fitted spin [deg]", "invalid");
    const int spins[] = { 30, 90, 180 };
    SpinFigures figures[3];
    for (int s = 0; s < 3; ++s)
    {
        figures[s] = runSpin(spins[s], rng);
        std::printf("%9d° %22.4f %18.4f %20.4f %18.1f %8d\n", spins[s], figures[s].firstLastRmsDegrees,
                    figures[s].fitRmsDegrees, figures[s].reportedStdDevDegrees, figures[s].meanSpinDegrees,
                    figures[s].invalid);
    }
    for (int s = 0; s < 3; ++s)
    {
        std::printf("FIGURE needle_axis_first_last_rms_error_spin%d %.4f deg\n", spins[s],
                    figures[s].firstLastRmsDegrees);
        std::printf("FIGURE needle_axis_all_pose_fit_rms_error_spin%d %.4f deg\n", spins[s], figures[s].fitRmsDegrees);
    }
    return 0;
}
