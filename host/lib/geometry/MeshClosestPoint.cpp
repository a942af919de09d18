#include "lib/geometry/MeshClosestPoint.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <nanoflann.hpp>
#include <numeric>
#include <vector>

#include "core/Log.h"
#include "lib/geometry/Mesh.h"

namespace Kelvaros
{

namespace
{

/// The largest reach of a group over its smallest: small enough that the bound of a group stays tight, large
/// enough that a mesh of ordinary, somewhat uneven triangles needs two or three trees.
constexpr double kGroupRatio = 4.0;

struct Triangle
{
    Eigen::Vector3d a;
    Eigen::Vector3d b;
    Eigen::Vector3d c;
    /// Unit, or zero for a triangle without area.
    Eigen::Vector3d normal;
    int face;
    /// Into the vertex normals, if the mesh has them.
    Eigen::Vector3i corners;
};

/// Centroids as nanoflann reads them.
struct Centroids
{
    std::vector<Eigen::Vector3d> points;

    [[nodiscard]] std::size_t kdtree_get_point_count() const { return points.size(); }
    [[nodiscard]] double kdtree_get_pt(std::size_t i, std::size_t axis) const { return points[i][Eigen::Index(axis)]; }
    template<class Box>
    bool kdtree_get_bbox(Box& /*box*/) const
    {
        return false;
    }
};

using CentroidTree =
  nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<double, Centroids>, Centroids, 3, std::uint32_t>;

/// Triangles of similar size under one tree. Held by pointer: the tree refers to the centroids.
struct Group
{
    Centroids centroids;
    /// Index into the triangle list, in the order of the centroids.
    std::vector<std::uint32_t> triangles;
    /// The largest distance from a centroid to a vertex of its triangle.
    double reach = 0.0;
    std::unique_ptr<CentroidTree> tree;
};

Eigen::Vector3d centroidOf(const Triangle& t)
{
    return (t.a + t.b + t.c) / 3.0;
}

double reachOf(const Triangle& t)
{
    const Eigen::Vector3d centre = centroidOf(t);
    return std::max({ (t.a - centre).norm(), (t.b - centre).norm(), (t.c - centre).norm() });
}

Eigen::Vector3d unitNormalOrZero(const Eigen::Vector3d& a, const Eigen::Vector3d& b, const Eigen::Vector3d& c)
{
    const Eigen::Vector3d n = (b - a).cross(c - a);
    const double longest = std::max({ (b - a).squaredNorm(), (c - b).squaredNorm(), (a - c).squaredNorm() });
    // Below this the direction of the cross product is rounding noise; such a sliver is measured by its edges.
    if (!(n.norm() > 1e-12 * longest))
        return Eigen::Vector3d::Zero();
    return n.normalized();
}

Eigen::Vector3d closestOnSegment(const Eigen::Vector3d& p, const Eigen::Vector3d& a, const Eigen::Vector3d& b)
{
    const Eigen::Vector3d ab = b - a;
    const double length2 = ab.squaredNorm();
    const double t = length2 > 0.0 ? std::clamp((p - a).dot(ab) / length2, 0.0, 1.0) : 0.0;
    return a + t * ab;
}

bool projectsInside(const Eigen::Vector3d& q, const Triangle& t)
{
    return (t.b - t.a).cross(q - t.a).dot(t.normal) >= 0.0 && (t.c - t.b).cross(q - t.b).dot(t.normal) >= 0.0 &&
           (t.a - t.c).cross(q - t.c).dot(t.normal) >= 0.0;
}

/// The projection onto the plane when it falls inside the triangle; otherwise the closest point lies on the border,
/// and the closest of the three edges' closest points covers the edge and the vertex regions alike. A triangle
/// without area has only its border, so it never divides by its area.
Eigen::Vector3d closestOnTriangle(const Eigen::Vector3d& p, const Triangle& t)
{
    if (!t.normal.isZero())
    {
        const Eigen::Vector3d q = p - t.normal * t.normal.dot(p - t.a);
        if (projectsInside(q, t))
            return q;
    }
    Eigen::Vector3d best = closestOnSegment(p, t.a, t.b);
    for (const Eigen::Vector3d& candidate : { closestOnSegment(p, t.b, t.c), closestOnSegment(p, t.c, t.a) })
        if ((candidate - p).squaredNorm() < (best - p).squaredNorm())
            best = candidate;
    return best;
}

struct Best
{
    double distance2 = std::numeric_limits<double>::infinity();
    Eigen::Vector3d point = Eigen::Vector3d::Zero();
    const Triangle* triangle = nullptr;
};

/// A nanoflann result set that measures each candidate exactly and narrows the search to what can still beat the
/// best triangle found.
class GroupSearch
{
public:
    using DistanceType = double;
    using IndexType = std::uint32_t;

    GroupSearch(const Group& group, const std::vector<Triangle>& triangles, const Eigen::Vector3d& query, Best& best)
      : m_group(group), m_triangles(triangles), m_query(query), m_best(best)
    {
    }

    [[nodiscard]] bool full() const { return true; }
    /// Squared, as the L2 metric compares. The slack covers rounding in the centroid distance.
    [[nodiscard]] double worstDist() const
    {
        const double radius = (std::sqrt(m_best.distance2) + m_group.reach) * (1.0 + 1e-9);
        return radius * radius;
    }
    bool addPoint(double /*centroidDistance2*/, std::uint32_t index)
    {
        const Triangle& triangle = m_triangles[m_group.triangles[index]];
        const Eigen::Vector3d point = closestOnTriangle(m_query, triangle);
        const double distance2 = (point - m_query).squaredNorm();
        if (distance2 < m_best.distance2)
            m_best = { distance2, point, &triangle };
        return true;
    }

private:
    const Group& m_group;
    const std::vector<Triangle>& m_triangles;
    const Eigen::Vector3d& m_query;
    Best& m_best;
};

std::vector<Triangle> finiteTriangles(const Mesh& mesh)
{
    std::vector<Triangle> triangles;
    triangles.reserve(mesh.faces().size());
    const auto& vertices = mesh.vertices();
    for (std::size_t i = 0; i < mesh.faces().size(); ++i)
    {
        const Eigen::Vector3i& f = mesh.faces()[i];
        const Eigen::Vector3d& a = vertices[std::size_t(f[0])];
        const Eigen::Vector3d& b = vertices[std::size_t(f[1])];
        const Eigen::Vector3d& c = vertices[std::size_t(f[2])];
        if (a.allFinite() && b.allFinite() && c.allFinite())
            triangles.push_back({ a, b, c, unitNormalOrZero(a, b, c), int(i), f });
    }
    const std::size_t dropped = mesh.faces().size() - triangles.size();
    if (dropped > 0)
        Log::logf(Log::Warning, "MeshClosestPoint",
                  "{} of {} triangles have a vertex that is not a finite number; "
                  "they are left out of the surface",
                  dropped, mesh.faces().size());
    return triangles;
}

std::unique_ptr<Group> makeGroup(const std::vector<Triangle>& triangles, const std::vector<std::uint32_t>& members,
                                 double reach)
{
    auto group = std::make_unique<Group>();
    group->triangles = members;
    group->reach = reach;
    group->centroids.points.reserve(members.size());
    for (const std::uint32_t i : members)
        group->centroids.points.push_back(centroidOf(triangles[i]));
    group->tree = std::make_unique<CentroidTree>(3, group->centroids, nanoflann::KDTreeSingleIndexAdaptorParams(10));
    return group;
}

/// Groups by reach, smallest first: each group spans at most kGroupRatio from its smallest reach.
std::vector<std::unique_ptr<Group>> groupBySize(const std::vector<Triangle>& triangles)
{
    std::vector<double> reaches(triangles.size());
    std::transform(triangles.begin(), triangles.end(), reaches.begin(), reachOf);
    std::vector<std::uint32_t> order(triangles.size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](std::uint32_t l, std::uint32_t r) { return reaches[l] < reaches[r]; });

    std::vector<std::unique_ptr<Group>> groups;
    std::vector<std::uint32_t> members;
    double smallest = 0.0;
    for (const std::uint32_t i : order)
    {
        if (!members.empty() && reaches[i] > kGroupRatio * smallest)
        {
            groups.push_back(makeGroup(triangles, members, reaches[members.back()]));
            members.clear();
        }
        if (members.empty())
            smallest = reaches[i];
        members.push_back(i);
    }
    if (!members.empty())
        groups.push_back(makeGroup(triangles, members, reaches[members.back()]));
    return groups;
}

} // namespace

struct MeshClosestPoint::Index
{
    std::vector<Triangle> triangles;
    std::vector<Eigen::Vector3d> vertexNormals;
    std::vector<std::unique_ptr<Group>> groups;

    /// The vertex normals weighted by the point's barycentric coordinates (the face normal without them, or for a
    /// triangle without area).
    [[nodiscard]] Eigen::Vector3d smoothNormal(const Triangle& t, const Eigen::Vector3d& point) const
    {
        const Eigen::Vector3d n = (t.b - t.a).cross(t.c - t.a);
        if (vertexNormals.empty() || t.normal.isZero())
            return t.normal;
        const double wa = std::clamp((t.c - t.b).cross(point - t.b).dot(n) / n.squaredNorm(), 0.0, 1.0);
        const double wb = std::clamp((t.a - t.c).cross(point - t.c).dot(n) / n.squaredNorm(), 0.0, 1.0 - wa);
        const Eigen::Vector3d blend = wa * vertexNormals[std::size_t(t.corners[0])] +
                                      wb * vertexNormals[std::size_t(t.corners[1])] +
                                      (1.0 - wa - wb) * vertexNormals[std::size_t(t.corners[2])];
        return blend.norm() > 1e-6 ? Eigen::Vector3d(blend.normalized()) : t.normal;
    }
};

MeshClosestPoint::MeshClosestPoint(const Mesh& mesh) : m_index(std::make_unique<Index>())
{
    m_index->triangles = finiteTriangles(mesh);
    if (mesh.vertexNormals().size() == mesh.vertices().size() &&
        std::all_of(mesh.vertexNormals().begin(), mesh.vertexNormals().end(),
                    [](const Eigen::Vector3d& n) { return n.allFinite(); }))
        m_index->vertexNormals = mesh.vertexNormals();
    m_index->groups = groupBySize(m_index->triangles);
}

MeshClosestPoint::~MeshClosestPoint() = default;
MeshClosestPoint::MeshClosestPoint(MeshClosestPoint&&) noexcept = default;
MeshClosestPoint& MeshClosestPoint::operator=(MeshClosestPoint&&) noexcept = default;

bool MeshClosestPoint::empty() const
{
    return triangleCount() == 0;
}

std::size_t MeshClosestPoint::triangleCount() const
{
    return m_index ? m_index->triangles.size() : 0;
}

MeshClosestPoint::Hit MeshClosestPoint::query(const Eigen::Vector3d& point) const
{
    Hit hit;
    if (empty() || !point.allFinite())
        return hit;
    Best best;
    for (const auto& group : m_index->groups)
    {
        GroupSearch search(*group, m_index->triangles, point, best);
        group->tree->findNeighbors(search, point.data(), nanoflann::SearchParams());
    }
    if (!best.triangle)
        return hit;
    hit.found = true;
    hit.point = best.point;
    hit.distance = std::sqrt(best.distance2);
    hit.triangle = best.triangle->face;
    hit.normal = best.triangle->normal;
    hit.smoothNormal = m_index->smoothNormal(*best.triangle, hit.point);
    hit.outside = hit.normal.dot(point - hit.point) > 0.0;
    return hit;
}

} // namespace Kelvaros
