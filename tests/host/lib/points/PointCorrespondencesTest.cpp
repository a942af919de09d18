#include "lib/points/PointCorrespondences.h"

#include <cmath>

#include <gtest/gtest.h>

#include "core/Properties.h"
#include "lib/SharedImageSet.h"
#include "lib/numerics/RigidRegistration.h"
#include "lib/points/PointsOnImage.h"

#include "LogExpectation.h"
#include "PointsTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
/// Points kept in the frame of a data object that is placed in world space by `toWorld` (as a tracker's points
/// are placed by the stream's registration matrix).
class FramePoints : public PointsOnData
{
public:
    explicit FramePoints(Eigen::Matrix4d toWorld = Eigen::Matrix4d::Identity()) { m_owner.setMatrix(toWorld); }
    void add(const Eigen::Vector3d& p)
    {
        m_points.push_back(p);
        appendRecord();
        signalPointsAdded.emitSignal(size() - 1, size());
    }
    [[nodiscard]] const std::vector<Eigen::Vector3d>& allPoints() const override { return m_points; }
    [[nodiscard]] const Data* data() const override { return &m_owner; }
    void remove(int first, int last) override
    {
        if (!clampRange(first, last))
            return;
        m_points.erase(m_points.begin() + first, m_points.begin() + last);
        eraseRecords(first, last);
        signalPointsRemoved.emitSignal(first, last);
    }
    void configurePoint(const Properties*) override {}
    void pointConfiguration(Properties*, int) const override {}
    [[nodiscard]] Eigen::Matrix4d pointsToWorld() const override { return m_owner.matrix(); }

private:
    PlainData m_owner;
    std::vector<Eigen::Vector3d> m_points;
};

struct Scene
{
    SharedImageSet volume{ "volume", Eigen::Vector3i(10, 10, 10), Eigen::Vector3d(1, 1, 1) };
    std::unique_ptr<FramePoints> tracked;
    std::unique_ptr<PointsOnImage> image;
    Eigen::Matrix4d truth;          // the registration to find: image coordinates → registered image coordinates
    std::vector<Eigen::Vector3d> p; // image points

    /// Volume placed at `placement`, tracker at `trackerToWorld`; the tracked points are where the image points
    /// are once the volume is placed at placement · truth.
    Scene(std::mt19937& rng, int count, const Eigen::Matrix4d& placement, const Eigen::Matrix4d& trackerToWorld)
    {
        volume.setMatrix(placement);
        tracked = std::make_unique<FramePoints>(trackerToWorld);
        image = std::make_unique<PointsOnImage>(volume);
        truth = randomRigid(rng);
        p = randomPoints(rng, count);
        for (const auto& point : p)
        {
            image->addImagePoint(point, 0);
            tracked->add(apply(trackerToWorld.inverse() * placement * truth, point));
        }
    }
};
} // namespace

TEST(PointCorrespondences, PlacementTimesTMovesImagePointsOntoTrackedPoints)
{
    std::mt19937 rng(5);
    for (int trial = 0; trial < 20; ++trial)
    {
        // Identity placements first: T must map image points onto tracked points (not the other way round).
        const bool plain = trial == 0;
        Scene scene(rng, 3 + trial % 5, plain ? Eigen::Matrix4d::Identity() : randomRigid(rng),
                    plain ? Eigen::Matrix4d::Identity() : randomRigid(rng));
        PointCorrespondences pairs(*scene.tracked, *scene.image);
        ASSERT_EQ(pairs.size(), int(scene.p.size()));
        double error = -1.0;
        const auto T = pairs.fitRigid(&error);
        ASSERT_TRUE(T);
        EXPECT_TRUE(T->isApprox(scene.truth, 1e-9)) << "trial " << trial << "\n" << *T << "\n" << scene.truth;
        EXPECT_NEAR(error, 0.0, 1e-9);
        if (plain)
        {
            for (size_t i = 0; i < scene.p.size(); ++i)
                EXPECT_TRUE(apply(*T, scene.p[i]).isApprox(scene.tracked->allPoints()[i], 1e-9));
        }

        // Applying it as the volume's new placement brings every pair together in world space.
        scene.volume.setMatrix(scene.volume.matrix() * *T);
        for (int i = 0; i < pairs.size(); ++i)
            EXPECT_LT((scene.image->point(i) - apply(scene.tracked->pointsToWorld(), scene.tracked->point(i))).norm(),
                      1e-8);
    }
}

TEST(PointCorrespondences, ErrorIsTheRmsResidualAndPredictionsFollowTheErrorModel)
{
    std::mt19937 rng(8);
    Scene scene(rng, 6, randomRigid(rng), Eigen::Matrix4d::Identity());
    // Localisation noise on the tracked side.
    std::normal_distribution<double> noise(0.0, 0.5);
    FramePoints noisy;
    for (const auto& q : scene.tracked->allPoints())
        noisy.add(q + Eigen::Vector3d(noise(rng), noise(rng), noise(rng)));
    PointCorrespondences pairs(noisy, *scene.image);

    const auto fit = pairs.fit();
    ASSERT_TRUE(fit);
    std::vector<Eigen::Vector3d> targets;
    for (const auto& q : noisy.allPoints())
        targets.push_back(apply(scene.volume.matrix().inverse(), q));
    EXPECT_NEAR(fit->fre, RigidRegistration::rmsResidual(fit->transform, scene.p, targets), 1e-12);
    EXPECT_GT(fit->fre, 0.05);
    EXPECT_LT(fit->fre, 2.0);
    EXPECT_NEAR(fit->fleEstimate, RigidRegistration::estimateFle(fit->fre, 6), 1e-12);
    EXPECT_EQ(fit->fiducials.size(), 6u);

    // FLE / sqrt(N) at the centroid, growing away from it; an explicit FLE overrides the estimate.
    EXPECT_NEAR(*fit->predictedTreAtCentroid(0.6), 0.6 / std::sqrt(6.0), 1e-12);
    EXPECT_NEAR(*pairs.predictedTreAtCentroid(), fit->fleEstimate / std::sqrt(6.0), 1e-12);
    Eigen::Vector3d centroid = Eigen::Vector3d::Zero();
    for (const auto& p : scene.p)
        centroid += p / 6.0;
    const Eigen::Vector3d far = centroid + Eigen::Vector3d(150, 0, 0);
    EXPECT_NEAR(*pairs.predictedTre(far, 0.6), *RigidRegistration::predictedTre(scene.p, 0.6, far), 1e-12);
    EXPECT_GT(*pairs.predictedTre(far, 0.6), *fit->predictedTreAtCentroid(0.6));
    {
        LogExpectation expect(Log::Warning, "localisation error of -1", 1);
        EXPECT_FALSE(fit->predictedTre(far, -1.0));
    }
}

TEST(PointCorrespondences, SelectionFitsOnlyTheListedPairs)
{
    std::mt19937 rng(21);
    Scene scene(rng, 5, randomRigid(rng), Eigen::Matrix4d::Identity());
    scene.tracked->add({ 500, 0, 0 }); // a sixth pair that is wrong
    scene.image->addImagePoint({ 0, 0, 0 }, 0);
    PointCorrespondences pairs(*scene.tracked, *scene.image);

    double error = -1.0;
    const auto T = pairs.fitRigid(&error, std::vector<int>{ 4, 0, 2, 1 });
    ASSERT_TRUE(T);
    EXPECT_TRUE(T->isApprox(scene.truth, 1e-9));
    EXPECT_LT(error, 1e-9);
    EXPECT_GT(pairs.fit()->fre, 10.0);

    LogExpectation expect(Log::Warning, "pair index", 3);
    EXPECT_FALSE(pairs.fitRigid(&error, std::vector<int>{ 0, 1, 6 }));
    EXPECT_FALSE(pairs.fitRigid(&error, std::vector<int>{ 0, 1, -1 }));
    EXPECT_FALSE(pairs.fitRigid(&error, std::vector<int>{ 0, 1, 1, 2 }));
    EXPECT_LT(error, 1e-9); // untouched by refusals
}

TEST(PointCorrespondences, RefusesPointSetsThatDoNotDetermineARigidTransform)
{
    SharedImageSet volume("volume", Eigen::Vector3i(4, 4, 4), Eigen::Vector3d(1, 1, 1));
    FramePoints tracked;
    PointsOnImage image(volume);
    PointCorrespondences pairs(tracked, image);
    double error = 42.0;

    tracked.add({ 0, 0, 0 });
    tracked.add({ 10, 0, 0 });
    image.addImagePoint({ 0, 0, 0 }, 0);
    image.addImagePoint({ 10, 0, 0 }, 0);
    tracked.add({ 5, 5, 0 }); // no partner: still two pairs
    EXPECT_EQ(pairs.size(), 2);
    {
        LogExpectation expect(Log::Warning, "need at least 3 point pairs, got 2", 2);
        EXPECT_FALSE(pairs.fitRigid(&error));
        EXPECT_FALSE(pairs.predictedTreAtCentroid());
    }

    image.addImagePoint({ 20, 0, 0 }, 0); // collinear image points
    {
        LogExpectation expect(Log::Warning, "collinear", 1);
        EXPECT_FALSE(pairs.fitRigid(&error));
    }
    image.setImagePoint({ 3, 3, 3 }, 0);
    image.setImagePoint({ 3, 3, 3 }, 1);
    image.setImagePoint({ 3, 3, 3 }, 2);
    {
        LogExpectation expect(Log::Warning, "coincident", 1);
        EXPECT_FALSE(pairs.fitRigid(&error));
    }
    EXPECT_EQ(error, 42.0);

    pairs.clear();
    EXPECT_TRUE(tracked.empty());
    EXPECT_TRUE(image.empty());
    EXPECT_EQ(pairs.size(), 0);
}
