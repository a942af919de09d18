#pragma once

// Recordings of one tool on the simulated tracker, as the calibration records them: the tracked frames of that
// tool, optionally with a hand's wobble, a tip that slips in its dimple and a tracker error that drifts. Shared by
// the calibration benchmarks and tests.
//
// The wobble tilts the tool about its fixed tip (the dimple) by a small rotation about an axis across the spin
// direction, w(t) = a (sin(2 pi f1 t + p1) e1 + sin(2 pi f2 t + p2) e2), with e1, e2 unit vectors across the spin
// direction, frequencies between 0.3 and 1.3 Hz and phases drawn from the seed: a slow, smooth sway whose RMS angle
// is a. It is applied to the measured pose, whose marker noise it turns along, which keeps the noise's statistics.
//
// The simulator's marker noise is white: every frame errs independently. A real recording at 60 Hz errs slowly as
// well, which the two slow errors model, each a stationary Gauss-Markov (Ornstein-Uhlenbeck) process per coordinate
// with correlation time `slowErrorSeconds` (autocorrelation exp(-|dt| / T)):
//  - Tip slip: the tip slides across the bottom of its dimple (tracker x and y; the dimple faces the tracker's +z,
//    along which the scenarios hold the tool) by d(t) of RMS tipSlipMm per coordinate. The measured pose is moved
//    by d(t), so that it still puts the tool's true tip offset on the slipped tip.
//  - Tracker drift: every marker's measured position carries a slowly varying error of RMS trackerDriftMm per
//    coordinate (as the tracker warms and the tool crosses its working volume), on top of the white noise. The
//    measured pose is the simulator's times the rigid fit of the marker body to its drifted markers, as the
//    tracker's own fit would take them.
// Neither changes the truth: the tool's tip offset is that of TrackingSimulator::groundTruth(), and the slip and
// the drift have zero mean about the resting tip and the true markers.

#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <Eigen/Geometry>

#include "stream/TrackingSequence.h"
#include "stream/sources/TrackingSimulator.h"

namespace Kelvaros::Bench
{

struct RecordingSettings
{
    TrackingSimulator::Scenario scenario = TrackingSimulator::Scenario::Spin;
    std::string tool = "Needle";
    uint64_t seed = 1;
    /// Frames at the simulator's default 60 Hz, from `firstFrame` on.
    int frames = 600;
    int64_t firstFrame = 0;
    double noiseMm = 0.1;
    /// RMS angle of the hand's sway about the tip, degrees; 0 for none.
    double wobbleDegrees = 0.0;
    /// RMS slide of the tip in its dimple per horizontal coordinate, mm; 0 for none.
    double tipSlipMm = 0.0;
    /// RMS of the slowly varying error of every marker per coordinate, mm; 0 for none.
    double trackerDriftMm = 0.0;
    /// Correlation time of the slip and the drift, seconds.
    double slowErrorSeconds = 0.5;
};

/// The tip the scenario holds the tool's tip at (the spin's dimple, the pivot's), tracker coordinates.
inline Eigen::Vector3d restingTip(const RecordingSettings& settings)
{
    const TrackingSimulator::GroundTruth& truth = TrackingSimulator::groundTruth();
    const bool needle = settings.tool == "Needle";
    const bool spin = settings.scenario == TrackingSimulator::Scenario::Spin;
    return needle == spin ? truth.pivotPoint_Tracker : truth.needlePivotPoint_Tracker;
}

/// The wobble at time t (seconds) as a rotation about the tip: 4x4, tracker coordinates.
class HandWobble
{
public:
    explicit HandWobble(const RecordingSettings& settings)
      : m_tip(restingTip(settings)), m_amplitude(settings.wobbleDegrees)
    {
        std::mt19937_64 rng(settings.seed * 7919 + 17);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        constexpr double kTwoPi = 6.283185307179586;
        for (double& f : m_frequencies)
            f = 0.3 + unit(rng);
        for (double& p : m_phases)
            p = kTwoPi * unit(rng);
        const Eigen::Vector3d direction = TrackingSimulator::groundTruth().spinDirection_Tracker;
        m_across[0] = direction.unitOrthogonal();
        m_across[1] = direction.cross(m_across[0]);
    }

    [[nodiscard]] Eigen::Matrix4d at(double t) const
    {
        constexpr double kTwoPi = 6.283185307179586;
        const double a = m_amplitude * kTwoPi / 360.0;
        const Eigen::Vector3d w = a * (std::sin(kTwoPi * m_frequencies[0] * t + m_phases[0]) * m_across[0] +
                                       std::sin(kTwoPi * m_frequencies[1] * t + m_phases[1]) * m_across[1]);
        Eigen::Matrix4d sway = Eigen::Matrix4d::Identity();
        if (w.norm() > 0.0)
        {
            const Eigen::Matrix3d rotation = Eigen::AngleAxisd(w.norm(), w.normalized()).toRotationMatrix();
            sway.topLeftCorner<3, 3>() = rotation;
            sway.topRightCorner<3, 1>() = m_tip - rotation * m_tip;
        }
        return sway;
    }

private:
    Eigen::Vector3d m_tip;
    double m_amplitude;
    double m_frequencies[2] = {};
    double m_phases[2] = {};
    Eigen::Vector3d m_across[2];
};

/// A stationary Ornstein-Uhlenbeck process per coordinate, sampled frame by frame: x_k+1 = r x_k + sqrt(1 - r²) s e_k
/// with r = exp(-dt / T), which keeps the RMS s at every frame and the autocorrelation exp(-|dt| / T).
class SlowError
{
public:
    SlowError(int dimension, double rms, double correlationFrames, uint64_t seed)
      : m_rng(seed), m_value(Eigen::VectorXd::Zero(dimension)), m_rms(rms), m_decay(std::exp(-1.0 / correlationFrames))
    {
        for (Eigen::Index i = 0; i < m_value.size(); ++i)
            m_value(i) = m_rms * m_gauss(m_rng);
    }

    [[nodiscard]] const Eigen::VectorXd& value() const { return m_value; }

    void advance()
    {
        const double innovation = m_rms * std::sqrt(1.0 - m_decay * m_decay);
        for (Eigen::Index i = 0; i < m_value.size(); ++i)
            m_value(i) = m_decay * m_value(i) + innovation * m_gauss(m_rng);
    }

private:
    std::mt19937_64 m_rng;
    std::normal_distribution<double> m_gauss;
    Eigen::VectorXd m_value;
    double m_rms;
    double m_decay;
};

/// The slip and the drift of one recording, frame after frame from its first.
class SlowErrors
{
public:
    SlowErrors(const RecordingSettings& settings, double rateHz)
      : m_slip(2, settings.tipSlipMm, settings.slowErrorSeconds * rateHz, settings.seed * 104729 + 3),
        m_markers(TrackingSimulator::groundTruth().tool(settings.tool)->markers_Tool),
        m_drift(3 * int(m_markers.size()), settings.trackerDriftMm, settings.slowErrorSeconds * rateHz,
                settings.seed * 130363 + 5)
    {
    }

    /// The measured pose, swayed by `wobble` about the resting tip, with the current drift and slip.
    [[nodiscard]] Eigen::Matrix4d apply(const Eigen::Matrix4d& wobble, const Eigen::Matrix4d& measured) const
    {
        Eigen::Matrix4d drift = Eigen::Matrix4d::Identity();
        if (m_drift.value().squaredNorm() > 0.0)
        {
            const Eigen::Index count = Eigen::Index(m_markers.size());
            Eigen::Matrix3Xd markers(3, count);
            for (Eigen::Index i = 0; i < count; ++i)
                markers.col(i) = m_markers[size_t(i)];
            const Eigen::Matrix3Xd drifted =
              markers + Eigen::Map<const Eigen::Matrix3Xd>(m_drift.value().data(), 3, count);
            drift = Eigen::umeyama(markers, drifted, false);
        }
        Eigen::Matrix4d slip = Eigen::Matrix4d::Identity();
        slip.block<2, 1>(0, 3) = m_slip.value();
        return slip * wobble * measured * drift;
    }

    void advance()
    {
        m_slip.advance();
        m_drift.advance();
    }

private:
    SlowError m_slip;
    std::vector<Eigen::Vector3d> m_markers;
    SlowError m_drift;
};

/// The tool's tracked frames of the scenario, in order, with its tracker id ("<tool>" of device "Simulated").
inline std::unique_ptr<TrackingSequence> simulatedRecording(const RecordingSettings& settings)
{
    TrackingSimulator::Settings simulation;
    simulation.scenario = settings.scenario;
    simulation.seed = settings.seed;
    simulation.noiseMm = settings.noiseMm;
    const TrackingSimulator simulator(simulation);
    const HandWobble wobble(settings);
    SlowErrors slow(settings, simulation.rateHz);
    auto sequence = std::make_unique<TrackingSequence>(settings.tool);
    sequence->setTrackerID(TrackerID(settings.tool, "Simulated", settings.tool));
    for (int64_t k = settings.firstFrame; k < settings.firstFrame + settings.frames; ++k, slow.advance())
        for (const TrackingInstrument& instrument : simulator.frame(k).instruments)
            if (instrument.ID() == settings.tool && instrument.tracked)
                sequence->add(slow.apply(wobble.at(double(k) / simulation.rateHz), instrument.matrix),
                              instrument.timestamp, instrument.quality);
    return sequence;
}

} // namespace Kelvaros::Bench
