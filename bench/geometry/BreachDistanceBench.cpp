// Cost of the breach warning per tracking sample on a structure of about 200,000 triangles (a sphere of radius
// 20 mm, facets within 0.002 mm of it): the tip alone, and a 150 mm needle back from the tip. Tips lie up to 40 mm
// from the surface in random directions, needles point anywhere, so some pass by, some through it. A second set of
// needles runs along the surface 3 mm off it, the search's hardest case: no piece of it is much farther than the
// nearest point. The needle distances are checked against probing every 0.02 mm.
// Prints the median over batches of the time per sample.

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

/// The most a needle's distance exceeds the least of dense probes along it (mm).
double worstExcessOverDense(const CriticalStructures& structures, const std::vector<Tool>& tools)
{
    double worst = 0;
    for (const Tool& tool : tools)
    {
        double dense = structures.tip(tool.tip).distance;
        for (double t = 0.02; t <= kNeedle; t += 0.02)
            dense = std::min(dense, structures.tip(tool.tip + t * tool.axis).distance);
        worst = std::max(worst, structures.needle(tool.tip, tool.axis, kNeedle).distance - dense);
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
    return 0;
}
