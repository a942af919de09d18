// Cost of judging a paired-point registration: the fit of all pairs, residuals and the leave-one-out pass (one fit
// and one target error prediction per pair, so quadratic in the pair count), for 6, 20 and 100 pairs on landmarks
// spread over a head-sized box with 0.25 mm localisation noise and one landmark misplaced by 5 mm.
// Prints the median time of one evaluation over batches of repeated calls.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include <Eigen/Geometry>

#include "lib/numerics/RegistrationQuality.h"

using namespace Kelvaros;
using Clock = std::chrono::steady_clock;

namespace
{
struct Pairs
{
    std::vector<Eigen::Vector3d> tracked;
    std::vector<Eigen::Vector3d> image;
};

Pairs makePairs(int count, std::mt19937& rng)
{
    std::uniform_real_distribution<double> place(-80.0, 80.0);
    std::normal_distribution<double> noise(0.0, 0.25 / std::sqrt(3.0));
    const Eigen::Affine3d imageToTracker =
      Eigen::Translation3d(300, -120, 900) * Eigen::AngleAxisd(0.7, Eigen::Vector3d(1, -2, 0.5).normalized());
    Pairs pairs;
    for (int i = 0; i < count; ++i)
    {
        const Eigen::Vector3d p(place(rng), place(rng), place(rng));
        pairs.image.push_back(p);
        pairs.tracked.push_back(imageToTracker * p + Eigen::Vector3d(noise(rng), noise(rng), noise(rng)));
    }
    pairs.image[size_t(count / 2)] += Eigen::Vector3d(3, 4, 0);
    return pairs;
}

/// Median over batches of the time of one evaluation (microseconds).
double evaluationMicroseconds(const Pairs& pairs)
{
    const Eigen::Vector3d target(10, 20, 10);
    std::vector<double> batches;
    size_t suspects = 0;
    constexpr int kBatches = 15;
    constexpr int kCalls = 200;
    for (int batch = 0; batch < kBatches; ++batch)
    {
        const auto start = Clock::now();
        for (int call = 0; call < kCalls; ++call)
            suspects += RegistrationQuality::evaluate(pairs.tracked, pairs.image, 0.25, target)->suspect.has_value();
        batches.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kCalls);
    }
    if (suspects != kBatches * kCalls)
        std::fprintf(stderr, "the misplaced landmark was not found among %zu pairs\n", pairs.image.size());
    std::nth_element(batches.begin(), batches.begin() + batches.size() / 2, batches.end());
    return batches[batches.size() / 2];
}
} // namespace

int main()
{
    std::mt19937 rng(7);
    for (const int count : { 6, 20, 100 })
        std::printf("FIGURE registration_quality_us_%d %.4g us\n", count,
                    evaluationMicroseconds(makePairs(count, rng)));
    return 0;
}
