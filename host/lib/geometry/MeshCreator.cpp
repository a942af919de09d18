#include "lib/geometry/MeshCreator.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/Log.h"
#include "lib/geometry/Mesh.h"

namespace Kelvaros
{

namespace
{

constexpr const char* kCategory = "MeshCreator";
constexpr double kPi = 3.14159265358979323846;

/// Vertices, normals and faces under construction.
struct Builder
{
    std::vector<Eigen::Vector3d> vertices;
    std::vector<Eigen::Vector3d> normals;
    std::vector<Eigen::Vector3i> faces;

    int add(const Eigen::Vector3d& position, const Eigen::Vector3d& normal)
    {
        vertices.push_back(position);
        normals.push_back(normal);
        return int(vertices.size()) - 1;
    }

    [[nodiscard]] std::unique_ptr<Mesh> take()
    {
        auto mesh = std::make_unique<Mesh>(std::move(vertices), std::move(faces));
        (void)mesh->setVertexNormals(std::move(normals));
        return mesh;
    }

    /// A ring of `count` points of `radius` at height z, starting on +x and turning counter-clockwise about +z;
    /// `normalAt` gives each point's normal from its angle. Returns the index of the first point.
    template<typename NormalAt>
    int addRing(int count, double radius, double z, const NormalAt& normalAt)
    {
        const int first = int(vertices.size());
        for (int j = 0; j < count; ++j)
        {
            const double phi = 2.0 * kPi * j / count;
            add(Eigen::Vector3d(radius * std::cos(phi), radius * std::sin(phi), z), normalAt(phi));
        }
        return first;
    }

    /// A flat disc closing a ring, facing +z (`up`) or -z.
    void addCap(int count, double radius, double z, bool up)
    {
        const Eigen::Vector3d normal(0.0, 0.0, up ? 1.0 : -1.0);
        const int centre = add(Eigen::Vector3d(0.0, 0.0, z), normal);
        const int ring = addRing(count, radius, z, [&](double) { return normal; });
        for (int j = 0; j < count; ++j)
        {
            const int a = ring + j, b = ring + (j + 1) % count;
            faces.emplace_back(centre, up ? a : b, up ? b : a);
        }
    }
};

/// Gives every triangle three vertices of its own with the face's normal.
std::unique_ptr<Mesh> withFlatNormals(const Mesh& smooth)
{
    Builder flat;
    const std::vector<Eigen::Vector3d> faceNormals = smooth.faceNormals();
    for (std::size_t f = 0; f < smooth.faces().size(); ++f)
    {
        const Eigen::Vector3i& face = smooth.faces()[f];
        const int first = flat.add(smooth.vertices()[face[0]], faceNormals[f]);
        flat.add(smooth.vertices()[face[1]], faceNormals[f]);
        flat.add(smooth.vertices()[face[2]], faceNormals[f]);
        flat.faces.emplace_back(first, first + 1, first + 2);
    }
    return flat.take();
}

/// Side wall, bottom cap and (with a top radius) top cap of a frustum along +z; a zero top radius makes a cone
/// whose apex is a ring of coincident points, each carrying the normal of its own side strip.
std::unique_ptr<Mesh> createFrustum(double bottomRadius, double topRadius, double height, int segments)
{
    if (!(bottomRadius > 0.0) || !(height > 0.0) || topRadius < 0.0)
    {
        Log::logf(Log::Error, kCategory, "cannot create a mesh of radius {} and height {}", bottomRadius, height);
        return nullptr;
    }
    segments = std::max(segments, 3);
    Builder builder;
    // The wall's outward normal in the (radial, z) plane is (height, bottomRadius - topRadius), rotated to phi.
    const auto sideNormal = [&](double phi)
    { return Eigen::Vector3d(height * std::cos(phi), height * std::sin(phi), bottomRadius - topRadius).normalized(); };
    const int bottom = builder.addRing(segments, bottomRadius, 0.0, sideNormal);
    const int top = builder.addRing(segments, topRadius, height, sideNormal);
    for (int j = 0; j < segments; ++j)
    {
        const int next = (j + 1) % segments;
        builder.faces.emplace_back(bottom + j, bottom + next, top + next);
        if (topRadius > 0.0)
            builder.faces.emplace_back(bottom + j, top + next, top + j);
    }
    builder.addCap(segments, bottomRadius, 0.0, false);
    if (topRadius > 0.0)
        builder.addCap(segments, topRadius, height, true);
    return builder.take();
}

} // namespace

std::unique_ptr<Mesh> MeshCreator::createSphere(double radius, int subdivisions, bool flatNormals)
{
    if (!(radius > 0.0) || !std::isfinite(radius))
    {
        Log::logf(Log::Error, kCategory, "cannot create a sphere of radius {}", radius);
        return nullptr;
    }
    const int n = std::max(subdivisions, 2);
    const int perRing = 2 * n;
    Builder builder;
    const auto unitPoint = [](double theta, double phi)
    { return Eigen::Vector3d(std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi), std::cos(theta)); };
    const int north = builder.add(Eigen::Vector3d(0.0, 0.0, radius), Eigen::Vector3d::UnitZ());
    for (int k = 1; k < n; ++k)
        for (int j = 0; j < perRing; ++j)
        {
            const Eigen::Vector3d u = unitPoint(kPi * k / n, 2.0 * kPi * j / perRing);
            builder.add(radius * u, u);
        }
    const int south = builder.add(Eigen::Vector3d(0.0, 0.0, -radius), -Eigen::Vector3d::UnitZ());

    const auto ringVertex = [&](int ring, int j) { return 1 + (ring - 1) * perRing + j % perRing; };
    for (int j = 0; j < perRing; ++j)
    {
        builder.faces.emplace_back(north, ringVertex(1, j), ringVertex(1, j + 1));
        for (int k = 1; k + 1 < n; ++k)
        {
            const int a = ringVertex(k, j), b = ringVertex(k, j + 1);
            const int c = ringVertex(k + 1, j), d = ringVertex(k + 1, j + 1);
            builder.faces.emplace_back(a, c, d);
            builder.faces.emplace_back(a, d, b);
        }
        builder.faces.emplace_back(south, ringVertex(n - 1, j + 1), ringVertex(n - 1, j));
    }
    std::unique_ptr<Mesh> mesh = builder.take();
    return flatNormals ? withFlatNormals(*mesh) : std::move(mesh);
}

std::unique_ptr<Mesh> MeshCreator::createCylinder(double radius, double height, int segments)
{
    return createFrustum(radius, radius, height, segments);
}

std::unique_ptr<Mesh> MeshCreator::createCone(double radius, double height, int segments)
{
    return createFrustum(radius, 0.0, height, segments);
}

} // namespace Kelvaros
