#include "registration/RegistrationQuality.h"

#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "GeometryTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
using Points = std::vector<Eigen::Vector3d>;

// A square of landmarks whose first image point lies 2 mm radially out: by symmetry the fit does not rotate and
// shifts by a quarter of it, leaving residuals 1.5 and 0.5 mm; without that pair the rest fit exactly.
TEST(RegistrationQuality, ResidualsAndLeaveOneOutOfAHandComputedCase)
{
    const Points image = { { 12, 0, 0 }, { -10, 0, 0 }, { 0, 10, 0 }, { 0, -10, 0 } };
    const Points square = { { 10, 0, 0 }, { -10, 0, 0 }, { 0, 10, 0 }, { 0, -10, 0 } };
    std::mt19937 rng(3);
    const Eigen::Matrix4d imageToTracker = randomRigid(rng);
    Points tracked;
    for (const Eigen::Vector3d& p : square)
        tracked.push_back(apply(imageToTracker, p));
    const auto report = RegistrationQuality::evaluate(tracked, image, 0.3, Eigen::Vector3d(0, 0, 30));
    ASSERT_TRUE(report);
    EXPECT_NEAR(report->fre, std::sqrt(0.75), 1e-9);
    const double residuals[] = { 1.5, 0.5, 0.5, 0.5 };
    for (size_t i = 0; i < 4; ++i)
        EXPECT_NEAR(report->pairs[i].residual, residuals[i], 1e-9) << "pair " << i + 1;
    EXPECT_EQ(report->pairs[0].residualClass, ResidualClass::Outlier);
    EXPECT_EQ(report->pairs[1].residualClass, ResidualClass::Fine);
    EXPECT_NEAR(report->pairs[0].freWithout, 0.0, 1e-9);
    EXPECT_NEAR(report->pairs[0].leftOutResidual, 2.0, 1e-9);
    EXPECT_EQ(report->hint, "pair 1: FRE 0.9 → 0.0 mm");
}

TEST(RegistrationQuality, ResidualClassesAgainstTheLocalisationError)
{
    const struct
    {
        double residual;
        ResidualClass expected;
    } cases[] = { { 0.1, ResidualClass::Fine },
                  { 0.5, ResidualClass::Fine },
                  { 0.51, ResidualClass::High },
                  { 0.75, ResidualClass::High },
                  { 0.76, ResidualClass::Outlier } };
    for (const auto& c : cases) // FLE 0.25 mm: the bounds 0.5 and 0.75 are exact in binary
        EXPECT_EQ(RegistrationQuality::classify(c.residual, 0.25), c.expected) << c.residual;
}

// Six landmarks spread over a head, touched with 0.25 mm RMS error; in the second run of each seed one image
// landmark is misplaced by 5 mm. The hint names exactly that pair, and clean data get none.
TEST(RegistrationQuality, HintNamesAMisplacedLandmarkAndOnlyThat)
{
    const Points landmarks = { { 0, 90, 30 },  { -75, 0, 20 },  { 75, 0, 20 },
                               { 0, -90, 40 }, { -40, 40, 80 }, { 40, -40, 80 } };
    const Eigen::Vector3d target(10, 20, 10);
    for (unsigned seed = 1; seed <= 12; ++seed)
    {
        std::mt19937 rng(seed);
        std::normal_distribution<double> noise(0.0, 0.25 / std::sqrt(3.0));
        const Eigen::Matrix4d imageToTracker = randomRigid(rng);
        Points tracked;
        Points image;
        for (const Eigen::Vector3d& p : landmarks)
        {
            tracked.push_back(apply(imageToTracker, p) + Eigen::Vector3d(noise(rng), noise(rng), noise(rng)));
            image.push_back(p);
        }
        const auto clean = RegistrationQuality::evaluate(tracked, image, 0.25, target);
        ASSERT_TRUE(clean);
        EXPECT_FALSE(clean->suspect) << "seed " << seed << ": " << clean->hint;
        for (const PairQuality& pair : clean->pairs) // fewer landmarks predict a larger target error
            EXPECT_GT(pair.treWithout, clean->treAtTarget) << "seed " << seed;

        const size_t misplaced = seed % landmarks.size();
        image[misplaced] += 5.0 * Eigen::Vector3d(noise(rng), noise(rng), noise(rng)).normalized();
        const auto report = RegistrationQuality::evaluate(tracked, image, 0.25, target);
        ASSERT_TRUE(report);
        ASSERT_EQ(report->suspect, misplaced) << "seed " << seed;
        EXPECT_EQ(report->hint.rfind("pair " + std::to_string(misplaced + 1) + ": FRE ", 0), 0u) << report->hint;
    }
}
} // namespace
