#include <cmath>
#include <memory>

#include <QImage>

#include "gui/scene/GlMesh.h"
#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshCreator.h"

#include "SceneTestFixture.h"

namespace Kelvaros::GL::Testing
{
namespace
{
/// A fine mesh drawn small, whose coarser copies and closedness are worked out on a thread of their own.
class MeshDetailTest : public SceneObjectTest
{
protected:
    /// Draws the mesh once so that its coarser copies get made, waits for them, and draws it again on a cleared
    /// framebuffer: what a later frame shows.
    void renderWithCopies(GlMesh& mesh)
    {
        mesh.render(info());
        mesh.waitForCopies();
        f->glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        mesh.render(info());
    }
};

TEST_F(MeshDetailTest, FineMeshSeenSmallStillCoversExactlyItsDiscsAndKeepsItsSmallParts)
{
    // A sphere of 16 px radius made of 32,000 triangles, and beside it a small one of 2 px radius: the coarser
    // copy a fine mesh is drawn from may not lose a pixel of either, nor add one.
    const std::unique_ptr<Mesh> big = MeshCreator::createSphere(16.0, 90);
    const std::unique_ptr<Mesh> small = MeshCreator::createSphere(2.0, 8);
    std::vector<Eigen::Vector3d> vertices = big->vertices();
    std::vector<Eigen::Vector3i> faces = big->faces();
    for (const Eigen::Vector3d& v : small->vertices())
        vertices.push_back(v + Eigen::Vector3d(60, 0, 0));
    for (const Eigen::Vector3i& f : small->faces())
        faces.push_back(f + Eigen::Vector3i::Constant(int(big->vertices().size())));
    GlMesh mesh(std::make_shared<Mesh>(std::move(vertices), std::move(faces)));
    mesh.setColor({ 1, 0, 0 });
    mesh.setMatrix(Eigen::Affine3d(Eigen::Translation3d(32, 32, 0)).matrix());
    renderWithCopies(mesh);

    const QImage image = frame();
    for (int x = 0; x < 128; ++x)
    {
        for (int y = 0; y < 64; ++y)
        {
            const double toBig = std::hypot(x + 0.5 - 32, y + 0.5 - 32);
            const double toSmall = std::hypot(x + 0.5 - 92, y + 0.5 - 32);
            const bool lit = at(image, x, y) != kBlack;
            if (toBig < 15 || toSmall < 1)
            {
                EXPECT_TRUE(lit) << x << ", " << y;
            }
            else if (toBig > 17 && toSmall > 3)
            {
                EXPECT_FALSE(lit) << x << ", " << y;
            }
        }
    }
}

TEST_F(MeshDetailTest, ClosedMeshCutByTheNearPlaneShowsItsInside)
{
    // Back faces of a closed mesh may be left out only while no viewer can see them: here the near plane (z = 100)
    // halves the sphere, and the inside of its far half faces the viewer.
    GlMesh sphere(MeshCreator::createSphere(25.0, 32));
    sphere.setColor({ 1, 0, 0 });
    sphere.setMatrix(Eigen::Affine3d(Eigen::Translation3d(64, 32, 100)).matrix());
    renderWithCopies(sphere);
    EXPECT_GT(qRed(at(frame(), 64, 32)), 40);
}

TEST_F(MeshDetailTest, AMeshChangedOrGoneWhileItsCopiesAreMadeStopsTheirWork)
{
    // Each draw of a new or changed mesh starts the work; a change or the end of the object must stop it cleanly.
    for (int round = 0; round < 3; ++round)
    {
        auto mesh = std::make_unique<GlMesh>(MeshCreator::createSphere(16.0, 160));
        mesh->setMatrix(Eigen::Affine3d(Eigen::Translation3d(32, 32, 0)).matrix());
        mesh->render(info());
        mesh->setMesh(MeshCreator::createSphere(10.0, 160));
        mesh->render(info());
    }
    GlMesh mesh(MeshCreator::createSphere(16.0, 160));
    mesh.setColor({ 1, 0, 0 });
    mesh.setMatrix(Eigen::Affine3d(Eigen::Translation3d(32, 32, 0)).matrix());
    renderWithCopies(mesh);
    EXPECT_NE(at(frame(), 32, 32), kBlack);
    EXPECT_EQ(at(frame(), 60, 32), kBlack);
}

} // namespace
} // namespace Kelvaros::GL::Testing
