#include "gui/scene/GlArrow.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "gui/scene/SceneDrawing.h"

namespace Kelvaros
{
namespace
{
constexpr double kHeadLengthPixels = 18.0;
constexpr double kHeadRadiusPixels = 6.0;
constexpr int kHeadSegments = 16;
constexpr double kPi = 3.14159265358979323846;
} // namespace

void GlArrow::setShowLength(bool show)
{
    m_showLength = show;
    changed();
}

void GlArrow::renderGeometry(const RenderInfo& info)
{
    const std::vector<Eigen::Vector3d> world = worldPoints();
    if (world.size() < 2 || world[0] == world[1])
        return;
    const Eigen::Vector3d& tip = world[1];
    const double length = (tip - world[0]).norm();
    const Eigen::Vector3d direction = (tip - world[0]) / length;
    const double headLength = std::min(length, SceneDrawing::worldLengthOfPixels(info, tip, kHeadLengthPixels));
    const double headRadius = headLength * kHeadRadiusPixels / kHeadLengthPixels;
    const Eigen::Vector3d base = tip - headLength * direction;
    SceneDrawing::drawLines(buffer(), info, SceneDrawing::visibleSegments(info, { world[0], base }, false), rgba(),
                            lineWidth());
    if (!info.sliceView || SceneDrawing::withinSlab(info, tip))
        renderHead(info, tip, direction, headLength, headRadius);
}

void GlArrow::renderHead(const RenderInfo& info, const Eigen::Vector3d& tip, const Eigen::Vector3d& direction,
                         double length, double radius)
{
    const Eigen::Vector3d u = direction.unitOrthogonal();
    const Eigen::Vector3d v = direction.cross(u);
    const Eigen::Vector3d base = tip - length * direction;
    std::vector<Eigen::Vector3d> triangles;
    std::vector<Eigen::Vector3d> normals;
    const auto add = [&](const Eigen::Vector3d& p, const Eigen::Vector3d& n)
    {
        triangles.push_back(info.sliceView ? info.slice.project(p) : p);
        normals.push_back(n);
    };
    for (int i = 0; i < kHeadSegments; ++i)
    {
        const double a0 = 2.0 * kPi * i / kHeadSegments;
        const double a1 = 2.0 * kPi * (i + 1) / kHeadSegments;
        const Eigen::Vector3d r0 = std::cos(a0) * u + std::sin(a0) * v;
        const Eigen::Vector3d r1 = std::cos(a1) * u + std::sin(a1) * v;
        // The side normal tilts towards the tip by the cone's half angle.
        const auto sideNormal = [&](const Eigen::Vector3d& r)
        { return Eigen::Vector3d((length * r + radius * direction).normalized()); };
        add(tip, sideNormal(0.5 * (r0 + r1)));
        add(base + radius * r0, sideNormal(r0));
        add(base + radius * r1, sideNormal(r1));
        add(base, -direction);
        add(base + radius * r1, -direction);
        add(base + radius * r0, -direction);
    }
    SceneDrawing::drawTriangles(buffer(), info, triangles, rgba(), normals);
}

std::optional<Eigen::Vector3d> GlArrow::labelAnchor(const RenderInfo& info) const
{
    const std::vector<Eigen::Vector3d> world = worldPoints();
    if (world.size() < 2)
        return std::nullopt;
    if (!info.sliceView)
        return world[1];
    if (!SceneDrawing::withinSlab(info, world[1]))
        return std::nullopt;
    return info.slice.project(world[1]);
}

std::string GlArrow::shownLabel() const
{
    const std::vector<Eigen::Vector3d> world = worldPoints();
    if (!m_showLength || world.size() < 2)
        return labelText();
    const std::string length = fmt::format("{:.1f} mm", (world[1] - world[0]).norm());
    return labelText().empty() ? length : labelText() + "  " + length;
}

} // namespace Kelvaros
