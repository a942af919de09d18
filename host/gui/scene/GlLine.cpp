#include "gui/scene/GlLine.h"

#include <fmt/format.h>

#include "gui/scene/SceneDrawing.h"

namespace Kelvaros
{

double GlLine::length() const
{
    const std::vector<Eigen::Vector3d> world = worldPoints();
    return world.size() < 2 ? 0.0 : (world[1] - world[0]).norm();
}

void GlLine::renderGeometry(const RenderInfo& info)
{
    std::vector<Eigen::Vector3d> world = worldPoints();
    if (world.size() < 2)
        return;
    world.resize(2);
    const std::vector<Eigen::Vector3d> shown = SceneDrawing::visibleSegments(info, world, false);
    if (!shown.empty())
        SceneDrawing::drawLines(buffer(), info,
                                SceneDrawing::dashes(info, shown[0], shown[1], lineStipplePattern, lineStippleFactor),
                                rgba(), lineWidth());
    renderCrossing(info, shown);
    renderHandles(info, world);
}

std::optional<Eigen::Vector3d> GlLine::labelAnchor(const RenderInfo& info) const
{
    std::vector<Eigen::Vector3d> world = worldPoints();
    if (world.size() < 2)
        return std::nullopt;
    world.resize(2);
    const std::vector<Eigen::Vector3d> shown = SceneDrawing::visibleSegments(info, world, false);
    if (shown.empty())
        return std::nullopt;
    return 0.5 * (shown[0] + shown[1]);
}

std::string GlLine::shownLabel() const
{
    return labelText().empty() ? fmt::format("{:.1f} mm", length()) : labelText();
}

} // namespace Kelvaros
