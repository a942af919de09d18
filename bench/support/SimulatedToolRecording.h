#pragma once

// Recordings of one tool on the simulated tracker, as the calibration records them: the tracked frames of that
// tool, optionally with a hand's wobble. Shared by the needle-axis benchmark and the calibration tests.
//
// The wobble tilts the tool about its fixed tip (the dimple) by a small rotation about an axis across the spin
// direction, w(t) = a (sin(2 pi f1 t + p1) e1 + sin(2 pi f2 t + p2) e2), with e1, e2 unit vectors across the spin
// direction, frequencies between 0.3 and 1.3 Hz and phases drawn from the seed: a slow, smooth sway whose RMS angle
// is a. It is applied to the measured pose, whose marker noise it turns along, which keeps the noise's statistics.

#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <string>

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

/// The tool's tracked frames of the scenario, in order, with its tracker id ("<tool>" of device "Simulated").
inline std::unique_ptr<TrackingSequence> simulatedRecording(const RecordingSettings& settings)
{
    TrackingSimulator::Settings simulation;
    simulation.scenario = settings.scenario;
    simulation.seed = settings.seed;
    simulation.noiseMm = settings.noiseMm;
    const TrackingSimulator simulator(simulation);
    const HandWobble wobble(settings);
    auto sequence = std::make_unique<TrackingSequence>(settings.tool);
    sequence->setTrackerID(TrackerID(settings.tool, "Simulated", settings.tool));
    for (int64_t k = settings.firstFrame; k < settings.firstFrame + settings.frames; ++k)
        for (const TrackingInstrument& instrument : simulator.frame(k).instruments)
            if (instrument.ID() == settings.tool && instrument.tracked)
                sequence->add(wobble.at(double(k) / simulation.rateHz) * instrument.matrix, instrument.timestamp,
                              instrument.quality);
    return sequence;
}

} // namespace Kelvaros::Bench
