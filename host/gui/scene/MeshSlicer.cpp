#include "gui/scene/MeshSlicer.h"

#include <algorithm>
#include <map>

#include "lib/geometry/Mesh.h"

namespace Kelvaros
{

std::vector<Eigen::Vector3d> MeshSlicer::slice(const Mesh& mesh, const Eigen::Vector3d& normal, double offset)
{
    const std::vector<Eigen::Vector3d>& vertices = mesh.vertices();
    std::vector<double> distance(vertices.size());
    for (size_t i = 0; i < vertices.size(); ++i)
        distance[i] = normal.dot(vertices[i]) - offset;
    const auto below = [&](int v) { return distance[v] < 0.0; };
    // The crossing on an edge whose ends lie on different sides. Computed from the edge's ends in a fixed order,
    // so the two triangles sharing the edge get the same point and the contour closes exactly.
    const auto crossing = [&](int a, int b)
    {
        if (a > b)
            std::swap(a, b);
        const double t = distance[a] / (distance[a] - distance[b]);
        return Eigen::Vector3d(vertices[a] + t * (vertices[b] - vertices[a]));
    };
    std::vector<Eigen::Vector3d> segments;
    for (const Eigen::Vector3i& face : mesh.faces())
    {
        const int belowCount = below(face[0]) + below(face[1]) + below(face[2]);
        if (belowCount == 0 || belowCount == 3)
            continue;
        // The vertex alone on its side; the segment joins the crossings of its two edges.
        int lone = 0;
        for (int k = 0; k < 3; ++k)
            if (below(face[k]) == (belowCount == 1))
                lone = k;
        const Eigen::Vector3d p = crossing(face[lone], face[(lone + 1) % 3]);
        const Eigen::Vector3d q = crossing(face[lone], face[(lone + 2) % 3]);
        if (p == q)
            continue;
        segments.push_back(p);
        segments.push_back(q);
    }
    return segments;
}

std::vector<Eigen::Vector3d> MeshSlicer::chain(const std::vector<Eigen::Vector3d>& segments)
{
    // Pieces meet at bit-identical points (see slice), so exact comparison finds the neighbours.
    const auto less = [](const Eigen::Vector3d& a, const Eigen::Vector3d& b)
    { return std::lexicographical_compare(a.data(), a.data() + 3, b.data(), b.data() + 3); };
    const size_t count = segments.size() / 2;
    std::multimap<Eigen::Vector3d, size_t, decltype(less)> ends(less);
    for (size_t i = 0; i < count; ++i)
    {
        ends.emplace(segments[2 * i], i);
        ends.emplace(segments[2 * i + 1], i);
    }
    std::vector<bool> used(count, false);
    std::vector<Eigen::Vector3d> chained;
    chained.reserve(segments.size());
    for (size_t start = 0; start < count; ++start)
    {
        size_t current = start;
        Eigen::Vector3d from = segments[2 * start];
        Eigen::Vector3d to = segments[2 * start + 1];
        while (!used[current])
        {
            used[current] = true;
            chained.push_back(from);
            chained.push_back(to);
            const auto [first, last] = ends.equal_range(to);
            const auto next = std::find_if(first, last, [&](const auto& entry) { return !used[entry.second]; });
            if (next == last)
                break;
            current = next->second;
            from = to;
            to = segments[2 * current] == to ? segments[2 * current + 1] : segments[2 * current];
        }
    }
    return chained;
}

} // namespace Kelvaros
