#include "lib/geometry/Mesh.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <iterator>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "lib/numerics/Math.h"

namespace Kelvaros
{

namespace
{

/// Interior angle at corner a of triangle (a, b, c); atan2 stays accurate for needle-thin corners.
double cornerAngle(const Eigen::Vector3d& a, const Eigen::Vector3d& b, const Eigen::Vector3d& c)
{
    const Eigen::Vector3d u = b - a;
    const Eigen::Vector3d v = c - a;
    return std::atan2(u.cross(v).norm(), u.dot(v));
}

void normalizeOrZero(Eigen::Vector3d& v)
{
    const double length = v.norm();
    v = length > 0.0 ? Eigen::Vector3d(v / length) : Eigen::Vector3d::Zero();
}

} // namespace

Mesh::Mesh(std::vector<Eigen::Vector3d> vertices, std::vector<Eigen::Vector3i> faces) : m_vertices(std::move(vertices))
{
    const int count = int(m_vertices.size());
    std::copy_if(faces.begin(), faces.end(), std::back_inserter(m_faces),
                 [count](const Eigen::Vector3i& f) { return f.minCoeff() >= 0 && f.maxCoeff() < count; });
}

bool Mesh::setVertexNormals(std::vector<Eigen::Vector3d> normals)
{
    if (!normals.empty() && normals.size() != m_vertices.size())
        return false;
    m_normals = std::move(normals);
    return true;
}

bool Mesh::setVertexColors(std::vector<Eigen::Vector4d> colors)
{
    if (!colors.empty() && colors.size() != m_vertices.size())
        return false;
    m_colors = std::move(colors);
    return true;
}

std::vector<Eigen::Vector3d> Mesh::faceNormals() const
{
    std::vector<Eigen::Vector3d> normals;
    normals.reserve(m_faces.size());
    for (const Eigen::Vector3i& f : m_faces)
    {
        Eigen::Vector3d n = (m_vertices[f[1]] - m_vertices[f[0]]).cross(m_vertices[f[2]] - m_vertices[f[0]]);
        normalizeOrZero(n);
        normals.push_back(n);
    }
    return normals;
}

void Mesh::computeVertexNormals(int weighting)
{
    std::vector<Eigen::Vector3d> normals(m_vertices.size(), Eigen::Vector3d::Zero());
    for (const Eigen::Vector3i& f : m_faces)
    {
        // The cross product's length is twice the face area: it is the area-weighted normal as it stands.
        const Eigen::Vector3d areaNormal =
          (m_vertices[f[1]] - m_vertices[f[0]]).cross(m_vertices[f[2]] - m_vertices[f[0]]);
        const double doubleArea = areaNormal.norm();
        if (doubleArea == 0.0)
            continue;
        const Eigen::Vector3d unitNormal = areaNormal / doubleArea;
        for (int corner = 0; corner < 3; ++corner)
        {
            const int vertex = f[corner];
            const auto angle = [&] {
                return cornerAngle(m_vertices[vertex], m_vertices[f[(corner + 1) % 3]],
                                   m_vertices[f[(corner + 2) % 3]]);
            };
            switch (weighting)
            {
                case Uniform:
                    normals[vertex] += unitNormal;
                    break;
                case FaceArea:
                    normals[vertex] += areaNormal;
                    break;
                case CornerAngle:
                    normals[vertex] += angle() * unitNormal;
                    break;
                default:
                    normals[vertex] += angle() * areaNormal;
                    break;
            }
        }
    }
    std::for_each(normals.begin(), normals.end(), normalizeOrZero);
    m_normals = std::move(normals);
}

Eigen::AlignedBox3d Mesh::boundingBox() const
{
    Eigen::AlignedBox3d box;
    for (const Eigen::Vector3d& v : m_vertices)
        box.extend(v);
    return box;
}

void Mesh::transform(const Eigen::Matrix4d& matrix)
{
    for (Eigen::Vector3d& v : m_vertices)
        v = Math::transformPointAffine(matrix, v);
    const Eigen::Matrix3d normalMatrix = matrix.topLeftCorner<3, 3>().inverse().transpose();
    for (Eigen::Vector3d& n : m_normals)
    {
        n = normalMatrix * n;
        normalizeOrZero(n);
    }
}

bool Mesh::enclosesVolume() const
{
    if (m_faces.empty())
        return false;
    // Corners at the same place are one vertex, so that a surface stored with its sharp edges split (a vertex
    // per normal) still counts as closed.
    std::unordered_map<std::uint64_t, int> welded;
    std::vector<int> same(m_vertices.size());
    for (std::size_t v = 0; v < m_vertices.size(); ++v)
    {
        const Eigen::Vector3d& p = m_vertices[v];
        const std::uint64_t hash = std::hash<double>()(p.x()) * 73856093u ^ std::hash<double>()(p.y()) * 19349663u ^
                                   std::hash<double>()(p.z()) * 83492791u;
        auto [at, fresh] = welded.emplace(hash, int(v));
        same[v] = fresh || m_vertices[std::size_t(at->second)] != p ? int(v) : at->second;
    }
    // Each directed edge once, and its reverse once: every edge between exactly two faces wound the same way.
    std::unordered_set<std::uint64_t> directed;
    const auto key = [&](int a, int b)
    { return (std::uint64_t(std::uint32_t(same[std::size_t(a)])) << 32) | std::uint32_t(same[std::size_t(b)]); };
    for (const Eigen::Vector3i& f : m_faces)
        for (int k = 0; k < 3; ++k)
            if (!directed.insert(key(f[k], f[(k + 1) % 3])).second)
                return false;
    for (const std::uint64_t edge : directed)
        if (directed.count((edge << 32) | (edge >> 32)) == 0)
            return false;
    double volume = 0.0;
    for (const Eigen::Vector3i& f : m_faces)
        volume += m_vertices[std::size_t(f[0])].dot(m_vertices[std::size_t(f[1])].cross(m_vertices[std::size_t(f[2])]));
    return volume > 0.0;
}

} // namespace Kelvaros
