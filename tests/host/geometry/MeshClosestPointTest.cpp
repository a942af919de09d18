#include "lib/geometry/MeshClosestPoint.h"

#include <random>

#include <gtest/gtest.h>

#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshCreator.h"

namespace Kelvaros
{
namespace
{

/// Closest point of a triangle by its parameters (s, t): the unconstrained minimum of |a + s u + t v - p|^2 when
/// it lies in the triangle, else the best of the three sides each minimised in one parameter.
Eigen::Vector3d bruteTriangle(const Eigen::Vector3d& p, const Eigen::Vector3d& a, const Eigen::Vector3d& b,
                              const Eigen::Vector3d& c)
{
    const Eigen::Vector3d u = b - a, v = c - a;
    Eigen::Matrix2d m;
    m << u.dot(u), u.dot(v), u.dot(v), v.dot(v);
    const Eigen::Vector2d st = m.fullPivLu().solve(Eigen::Vector2d(u.dot(p - a), v.dot(p - a)));
    if (std::abs(m.determinant()) > 1e-9 * m.squaredNorm() && st.minCoeff() >= 0.0 && st.sum() <= 1.0)
        return a + st[0] * u + st[1] * v;
    Eigen::Vector3d best = a;
    for (const auto& [from, to] : { std::pair(a, b), std::pair(b, c), std::pair(c, a) })
    {
        const double length2 = (to - from).squaredNorm();
        const double t = length2 > 0.0 ? std::clamp((p - from).dot(to - from) / length2, 0.0, 1.0) : 0.0;
        if ((from + t * (to - from) - p).norm() < (best - p).norm())
            best = from + t * (to - from);
    }
    return best;
}

/// A sphere of 2,000 small triangles, one triangle a hundred times larger cutting past it, and degenerate ones: the
/// bound of the small triangles must not hide the large one, nor the large one's bound slow or break the rest.
Mesh unevenMesh()
{
    const auto sphere = MeshCreator::createSphere(30.0, 23);
    std::vector<Eigen::Vector3d> vertices = sphere->vertices();
    std::vector<Eigen::Vector3i> faces = sphere->faces();
    const int n = int(vertices.size());
    vertices.insert(vertices.end(), { { -500, -400, 35 },
                                      { 600, -300, 5 },
                                      { 0, 700, 50 }, // huge
                                      { 40, 0, 0 },
                                      { 50, 0, 0 },
                                      { 60, 0, 0 },    // collinear
                                      { 0, 45, 0 } }); // one point, thrice
    faces.insert(faces.end(), { { n, n + 1, n + 2 }, { n + 3, n + 4, n + 5 }, { n + 6, n + 6, n + 6 } });
    return Mesh(std::move(vertices), std::move(faces));
}

TEST(MeshClosestPointTest, MatchesBruteForceOnUnevenTriangles)
{
    const Mesh mesh = unevenMesh();
    const MeshClosestPoint index(mesh);
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<Eigen::Vector3d> queries;
    for (int i = 0; i < 300; ++i)
    {
        const Eigen::Vector3i& f = mesh.faces()[std::size_t(rng() % mesh.faces().size())];
        const double s = std::abs(u(rng)), t = std::abs(u(rng)) * (1.0 - s);
        const Eigen::Vector3d onSurface =
          mesh.vertices()[std::size_t(f[0])] +
          s * (mesh.vertices()[std::size_t(f[1])] - mesh.vertices()[std::size_t(f[0])]) +
          t * (mesh.vertices()[std::size_t(f[2])] - mesh.vertices()[std::size_t(f[0])]);
        const double reach = i % 3 == 0 ? 0.0 : i % 3 == 1 ? 5.0 : 2000.0;
        queries.push_back(onSurface + reach * Eigen::Vector3d(u(rng), u(rng), u(rng)));
    }
    for (const Eigen::Vector3d& q : queries)
    {
        double best = std::numeric_limits<double>::infinity();
        for (const Eigen::Vector3i& f : mesh.faces())
            best =
              std::min(best, (bruteTriangle(q, mesh.vertices()[std::size_t(f[0])], mesh.vertices()[std::size_t(f[1])],
                                            mesh.vertices()[std::size_t(f[2])]) -
                              q)
                               .norm());
        const MeshClosestPoint::Hit hit = index.query(q);
        ASSERT_TRUE(hit.found);
        EXPECT_NEAR(hit.distance, best, 1e-9 * (1.0 + best)) << q.transpose();
        EXPECT_NEAR((hit.point - q).norm(), hit.distance, 1e-9 * (1.0 + best));
        EXPECT_TRUE(hit.point.allFinite() && hit.normal.allFinite());
        const Eigen::Vector3i& f = mesh.faces()[std::size_t(hit.triangle)];
        const Eigen::Vector3d& a = mesh.vertices()[std::size_t(f[0])];
        EXPECT_NEAR(hit.normal.dot(hit.point - a), 0.0, 1e-9 * (1.0 + best));
    }
}

TEST(MeshClosestPointTest, TellsOutsideFromInsideAndHasNoSurfaceWithoutTriangles)
{
    const MeshClosestPoint sphere(*MeshCreator::createSphere(30.0, 16));
    EXPECT_TRUE(sphere.query({ 0, 0, 31 }).outside);
    EXPECT_FALSE(sphere.query({ 0, 29, 0 }).outside);
    EXPECT_NEAR(sphere.query({ 0, 0, 31 }).normal.z(), 1.0, 0.02);

    const MeshClosestPoint none(Mesh({ { 0, 0, 0 } }, {}));
    EXPECT_TRUE(none.empty());
    EXPECT_FALSE(none.query({ 1, 2, 3 }).found);
    EXPECT_FALSE(sphere.query({ std::nan(""), 0, 0 }).found);
}

} // namespace
} // namespace Kelvaros
