#include "lib/numerics/SurfaceIcp.h"

#include <gtest/gtest.h>

#include "lib/geometry/MeshClosestPoint.h"
#include "lib/geometry/MeshCreator.h"

#include "LogExpectation.h"
#include "PhantomSurfaceSweep.h"
#include "imageio/VolumeSurface.h"

namespace Kelvaros
{
namespace
{

const MeshClosestPoint& phantomSkin()
{
    static const MeshClosestPoint skin(
      *VolumeSurface::extract(*PhantomVolume::create(TrackingSimulator::groundTruth(), 1.0),
                              (PhantomVolume::kAir + PhantomVolume::kSoftTissue) / 2.0f));
    return skin;
}

Eigen::Isometry3d turnAndShift(double degrees, const Eigen::Vector3d& axis, const Eigen::Vector3d& shift,
                               const Eigen::Vector3d& about = Eigen::Vector3d::Zero())
{
    return Eigen::Translation3d(shift + about) * Eigen::AngleAxisd(degrees * M_PI / 180.0, axis.normalized()) *
           Eigen::Translation3d(-about);
}

/// The surface-to-tracker motion of the ground truth, applied to a sweep in surface coordinates.
std::vector<Eigen::Vector3d> toTracker(std::vector<Eigen::Vector3d> sweep)
{
    for (Eigen::Vector3d& p : sweep)
        p = Eigen::Isometry3d(TrackingSimulator::groundTruth().phantomToTracker) * p;
    return sweep;
}

TEST(SurfaceIcpTest, RecoversA3DegreeAnd3MillimetrePerturbationFromANoisySweepDespiteOutliers)
{
    // The phantom's body is nearly a sphere, which no sweep can turn; a long egg has a side that can.
    const auto& truth = TrackingSimulator::groundTruth();
    const PhantomVolume::Body egg{ PhantomVolume::body_Phantom(truth).centre, { 25.0, 50.0, 100.0 } };
    Mesh shape = *MeshCreator::createSphere(1.0, 120);
    shape.transform((Eigen::Translation3d(egg.centre) * Eigen::Scaling(egg.semiAxes)).matrix());
    shape.computeVertexNormals();
    const MeshClosestPoint surface(shape);
    const Eigen::Isometry3d truthToImage = Eigen::Isometry3d(truth.phantomToTracker).inverse();
    const Eigen::Vector3d target = PhantomVolume::target_Phantom(truth);
    for (const bool outliers : { false, true })
    {
        SCOPED_TRACE(outliers);
        std::mt19937 rng(outliers ? 5 : 3);
        std::vector<Eigen::Vector3d> sweep = PhantomSurfaceSweep::points(egg, {}, 200, 0.3, rng, 70.0 * M_PI / 180.0);
        for (std::size_t i = 0; outliers && i < sweep.size(); i += 5)
            sweep[i] += 10.0 * PhantomSurfaceSweep::bodyNormal(egg, sweep[i]);
        const Eigen::Isometry3d start = turnAndShift(3.0, { 1, -2, 1 }, { 2, -1.5, 1.5 }) * truthToImage;

        const SurfaceIcp::Result result = SurfaceIcp::refine(toTracker(sweep), surface, start);
        EXPECT_TRUE(result.converged);
        EXPECT_EQ(result.error, "");
        EXPECT_EQ(result.inlierCount < 170, outliers) << result.inlierCount;
        EXPECT_GT((start * truth.pathTarget_Tracker - target).norm(), 3.0);
        EXPECT_LT((result.trackerToImage * truth.pathTarget_Tracker - target).norm(), 0.3);
    }
}

TEST(SurfaceIcpTest, OnThePhantomsRoundSkinMovesOnlyWhatTheSurfaceDeterminesAndSaysSo)
{
    const auto& truth = TrackingSimulator::groundTruth();
    const Eigen::Vector3d centre = PhantomVolume::body_Phantom(truth).centre;
    std::mt19937 rng(9);
    const std::vector<Eigen::Vector3d> sweep = toTracker(PhantomSurfaceSweep::points_Phantom(truth, 200, 0.3, rng));
    const Eigen::Isometry3d truthToImage = Eigen::Isometry3d(truth.phantomToTracker).inverse();
    const Eigen::Isometry3d turn = turnAndShift(3.0, { 1, -2, 1 }, Eigen::Vector3d::Zero(), centre);
    const Eigen::Isometry3d start = Eigen::Translation3d(2, -1.5, 1.5) * turn * truthToImage;

    const Testing::LogExpectation warned(Log::Warning, "leaves 3 of the six motions undetermined", 1);
    const SurfaceIcp::Result result = SurfaceIcp::refine(sweep, phantomSkin(), start);
    EXPECT_TRUE(result.unconstrained);
    EXPECT_LT(result.rmsInliersAfter, 0.35);
    // The shift is undone; the turn about the centre, which the skin cannot see, stays as the start had it.
    const Eigen::Vector3d centre_Tracker = Eigen::Isometry3d(truth.phantomToTracker) * centre;
    EXPECT_LT((result.trackerToImage * centre_Tracker - centre).norm(), 0.2);
    EXPECT_LT((result.trackerToImage.linear() - start.linear()).norm(), 0.2 * M_PI / 180.0);
}

TEST(SurfaceIcpTest, APlanarPatchIsReportedAsLeavingTheFitFree)
{
    const MeshClosestPoint plane(
      Mesh({ { -100, -100, 0 }, { 100, -100, 0 }, { 100, 100, 0 }, { -100, 100, 0 } }, { { 0, 1, 2 }, { 0, 2, 3 } }));
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(-40.0, 40.0);
    std::vector<Eigen::Vector3d> points;
    for (int i = 0; i < 100; ++i)
        points.emplace_back(u(rng), u(rng), 0.0);
    const Testing::LogExpectation warned(Log::Warning, "leaves 3 of the six motions undetermined", 1);
    const SurfaceIcp::Result result = SurfaceIcp::refine(points, plane, turnAndShift(2.0, { 1, 0, 0 }, { 1, 2, 3 }));
    EXPECT_TRUE(result.unconstrained);
    EXPECT_LT(result.rmsAfter, 0.01);
}

TEST(SurfaceIcpTest, RefusesTooFewPointsAndAMissingSurface)
{
    const Testing::LogExpectation refused(Log::Error, "", 2);
    const std::vector<Eigen::Vector3d> few(19, Eigen::Vector3d::Ones());
    const Eigen::Isometry3d start = turnAndShift(1.0, { 0, 0, 1 }, { 1, 0, 0 });
    const SurfaceIcp::Result tooFew = SurfaceIcp::refine(few, phantomSkin(), start);
    EXPECT_NE(tooFew.error.find("too few"), std::string::npos);
    EXPECT_TRUE(tooFew.trackerToImage.isApprox(start));
    const std::vector<Eigen::Vector3d> enough(50, Eigen::Vector3d::Ones());
    EXPECT_NE(SurfaceIcp::refine(enough, MeshClosestPoint(Mesh()), start).error.find("no surface"), std::string::npos);
}

} // namespace
} // namespace Kelvaros
