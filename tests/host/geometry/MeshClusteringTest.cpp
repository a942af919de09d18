#include "lib/geometry/MeshClustering.h"

#include <cmath>
#include <memory>

#include <gtest/gtest.h>

#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshCreator.h"

namespace Kelvaros
{
namespace
{

/// Two spheres in one mesh: a fine one of radius 10 at the origin and one of `smallRadius` beside it.
Mesh twoSpheres(double smallRadius)
{
    const std::unique_ptr<Mesh> big = MeshCreator::createSphere(10.0, 48);
    const std::unique_ptr<Mesh> small = MeshCreator::createSphere(smallRadius, 8);
    std::vector<Eigen::Vector3d> vertices = big->vertices();
    std::vector<Eigen::Vector3i> faces = big->faces();
    const int offset = int(vertices.size());
    for (const Eigen::Vector3d& v : small->vertices())
        vertices.push_back(v + Eigen::Vector3d(20, 0, 0));
    for (const Eigen::Vector3i& f : small->faces())
        faces.push_back(f + Eigen::Vector3i::Constant(offset));
    return Mesh(std::move(vertices), std::move(faces));
}

TEST(MeshClusteringTest, CoarserSphereStaysWithinItsStatedErrorAndKeepsItsShape)
{
    const std::unique_ptr<Mesh> sphere = MeshCreator::createSphere(10.0, 48);
    ASSERT_TRUE(sphere->enclosesVolume());
    const MeshClustering::Result coarse = MeshClustering::simplify(*sphere, 1.5);
    ASSERT_TRUE(coarse.mesh);
    EXPECT_LT(coarse.mesh->faces().size(), sphere->faces().size() / 4);
    EXPECT_GT(coarse.error, 0.0);
    EXPECT_LT(coarse.error, 0.2);
    ASSERT_EQ(coarse.mesh->vertexNormals().size(), coarse.mesh->vertices().size());
    for (std::size_t v = 0; v < coarse.mesh->vertices().size(); ++v)
    {
        const Eigen::Vector3d& p = coarse.mesh->vertices()[v];
        // Inside the sphere by at most the stated error, and the averaged normal still points outwards.
        EXPECT_LE(10.0 - p.norm(), coarse.error + 1e-9) << v;
        EXPECT_LE(p.norm(), 10.0 + 1e-9) << v;
        EXPECT_GT(coarse.mesh->vertexNormals()[v].dot(p.normalized()), 0.99) << v;
    }
}

TEST(MeshClusteringTest, APartCollapsedIntoAPointCountsForItsFullSize)
{
    const Mesh mesh = twoSpheres(1.0);
    // Cubes of 4 units swallow the small sphere (diameter 2) whole, while the big one survives as a rough ball.
    const MeshClustering::Result coarse = MeshClustering::simplify(mesh, 4.0);
    EXPECT_GE(coarse.error, 0.9);
    const MeshClustering::Result fine = MeshClustering::simplify(mesh, 0.25);
    EXPECT_LT(fine.error, 0.1);
}

TEST(MeshClusteringTest, NothingToMergeGivesAnUnchangedCopy)
{
    const std::unique_ptr<Mesh> sphere = MeshCreator::createSphere(10.0, 8);
    for (const double cell : { 0.0, -1.0, std::nan(""), 1e-6 })
    {
        const MeshClustering::Result copy = MeshClustering::simplify(*sphere, cell);
        EXPECT_EQ(copy.mesh->faces(), sphere->faces()) << cell;
        EXPECT_LT(copy.error, 1e-9) << cell;
    }
}

TEST(MeshTest, OnlyAWatertightOutwardSurfaceEnclosesAVolume)
{
    const std::unique_ptr<Mesh> sphere = MeshCreator::createSphere(5.0, 8);
    EXPECT_TRUE(sphere->enclosesVolume());
    EXPECT_TRUE(MeshCreator::createCylinder(3.0, 7.0, 12)->enclosesVolume());

    std::vector<Eigen::Vector3i> faces = sphere->faces();
    std::vector<Eigen::Vector3i> inward;
    for (const Eigen::Vector3i& f : faces)
        inward.emplace_back(f[0], f[2], f[1]);
    EXPECT_FALSE(Mesh(sphere->vertices(), inward).enclosesVolume());
    std::vector<Eigen::Vector3i> holed(faces.begin() + 1, faces.end());
    EXPECT_FALSE(Mesh(sphere->vertices(), holed).enclosesVolume());
    std::vector<Eigen::Vector3i> mixed = faces;
    mixed[0] = inward[0];
    EXPECT_FALSE(Mesh(sphere->vertices(), mixed).enclosesVolume());
    EXPECT_FALSE(Mesh().enclosesVolume());
}

} // namespace
} // namespace Kelvaros
