#include "lib/points/PointCorrespondences.h"

#include <cmath>

#include <gtest/gtest.h>

#include "core/Properties.h"
#include "lib/SharedImageSet.h"
#include "lib/numerics/RigidRegistration.h"
#include "lib/points/PointsOnImage.h"

#include "GeometryTestSupport.h"
#include "LogExpectation.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
/// Image points on a volume placed at `placement`, and the same points as a tracker at `trackerToWorld` sees them
/// once the volume is placed at placement · truth (the tracker's points live on a set of their own).
struct Scene
{
    SharedImageSet volume{ "volume", Eigen::Vector3i(10, 10, 10), Eigen::Vector3d(1, 1, 1) };
    SharedImageSet tracker{ "tracker", Eigen::Vector3i(1, 1, 1), Eigen::Vector3d(1, 1, 1) };
    PointsOnImage tracked{ tracker };
    PointsOnImage image{ volume };
    Eigen::Matrix4d truth;
    std::vector<Eigen::Vector3d> p;

    Scene(std::mt19937& rng, int count, const Eigen::Matrix4d& placement, const Eigen::Matrix4d& trackerToWorld,
          double noise = 0.0)
      : truth(randomRigid(rng)), p(randomPoints(rng, count))
    {
        volume.setMatrix(placement);
        tracker.setMatrix(trackerToWorld);
        std::normal_distribution<double> error(0.0, noise > 0.0 ? noise : 1.0);
        for (const auto& point : p)
        {
            image.addImagePoint(point, 0);
            const Eigen::Vector3d jitter(error(rng), error(rng), error(rng));
            tracked.addImagePoint(apply(trackerToWorld.inverse() * placement * truth, point) + jitter * noise, 0);
        }
    }
};
} // namespace

TEST(PointCorrespondences, PlacementTimesTMovesImagePointsOntoTrackedPoints)
{
    std::mt19937 rng(5);
    for (int trial = 0; trial < 10; ++trial)
    {
        // Identity placements first: T must map image points onto tracked points (not the other way round).
        const bool plain = trial == 0;
        Scene scene(rng, 3 + trial % 5, plain ? Eigen::Matrix4d::Identity() : randomRigid(rng),
                    plain ? Eigen::Matrix4d::Identity() : randomRigid(rng));
        PointCorrespondences pairs(scene.tracked, scene.image);
        double error = -1.0;
        const auto T = pairs.fitRigid(&error);
        ASSERT_TRUE(T);
        EXPECT_TRUE(T->isApprox(scene.truth, 1e-9)) << "trial " << trial;
        EXPECT_NEAR(error, 0.0, 1e-9);

        // Applied as the volume's new placement it brings every pair together in world space.
        scene.volume.setMatrix(scene.volume.matrix() * *T);
        for (int i = 0; i < pairs.size(); ++i)
            EXPECT_LT((scene.image.point(i) - scene.tracked.point(i)).norm(), 1e-8);
    }
}

TEST(PointCorrespondences, ErrorIsTheRmsResidualAndPredictionsFollowTheErrorModel)
{
    std::mt19937 rng(8);
    Scene scene(rng, 6, randomRigid(rng), Eigen::Matrix4d::Identity(), 0.5);
    PointCorrespondences pairs(scene.tracked, scene.image);
    const auto fit = pairs.fit();
    ASSERT_TRUE(fit);
    std::vector<Eigen::Vector3d> targets;
    for (const auto& q : scene.tracked.allPoints())
        targets.push_back(apply(scene.volume.matrix().inverse(), q));
    EXPECT_NEAR(fit->fre, RigidRegistration::rmsResidual(fit->transform, scene.p, targets), 1e-12);
    EXPECT_GT(fit->fre, 0.05);
    EXPECT_LT(fit->fre, 2.0);

    // FLE / sqrt(N) at the centroid, growing away from it; an explicit FLE overrides the estimate.
    EXPECT_NEAR(*fit->predictedTreAtCentroid(0.6), 0.6 / std::sqrt(6.0), 1e-12);
    EXPECT_NEAR(*pairs.predictedTreAtCentroid(), RigidRegistration::estimateFle(fit->fre, 6) / std::sqrt(6.0), 1e-12);
    const Eigen::Vector3d far = scene.p[0] + Eigen::Vector3d(150, 0, 0);
    EXPECT_NEAR(*pairs.predictedTre(far, 0.6), *RigidRegistration::predictedTre(scene.p, 0.6, far), 1e-12);
    EXPECT_GT(*pairs.predictedTre(far, 0.6), *fit->predictedTreAtCentroid(0.6));
    LogExpectation expect(Log::Warning, "localisation error of -1", 1);
    EXPECT_FALSE(fit->predictedTre(far, -1.0));
}
