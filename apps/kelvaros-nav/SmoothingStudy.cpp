#include "SmoothingStudy.h"

#include <cmath>
#include <map>

#include "stream/sources/TrackingSimulator.h"

namespace Kelvaros::Nav
{

namespace
{
using Track = std::map<int64_t, Eigen::Vector3d>; // frame → position

/// Positions of the tool in tracked frames, by simulator frame.
Track trackOf(const TrackingSimulator& simulator, const std::string& toolId, const std::vector<TrackingSample>& samples)
{
    Track track;
    const double rate = simulator.settings().rateHz;
    for (const auto& sample : samples)
        for (const auto& instrument : sample.instruments)
            if (instrument.ID() == toolId && instrument.tracked && instrument.quality > 0)
            {
                const int64_t frame =
                  std::llround(double(sample.timestampDevice - simulator.deviceTimestamp(0)) * rate / 1e6);
                if (simulator.deviceTimestamp(frame) == sample.timestampDevice)
                    track[frame] = instrument.matrix.block<3, 1>(0, 3);
            }
    return track;
}

double jitter(const Track& track, const std::vector<Eigen::Vector3d>& truth)
{
    double sum = 0;
    int count = 0;
    for (const auto& [frame, p] : track)
    {
        const auto previous = track.find(frame - 1);
        const auto next = track.find(frame + 1);
        if (frame < 1 || previous == track.end() || next == track.end() || frame + 1 >= int64_t(truth.size()))
            continue;
        const Eigen::Vector3d e =
          (next->second - truth[frame + 1]) - 2 * (p - truth[frame]) + (previous->second - truth[frame - 1]);
        sum += e.squaredNorm();
        ++count;
    }
    return count ? std::sqrt(sum / count) : 0.0;
}

double errorRms(const Track& track, const std::vector<Eigen::Vector3d>& truth, double shiftFrames)
{
    double sum = 0;
    int count = 0;
    for (const auto& [frame, p] : track)
    {
        const double at = double(frame) - shiftFrames;
        if (at < 0 || at + 1 >= double(truth.size()))
            continue;
        const auto lower = static_cast<size_t>(at);
        const double w = at - double(lower);
        sum += (p - ((1 - w) * truth[lower] + w * truth[lower + 1])).squaredNorm();
        ++count;
    }
    return count ? std::sqrt(sum / count) : 0.0;
}
} // namespace

std::optional<SmoothingFigures> studySmoothing(const TrackingSimulator& simulator, const std::string& toolId,
                                               const std::vector<TrackingSample>& raw,
                                               const std::vector<TrackingSample>& smoothed)
{
    const Track rawTrack = trackOf(simulator, toolId, raw);
    const Track smoothTrack = trackOf(simulator, toolId, smoothed);
    if (rawTrack.size() < 10 || smoothTrack.size() < 10)
        return std::nullopt;
    std::vector<Eigen::Vector3d> truth;
    for (int64_t k = 0; k <= rawTrack.rbegin()->first + 1; ++k)
        truth.push_back(simulator.truePose(toolId, k).block<3, 1>(0, 3));

    SmoothingFigures figures;
    figures.samples = static_cast<int>(smoothTrack.size());
    figures.rawErrorRms = errorRms(rawTrack, truth, 0);
    figures.smoothedErrorRms = errorRms(smoothTrack, truth, 0);
    figures.rawJitter = jitter(rawTrack, truth);
    figures.smoothedJitter = jitter(smoothTrack, truth);
    const double framesPerMs = simulator.settings().rateHz / 1000.0;
    double best = figures.smoothedErrorRms;
    int bestMs = 0;
    for (int ms = 1; ms <= SmoothingFigures::kLongestLagMs; ++ms)
    {
        const double error = errorRms(smoothTrack, truth, ms * framesPerMs);
        if (error < best)
        {
            best = error;
            bestMs = ms;
        }
    }
    if (bestMs < SmoothingFigures::kLongestLagMs)
        figures.lagMs = bestMs;
    return figures;
}

} // namespace Kelvaros::Nav
