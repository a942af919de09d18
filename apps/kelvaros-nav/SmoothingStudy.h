#pragma once

#include <optional>
#include <string>
#include <vector>

#include "stream/io/TrackingSample.h"

namespace Kelvaros
{
class TrackingSimulator;
}

namespace Kelvaros::Nav
{

/// How a smoothed stream treats one simulated tool, judged against the simulator's noise-free poses.
///
/// Jitter is the RMS second difference of the position error e(k) = p(k) − p_true(k) over consecutive tracked
/// frames: the frame-to-frame shake a user sees, with the motion itself and any slowly varying bias (lag)
/// removed. Lag is the delay τ (searched in 1 ms steps up to kLongestLagMs) that minimises the RMS distance between
/// the smoothed positions and the true trajectory τ earlier; a minimum at the search's end is no measurement (the lag
/// may be longer) and leaves the lag empty. Positions are those of the tool's marker frame.
struct SmoothingFigures
{
    static constexpr int kLongestLagMs = 200;

    double rawErrorRms = 0;      ///< mm, measured positions against the truth
    double smoothedErrorRms = 0; ///< mm
    double rawJitter = 0;        ///< mm
    double smoothedJitter = 0;   ///< mm
    std::optional<double> lagMs;
    int samples = 0;
};

/// The figures of `toolId` from the samples a simulator produced (`raw`) and those the smoothed stream emitted
/// for them (matched by device timestamp). Empty when fewer than 10 tracked frames can be compared.
std::optional<SmoothingFigures> studySmoothing(const TrackingSimulator& simulator, const std::string& toolId,
                                               const std::vector<TrackingSample>& raw,
                                               const std::vector<TrackingSample>& smoothed);

} // namespace Kelvaros::Nav
