#include "imageio/VolumeSurface.h"

#include <map>
#include <utility>

#include <gtest/gtest.h>

#include "LogExpectation.h"
#include "imageio/PhantomVolume.h"

namespace Kelvaros
{
namespace
{

/// Every directed edge once and its reverse once: closed, and wound the same way throughout.
bool closedAndConsistent(const Mesh& mesh)
{
    std::map<std::pair<int, int>, int> edges;
    for (const Eigen::Vector3i& f : mesh.faces())
        for (int i = 0; i < 3; ++i)
            ++edges[{ f[i], f[(i + 1) % 3] }];
    for (const auto& [edge, count] : edges)
        if (count != 1 || edges.count({ edge.second, edge.first }) == 0)
            return false;
    return !edges.empty();
}

double signedVolume(const Mesh& mesh)
{
    double volume = 0.0;
    for (const Eigen::Vector3i& f : mesh.faces())
        volume += mesh.vertices()[f[0]].dot(mesh.vertices()[f[1]].cross(mesh.vertices()[f[2]])) / 6.0;
    return volume;
}

TEST(VolumeSurfaceTest, PhantomSkinIsClosedOutwardAndOnTheBodyInWorldCoordinates)
{
    const auto& truth = TrackingSimulator::groundTruth();
    const auto phantom = PhantomVolume::create(truth, 1.0);
    const float skin = (PhantomVolume::kAir + PhantomVolume::kSoftTissue) / 2.0f;
    const std::optional<Mesh> surface = VolumeSurface::extract(*phantom, skin);
    ASSERT_TRUE(surface);
    EXPECT_TRUE(closedAndConsistent(*surface));
    const PhantomVolume::Body body = PhantomVolume::body_Phantom(truth);
    EXPECT_NEAR(signedVolume(*surface), 4.0 / 3.0 * M_PI * body.semiAxes.prod(), 0.03 * body.semiAxes.prod() * 4.0);

    int onBody = 0;
    for (const Eigen::Vector3d& v : surface->vertices())
    {
        bool nearSphere = (v - PhantomVolume::target_Phantom(truth)).norm() < PhantomVolume::kTargetRadius + 2.0;
        for (const Eigen::Vector3d& landmark : truth.landmarks_Phantom)
            nearSphere = nearSphere || (v - landmark).norm() < PhantomVolume::kFiducialRadius + 2.0;
        if (nearSphere)
            continue;
        // Radial distance from the ellipsoid, scaled back to millimetres along the direction from its centre.
        const Eigen::Vector3d q = (v - body.centre).cwiseQuotient(body.semiAxes);
        ASSERT_LT(std::abs(1.0 - 1.0 / q.norm()) * (v - body.centre).norm(), 1.0) << v.transpose();
        ++onBody;
    }
    EXPECT_GT(onBody, 1000);

    // A mirrored placement mirrors the surface and keeps its faces outward.
    Eigen::Matrix4d mirrored = phantom->matrix();
    mirrored.row(0) *= -1.0;
    phantom->setMatrix(mirrored);
    const std::optional<Mesh> mirror = VolumeSurface::extract(*phantom, skin);
    ASSERT_TRUE(mirror && mirror->vertices().size() == surface->vertices().size());
    EXPECT_NEAR(mirror->vertices()[7].x(), -surface->vertices()[7].x(), 1e-9);
    EXPECT_NEAR(signedVolume(*mirror), signedVolume(*surface), 1e-6 * signedVolume(*surface));
}

TEST(VolumeSurfaceTest, NothingAboveTheThresholdIsRefusedWithTheVolumesName)
{
    const auto phantom = PhantomVolume::create(TrackingSimulator::groundTruth(), 4.0);
    const Testing::LogExpectation expected(Log::Error, "No surface of 'Phantom'", 1);
    std::string error;
    EXPECT_FALSE(VolumeSurface::extract(*phantom, 5000.0f, &error));
    EXPECT_NE(error.find("no voxel"), std::string::npos);
}

} // namespace
} // namespace Kelvaros
