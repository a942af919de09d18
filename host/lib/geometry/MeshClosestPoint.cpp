#include "lib/geometry/MeshClosestPoint.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

#include "core/Log.h"
#include "lib/geometry/Mesh.h"

namespace Kelvaros
{

namespace
{

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

Eigen::Vector3d centroidOf(const Triangle& t)
{
    return (t.a + t.b + t.c) / 3.0;
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
    /// Boxes at this squared distance or farther are left unopened.
    double opens2 = std::numeric_limits<double>::infinity();
    /// The nearest box left unopened although it was nearer than the best triangle: the true distance is no less.
    double skipped2 = std::numeric_limits<double>::infinity();
};

/// How much nearer than the best triangle a box must be to be opened.
double slackOf(double distance, double exactWithin, double relative)
{
    return std::max(0.0, std::min(relative * distance / (1.0 + relative), (distance - exactWithin) / 2.0));
}

double slackOf(double distance, bool behind, const MeshClosestPoint::Approximation& approximation)
{
    return behind ? slackOf(distance, approximation.exactBehindWithin, approximation.relativeBehind)
                  : slackOf(distance, approximation.exactWithin, approximation.relative);
}

/// Where the open segment from `from` to `to` meets the triangle, with a margin of rounding counted as a meeting.
bool segmentMeets(const Eigen::Vector3d& from, const Eigen::Vector3d& to, const Triangle& t)
{
    const Eigen::Vector3d direction = to - from;
    const Eigen::Vector3d e1 = t.b - t.a, e2 = t.c - t.a;
    const Eigen::Vector3d h = direction.cross(e2);
    const double det = e1.dot(h);
    const double scale = e1.norm() * direction.norm() * e2.norm();
    if (std::abs(det) <= 1e-12 * scale)
        return false;
    const Eigen::Vector3d s = from - t.a;
    const double u = s.dot(h) / det;
    const Eigen::Vector3d q = s.cross(e1);
    const double v = direction.dot(q) / det;
    const double along = e2.dot(q) / det;
    constexpr double kRim = 1e-9;
    return u >= -kRim && v >= -kRim && u + v <= 1 + kRim && along >= -kRim && along <= 1 + kRim;
}

bool segmentMeetsBox(const Eigen::Vector3d& from, const Eigen::Vector3d& to, const Eigen::AlignedBox3d& box)
{
    double enter = 0, leave = 1;
    const Eigen::Vector3d direction = to - from;
    for (int axis = 0; axis < 3; ++axis)
    {
        const double lo = box.min()[axis] - 1e-9, hi = box.max()[axis] + 1e-9;
        if (direction[axis] == 0)
        {
            if (from[axis] < lo || from[axis] > hi)
                return false;
            continue;
        }
        const double a = (lo - from[axis]) / direction[axis], b = (hi - from[axis]) / direction[axis];
        enter = std::max(enter, std::min(a, b));
        leave = std::min(leave, std::max(a, b));
    }
    return enter <= leave;
}

/// A node of the bounding-volume hierarchy: a box around its triangles, and either two children (the first at the
/// next index, the second at `second`) or, for a leaf, a run of the ordered triangles.
struct Node
{
    Eigen::AlignedBox3d box;
    std::uint32_t second = 0;
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    [[nodiscard]] bool leaf() const { return count > 0; }
};

constexpr std::uint32_t kLeafSize = 4;

Eigen::AlignedBox3d boxOf(const Triangle& t)
{
    Eigen::AlignedBox3d box(t.a);
    box.extend(t.b);
    box.extend(t.c);
    return box;
}

/// Splits the triangles order[begin, end) at the median of their centroids along the longest side of the
/// centroids' box, depth first, so that a node's first child follows it.
void build(std::vector<Node>& nodes, std::vector<std::uint32_t>& order, const std::vector<Triangle>& triangles,
           std::uint32_t begin, std::uint32_t end)
{
    const auto index = std::uint32_t(nodes.size());
    nodes.emplace_back();
    Eigen::AlignedBox3d centres;
    for (std::uint32_t i = begin; i < end; ++i)
    {
        nodes[index].box.extend(boxOf(triangles[order[i]]));
        centres.extend(centroidOf(triangles[order[i]]));
    }
    if (end - begin <= kLeafSize)
    {
        nodes[index].first = begin;
        nodes[index].count = end - begin;
        return;
    }
    Eigen::Index axis = 0;
    centres.sizes().maxCoeff(&axis);
    const std::uint32_t middle = begin + (end - begin) / 2;
    std::nth_element(order.begin() + begin, order.begin() + middle, order.begin() + end,
                     [&](std::uint32_t l, std::uint32_t r)
                     { return centroidOf(triangles[l])[axis] < centroidOf(triangles[r])[axis]; });
    build(nodes, order, triangles, begin, middle);
    nodes[index].second = std::uint32_t(nodes.size());
    build(nodes, order, triangles, middle, end);
}

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

} // namespace

struct MeshClosestPoint::Index
{
    std::vector<Triangle> triangles;
    std::vector<Eigen::Vector3d> vertexNormals;
    /// Depth first; empty without triangles.
    std::vector<Node> nodes;
    /// Triangle indices in the order of the leaves.
    std::vector<std::uint32_t> order;

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

    /// Descends nearer box first and leaves every box no nearer than the best triangle found (less the slack an
    /// approximation allows): far from a fine surface as close to it, only the few leaves around the closest point
    /// are measured.
    [[nodiscard]] Best search(const Eigen::Vector3d& query, const Approximation& approximation) const
    {
        Best best;
        std::vector<std::pair<double, std::uint32_t>> pending{ { nodes[0].box.squaredExteriorDistance(query), 0u } };
        while (!pending.empty())
        {
            const auto [distance2, at] = pending.back();
            pending.pop_back();
            if (distance2 >= best.opens2)
            {
                best.skipped2 = std::min(best.skipped2, distance2);
                continue;
            }
            const Node& node = nodes[at];
            if (node.leaf())
            {
                for (std::uint32_t i = node.first; i < node.first + node.count; ++i)
                    measure(triangles[order[i]], query, approximation, best);
                continue;
            }
            const std::uint32_t near = at + 1, far = node.second;
            const double nearDistance2 = nodes[near].box.squaredExteriorDistance(query);
            const double farDistance2 = nodes[far].box.squaredExteriorDistance(query);
            // The nearer child goes on the stack last, so that it is taken first.
            if (nearDistance2 <= farDistance2)
                pending.insert(pending.end(), { { farDistance2, far }, { nearDistance2, near } });
            else
                pending.insert(pending.end(), { { nearDistance2, near }, { farDistance2, far } });
        }
        return best;
    }

    /// Whether the straight way from the query to (just inside) the triangle of its approximate closest point
    /// crosses no other triangle: then the query lies on the side of the surface that the triangle faces it with,
    /// as it would by the truly closest one. Near an edge or corner of the triangle another face decides, so the
    /// way ends a little inside it.
    [[nodiscard]] bool seesDirectly(const Eigen::Vector3d& query, const Best& best) const
    {
        const Triangle& own = *best.triangle;
        if (own.normal.isZero())
            return false;
        const Eigen::Vector3d end = best.point + 1e-3 * (centroidOf(own) - best.point);
        std::vector<std::uint32_t> pending{ 0u };
        while (!pending.empty())
        {
            const Node& node = nodes[pending.back()];
            const std::uint32_t at = pending.back();
            pending.pop_back();
            if (!segmentMeetsBox(query, end, node.box))
                continue;
            if (!node.leaf())
            {
                pending.insert(pending.end(), { at + 1, node.second });
                continue;
            }
            for (std::uint32_t i = node.first; i < node.first + node.count; ++i)
                if (&triangles[order[i]] != &own && segmentMeets(query, end, triangles[order[i]]))
                    return false;
        }
        return true;
    }

    static void measure(const Triangle& triangle, const Eigen::Vector3d& query, const Approximation& approximation,
                        Best& best)
    {
        // The triangle's own box costs a fraction of the exact distance and rules most of a leaf out.
        if (const double box2 = boxOf(triangle).squaredExteriorDistance(query); box2 >= best.opens2)
        {
            best.skipped2 = std::min(best.skipped2, box2);
            return;
        }
        const Eigen::Vector3d point = closestOnTriangle(query, triangle);
        const double distance2 = (point - query).squaredNorm();
        if (distance2 >= best.distance2)
            return;
        best.distance2 = distance2;
        best.point = point;
        best.triangle = &triangle;
        const double distance = std::sqrt(distance2);
        const double slack = slackOf(distance, triangle.normal.dot(query - point) < 0.0, approximation);
        // Squaring the root again could round below the best and count the box of the best itself as skipped.
        best.opens2 = slack > 0.0 ? (distance - slack) * (distance - slack) : distance2;
    }
};

MeshClosestPoint::MeshClosestPoint(const Mesh& mesh) : m_index(std::make_unique<Index>())
{
    m_index->triangles = finiteTriangles(mesh);
    if (mesh.vertexNormals().size() == mesh.vertices().size() &&
        std::all_of(mesh.vertexNormals().begin(), mesh.vertexNormals().end(),
                    [](const Eigen::Vector3d& n) { return n.allFinite(); }))
        m_index->vertexNormals = mesh.vertexNormals();
    Index& index = *m_index;
    index.order.resize(index.triangles.size());
    std::iota(index.order.begin(), index.order.end(), 0u);
    if (!index.triangles.empty())
        build(index.nodes, index.order, index.triangles, 0, std::uint32_t(index.order.size()));
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
    return query(point, Approximation{});
}

MeshClosestPoint::Hit MeshClosestPoint::query(const Eigen::Vector3d& point, const Approximation& approximation) const
{
    Hit hit;
    if (empty() || !point.allFinite())
        return hit;
    Best best = m_index->search(point, approximation);
    if (!best.triangle)
        return hit;
    // A closest point first found behind a triangle may have opened fewer boxes than a point in front may.
    const double distance = std::sqrt(best.distance2);
    const bool behind = best.triangle->normal.dot(point - best.point) < 0.0;
    if (!behind && distance - std::sqrt(best.skipped2) > slackOf(distance, false, approximation) * (1 + 1e-9))
        best = m_index->search(point, { approximation.exactWithin, approximation.relative, approximation.exactWithin,
                                        approximation.relative });
    if (best.skipped2 < best.distance2 && !m_index->seesDirectly(point, best))
        best = m_index->search(point, Approximation{});
    hit.found = true;
    hit.point = best.point;
    hit.distance = std::sqrt(best.distance2);
    hit.tolerance = best.skipped2 < best.distance2 ? hit.distance - std::sqrt(best.skipped2) : 0.0;
    hit.triangle = best.triangle->face;
    hit.normal = best.triangle->normal;
    hit.smoothNormal = m_index->smoothNormal(*best.triangle, hit.point);
    hit.outside = hit.normal.dot(point - hit.point) > 0.0;
    return hit;
}

} // namespace Kelvaros
