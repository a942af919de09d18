// How often the registration verdict is right, on the simulator's phantom landmarks (six, 40 to 140 mm apart).
//
// In each trial a random rigid motion places the phantom in tracker space and every landmark is touched with an
// isotropic Gaussian localisation error of RMS length FLE; the verdict is taken with that FLE as the expected one.
//  - False alarms: correct pairs called improbable. The test sets its limit at the 99th percentile of the FRE's
//    distribution, so about 1 % is expected (binomial standard error printed).
//  - Detection: the image points of two pairs, chosen at random, swapped. Counted: called improbable, and among
//    those, both swapped pairs named as pairs to check.
// Both at FLE 0.25 mm (a pointer on a drilled landmark) and 2 mm (a pointer on skin); the swap detection rate
// falls only when the FLE approaches the landmarks' spacing.
//
// Then the premise itself: the simulated tracker's landmark tour (default noise, 0.1 mm per marker), the pointer
// calibrated with its true tip and each landmark taken after 0.2 s of rest, as the workbench user does, judged
// against 0.25 mm and against the panel's default expected FLE of 0.5 mm. The tip lies 160 mm from the markers, so
// marker noise reaches the tip enlarged: the FLE the FRE implies, and how often these correct pairs are called
// improbable, say whether the default fits this tracker.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include <Eigen/Geometry>

#include "lib/numerics/RegistrationQuality.h"
#include "stream/sources/TrackingSimulator.h"

using namespace Kelvaros;

namespace
{
using Points = std::vector<Eigen::Vector3d>;
constexpr int kTrials = 20000;

Eigen::Matrix4d randomRigid(std::mt19937& rng)
{
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> shift(-500.0, 500.0);
    const Eigen::Quaterniond q = Eigen::Quaterniond(normal(rng), normal(rng), normal(rng), normal(rng)).normalized();
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topLeftCorner<3, 3>() = q.toRotationMatrix();
    m.topRightCorner<3, 1>() = Eigen::Vector3d(shift(rng), shift(rng), shift(rng));
    return m;
}

struct Rates
{
    int falseAlarms = 0;
    int detected = 0;
    int named = 0;
};

bool names(const RegistrationQualityReport& report, std::size_t pair)
{
    return std::find(report.worstPairs.begin(), report.worstPairs.end(), pair) != report.worstPairs.end();
}

Rates run(double fle)
{
    const Points landmarks = TrackingSimulator::groundTruth().landmarks_Phantom;
    const Eigen::Vector3d centre = RegistrationQuality::centroid(landmarks);
    Rates rates;
    for (int trial = 0; trial < kTrials; ++trial)
    {
        std::mt19937 rng(unsigned(trial + 1));
        std::normal_distribution<double> noise(0.0, fle / std::sqrt(3.0));
        const Eigen::Matrix4d phantomToTracker = randomRigid(rng);
        Points tracked;
        for (const Eigen::Vector3d& p : landmarks)
            tracked.push_back((phantomToTracker * p.homogeneous()).head<3>() +
                              Eigen::Vector3d(noise(rng), noise(rng), noise(rng)));
        const auto correct = RegistrationQuality::evaluate(tracked, landmarks, fle, centre);
        rates.falseAlarms += correct->verdict == RegistrationVerdict::Improbable;

        std::uniform_int_distribution<std::size_t> pick(0, landmarks.size() - 1);
        const std::size_t a = pick(rng);
        std::size_t b = pick(rng);
        while (b == a)
            b = pick(rng);
        Points swapped = landmarks;
        std::swap(swapped[a], swapped[b]);
        const auto report = RegistrationQuality::evaluate(tracked, swapped, fle, centre);
        if (report->verdict != RegistrationVerdict::Improbable)
            continue;
        ++rates.detected;
        rates.named += names(*report, a) && names(*report, b);
    }
    return rates;
}
/// The landmark tour of one seed: the calibrated tip after 12 frames of rest on each landmark.
Points touchedLandmarks(uint64_t seed)
{
    const TrackingSimulator::GroundTruth& truth = TrackingSimulator::groundTruth();
    Eigen::Matrix4d tip = Eigen::Matrix4d::Identity();
    tip.topRightCorner<3, 1>() = truth.tool("Pointer")->tipOffset_Tool;
    const TrackingSimulator simulator({ 60.0, 0.1, 0.0, TrackingSimulator::Scenario::Landmarks, seed });
    Points tracked;
    int resting = 0;
    for (int64_t k = 0; k < 20000 && tracked.size() < truth.landmarks_Phantom.size(); ++k)
    {
        resting = simulator.touchedLandmark(k) == int(tracked.size()) ? resting + 1 : 0;
        if (resting < 12)
            continue;
        tracked.push_back((simulator.frame(k).instruments.front().matrix * tip).topRightCorner<3, 1>());
        resting = 0;
    }
    return tracked;
}
} // namespace

int main()
{
    for (const double fle : { 0.25, 2.0 })
    {
        const Rates rates = run(fle);
        const double p = double(rates.falseAlarms) / kTrials;
        const std::string tag = fle < 1.0 ? "fle025" : "fle2";
        std::printf("FLE %.2f mm, %d trials: false alarms %d (standard error %.2f %%), swaps detected %d, both "
                    "swapped pairs named in %d\n",
                    fle, kTrials, rates.falseAlarms, 100.0 * std::sqrt(p * (1 - p) / kTrials), rates.detected,
                    rates.named);
        std::printf("FIGURE registration_verdict_false_alarm_%s %.2f %%\n", tag.c_str(), 100.0 * p);
        std::printf("FIGURE registration_verdict_swap_detection_%s %.2f %%\n", tag.c_str(),
                    100.0 * rates.detected / kTrials);
        std::printf("FIGURE registration_verdict_swap_named_%s %.2f %%\n", tag.c_str(),
                    rates.detected ? 100.0 * rates.named / rates.detected : 0.0);
    }

    constexpr int kTours = 200;
    const Points landmarks = TrackingSimulator::groundTruth().landmarks_Phantom;
    int flagged = 0;
    int flaggedAtDefault = 0;
    double freSquares = 0.0;
    for (int seed = 1; seed <= kTours; ++seed)
    {
        const Points tracked = touchedLandmarks(uint64_t(seed));
        const auto judged = [&](double fle)
        {
            const auto report =
              RegistrationQuality::evaluate(tracked, landmarks, fle, RegistrationQuality::centroid(landmarks));
            freSquares += fle < 0.3 ? report->fre * report->fre : 0.0;
            return report->verdict == RegistrationVerdict::Improbable;
        };
        flagged += judged(0.25);
        flaggedAtDefault += judged(0.5);
    }
    const double fre = std::sqrt(freSquares / kTours);
    std::printf("Simulated landmark tour, %d seeds: RMS FRE %.3f mm\n", kTours, fre);
    std::printf("FIGURE registration_simulated_pointer_fle %.3f mm\n", fre * std::sqrt(6.0 / 4.0));
    std::printf("FIGURE registration_verdict_simulated_tour_flagged_fle025 %.1f %%\n", 100.0 * flagged / kTours);
    std::printf("FIGURE registration_verdict_simulated_tour_flagged_default %.1f %%\n",
                100.0 * flaggedAtDefault / kTours);
    return 0;
}
