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

TEST(MeshClusteringTest, CoarserSphereStaysWithinItsStatedErrorAndKeepsItsShape)
{
    const std::unique_ptr<Mesh> sphere = MeshCreator::createSphere(10.0, 48);
    // A cell that is not positive and finite merges nothing.
    for (const double cell : { 0.0, -1.0, std::nan("") })
        EXPECT_EQ(MeshClustering::simplify(*sphere, cell).mesh->faces(), sphere->faces()) << cell;
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
