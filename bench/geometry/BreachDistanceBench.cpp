// Cost of the breach warning per tracking sample on a structure of about 200,000 triangles (a sphere of radius
// 20 mm, facets within 0.002 mm of it): the tip alone, and a 150 mm needle back from the tip. Tips lie up to 40 mm
// from the surface in random directions, needles point anywhere, so some pass by, some through it. A second set of
// needles runs along the surface 3 mm off it, the search's hardest case: no piece of it is much farther than the
// nearest point. The needle distances (less their tolerance, when approximate) are checked against probing every
// 0.02 mm.
// Prints the median over batches of the time per sample. Then the cost over the range a tool sees: tips at fixed
// distances outside (0.1 to 40 mm) and 10 mm inside, and the worst of these as the headline; far readings may be
// approximate (BreachDistance::tolerance), so their largest error against measuring every triangle is printed too.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

#include "lib/geometry/CriticalStructures.h"
#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshCreator.h"

using namespace Kelvaros;
using Clock = std::chrono::steady_clock;

namespace
{
constexpr double kRadius = 20.0;
constexpr double kNeedle = 150.0;

struct Tool
{
    Eigen::Vector3d tip;
    Eigen::Vector3d axis;
};

Eigen::Vector3d randomDirection(std::mt19937& rng)
{
    std::normal_distribution<double> normal;
    return Eigen::Vector3d(normal(rng), normal(rng), normal(rng)).normalized();
}

std::vector<Tool> anywhere(std::mt19937& rng, int count)
{
    std::uniform_real_distribution<double> depth(0.0, 40.0);
    std::vector<Tool> tools;
    for (int i = 0; i < count; ++i)
        tools.push_back({ randomDirection(rng) * (kRadius + depth(rng)), randomDirection(rng) });
    return tools;
}

/// Needles tangent to a sphere 3 mm outside the surface, touching it half way along.
std::vector<Tool> alongTheSurface(std::mt19937& rng, int count)
{
    std::vector<Tool> tools;
    for (int i = 0; i < count; ++i)
    {
        const Eigen::Vector3d out = randomDirection(rng);
        const Eigen::Vector3d along = out.cross(randomDirection(rng)).normalized();
        tools.push_back({ out * (kRadius + 3) - along * kNeedle / 2, along });
    }
    return tools;
}

/// Median over batches of the time of one query (microseconds).
double microsecondsPerQuery(const std::vector<Tool>& tools, const std::function<double(const Tool&)>& query)
{
    std::vector<double> batches;
    double sink = 0;
    for (int batch = 0; batch < 9; ++batch)
    {
        const auto start = Clock::now();
        for (const Tool& tool : tools)
            sink += query(tool);
        batches.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() /
                          double(tools.size()));
    }
    if (!(sink == sink))
        std::puts("a distance was not a number");
    std::nth_element(batches.begin(), batches.begin() + 4, batches.end());
    return batches[4];
}

/// Tips `offset` mm off the surface (negative: inside) in random directions.
std::vector<Tool> atOffset(std::mt19937& rng, double offset, int count)
{
    std::vector<Tool> tools;
    for (int i = 0; i < count; ++i)
        tools.push_back({ randomDirection(rng) * (kRadius + offset), randomDirection(rng) });
    return tools;
}

/// Distance from p to triangle abc, by the projection when it falls inside, else the nearest of the three edges.
double triangleDistance(const Eigen::Vector3d& p, const Eigen::Vector3d& a, const Eigen::Vector3d& b,
                        const Eigen::Vector3d& c)
{
    const Eigen::Vector3d n = (b - a).cross(c - a).normalized();
    const Eigen::Vector3d q = p - n * n.dot(p - a);
    const auto inside = [&](const Eigen::Vector3d& u, const Eigen::Vector3d& v)
    { return (v - u).cross(q - u).dot(n) >= 0; };
    if (inside(a, b) && inside(b, c) && inside(c, a))
        return (p - q).norm();
    const auto edge = [&](const Eigen::Vector3d& u, const Eigen::Vector3d& v)
    { return (p - (u + std::clamp((p - u).dot(v - u) / (v - u).squaredNorm(), 0.0, 1.0) * (v - u))).norm(); };
    return std::min({ edge(a, b), edge(b, c), edge(c, a) });
}

double bruteForceDistance(const Mesh& mesh, const Eigen::Vector3d& p)
{
    double least = INFINITY;
    for (const Eigen::Vector3i& f : mesh.faces())
        least =
          std::min(least, triangleDistance(p, mesh.vertices()[std::size_t(f[0])], mesh.vertices()[std::size_t(f[1])],
                                           mesh.vertices()[std::size_t(f[2])]));
    return least;
}

/// The largest error of a tip reading against every triangle, and whether each stayed within its own tolerance.
std::pair<double, bool> farError(const CriticalStructures& structures, const Mesh& mesh, const std::vector<Tool>& tools)
{
    double worst = 0;
    bool withinTolerance = true;
    for (const Tool& tool : tools)
    {
        const BreachDistance reading = structures.tip(tool.tip);
        const double error = std::abs(reading.distance) - bruteForceDistance(mesh, tool.tip);
        worst = std::max(worst, std::abs(error));
        withinTolerance = withinTolerance && error >= -1e-9 && error <= reading.tolerance + 1e-9;
    }
    return { worst, withinTolerance };
}

/// The most a needle's distance, less its own tolerance, exceeds the least of dense probes along it (mm).
double worstExcessOverDense(const CriticalStructures& structures, const std::vector<Tool>& tools)
{
    double worst = 0;
    for (const Tool& tool : tools)
    {
        double dense = structures.tip(tool.tip).distance;
        for (double t = 0.02; t <= kNeedle; t += 0.02)
            dense = std::min(dense, structures.tip(tool.tip + t * tool.axis).distance);
        const BreachDistance needle = structures.needle(tool.tip, tool.axis, kNeedle);
        worst = std::max(worst, needle.distance - needle.tolerance - dense);
    }
    return worst;
}
} // namespace

int main()
{
    const auto sphere = MeshCreator::createSphere(kRadius, 225);
    CriticalStructures structures;
    std::string reason;
    const auto built = Clock::now();
    if (!structures.add("vessel", *sphere, &reason))
        return 1;
    const double buildMs = std::chrono::duration<double, std::milli>(Clock::now() - built).count();
    std::mt19937 rng(11);
    const std::vector<Tool> tools = anywhere(rng, 2000);
    const std::vector<Tool> tangent = alongTheSurface(rng, 500);

    const auto tip = [&](const Tool& tool) { return structures.tip(tool.tip).distance; };
    const auto needle = [&](const Tool& tool) { return structures.needle(tool.tip, tool.axis, kNeedle).distance; };
    const double tipUs = microsecondsPerQuery(tools, tip);
    const double needleUs = microsecondsPerQuery(tools, needle);
    const double tangentUs = microsecondsPerQuery(tangent, needle);
    std::vector<Tool> checked(tools.begin(), tools.begin() + 40);
    checked.insert(checked.end(), tangent.begin(), tangent.begin() + 20);
    const double excess = worstExcessOverDense(structures, checked);

    std::printf("%zu triangles, index built in %.0f ms\n", sphere->faces().size(), buildMs);
    std::printf("FIGURE breach_tip_query_200k_triangles %.3g us\n", tipUs);
    std::printf("FIGURE breach_needle_query_200k_triangles %.3g us\n", needleUs);
    std::printf("FIGURE breach_needle_along_surface_query_200k_triangles %.3g us\n", tangentUs);
    std::printf("FIGURE breach_needle_excess_over_dense_max %.3g mm\n", excess);

    double worstTip = 0;
    std::vector<Tool> far;
    for (const double offset : { 0.1, 1.0, 5.0, 10.0, 20.0, 40.0, 50.0, -10.0, -5.0, -1.0 })
    {
        const std::vector<Tool> placed = atOffset(rng, offset, 1000);
        const double us = microsecondsPerQuery(placed, tip);
        worstTip = std::max(worstTip, us);
        std::printf("tip %+5.1f mm off the surface: %.3g us\n", offset, us);
        if (std::abs(offset) >= 20)
            far.insert(far.end(), placed.begin(), placed.begin() + 20);
    }
    const auto [error, withinTolerance] = farError(structures, *sphere, far);
    std::printf("far tips (20 to 50 mm outside): largest error against every triangle %.3g mm, %s\n", error,
                withinTolerance ? "each within its tolerance" : "SOME BEYOND THEIR TOLERANCE");
    const double worstNeedle = std::max(needleUs, tangentUs);
    std::printf("FIGURE breach_tip_query_worst_200k_triangles %.3g us\n", worstTip);
    std::printf("FIGURE breach_needle_query_worst_200k_triangles %.3g us\n", worstNeedle);
    std::printf("FIGURE breach_far_tip_error_max %.3g mm\n", error);
    return withinTolerance ? 0 : 1;
}
