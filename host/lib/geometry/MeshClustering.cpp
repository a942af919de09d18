#include "lib/geometry/MeshClustering.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lib/geometry/Mesh.h"

namespace Kelvaros
{
namespace
{
using Cell = std::array<std::int64_t, 3>;

struct CellHash
{
    std::size_t operator()(const Cell& c) const
    {
        return std::size_t(c[0] * 73856093) ^ std::size_t(c[1] * 19349663) ^ std::size_t(c[2] * 83492791);
    }
};

/// A triangle rotated so that its smallest index comes first: the same triangle in the same winding compares
/// equal however it was listed, while the opposite winding (the other side of a thin wall) stays distinct.
Cell triangleKey(const Eigen::Vector3i& t)
{
    const int first = int(std::min_element(t.data(), t.data() + 3) - t.data());
    return { t[first], t[(first + 1) % 3], t[(first + 2) % 3] };
}

/// Each vertex's cluster (the cube of the grid it lies in), numbered in order of first appearance.
std::vector<int> clusterOf(const std::vector<Eigen::Vector3d>& vertices, const Eigen::Vector3d& origin, double cellSize,
                           int& clusters)
{
    std::unordered_map<Cell, int, CellHash> numbers;
    std::vector<int> result(vertices.size());
    for (std::size_t v = 0; v < vertices.size(); ++v)
    {
        const Eigen::Vector3d c = ((vertices[v] - origin) / cellSize).array().floor();
        const Cell cell{ std::int64_t(c.x()), std::int64_t(c.y()), std::int64_t(c.z()) };
        result[v] = numbers.try_emplace(cell, int(numbers.size())).first->second;
    }
    clusters = int(numbers.size());
    return result;
}

template<typename Vector>
std::vector<Vector> meansOf(const std::vector<Vector>& values, const std::vector<int>& cluster, int clusters)
{
    std::vector<Vector> sums(std::size_t(clusters), Vector::Zero());
    std::vector<int> counts(std::size_t(clusters), 0);
    for (std::size_t v = 0; v < values.size(); ++v)
    {
        sums[std::size_t(cluster[v])] += values[v];
        ++counts[std::size_t(cluster[v])];
    }
    for (std::size_t c = 0; c < sums.size(); ++c)
        sums[c] /= double(std::max(counts[c], 1));
    return sums;
}

/// The largest distance from a merged vertex to the plane of an original triangle at one of its members.
double planeError(const Mesh& mesh, const std::vector<int>& cluster, const std::vector<Eigen::Vector3d>& merged)
{
    const std::vector<Eigen::Vector3d> normals = mesh.faceNormals();
    double error = 0;
    for (std::size_t f = 0; f < mesh.faces().size(); ++f)
    {
        const Eigen::Vector3i& face = mesh.faces()[f];
        const Eigen::Vector3d& onPlane = mesh.vertices()[std::size_t(face[0])];
        for (int corner : face)
            error =
              std::max(error, std::abs(normals[f].dot(merged[std::size_t(cluster[std::size_t(corner)])] - onPlane)));
    }
    return error;
}
} // namespace

MeshClustering::Result MeshClustering::simplify(const Mesh& source, double cellSize)
{
    Result result;
    if (source.faces().empty() || !std::isfinite(cellSize) || cellSize <= 0)
    {
        result.mesh = std::make_unique<Mesh>(source);
        return result;
    }
    int clusters = 0;
    const std::vector<int> cluster = clusterOf(source.vertices(), source.boundingBox().min(), cellSize, clusters);
    std::vector<Eigen::Vector3d> merged = meansOf(source.vertices(), cluster, clusters);

    std::vector<Eigen::Vector3i> faces;
    std::unordered_set<Cell, CellHash> seen;
    for (const Eigen::Vector3i& face : source.faces())
    {
        const Eigen::Vector3i t(cluster[std::size_t(face[0])], cluster[std::size_t(face[1])],
                                cluster[std::size_t(face[2])]);
        if (t[0] != t[1] && t[1] != t[2] && t[0] != t[2] && seen.insert(triangleKey(t)).second)
            faces.push_back(t);
    }
    result.error = planeError(source, cluster, merged);
    result.mesh = std::make_unique<Mesh>(std::move(merged), std::move(faces));

    if (!source.vertexNormals().empty())
    {
        std::vector<Eigen::Vector3d> normals = meansOf(source.vertexNormals(), cluster, clusters);
        for (Eigen::Vector3d& n : normals)
            n = n.norm() > 1e-12 ? Eigen::Vector3d(n.normalized()) : Eigen::Vector3d::Zero();
        (void)result.mesh->setVertexNormals(std::move(normals));
    }
    if (!source.vertexColors().empty())
        (void)result.mesh->setVertexColors(meansOf(source.vertexColors(), cluster, clusters));
    return result;
}

} // namespace Kelvaros
