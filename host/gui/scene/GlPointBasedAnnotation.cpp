#include "gui/scene/GlPointBasedAnnotation.h"

#include "gui/scene/SceneDrawing.h"

namespace Kelvaros
{

void GlPointBasedAnnotation::setPoints(std::vector<Eigen::Vector3d> points)
{
    m_points = std::move(points);
    changed();
}

Eigen::AlignedBox3d GlPointBasedAnnotation::bounds() const
{
    Eigen::AlignedBox3d box;
    for (const Eigen::Vector3d& p : worldPoints())
        box.extend(p);
    return box;
}

std::vector<Eigen::Vector3d> GlPointBasedAnnotation::worldPoints() const
{
    std::vector<Eigen::Vector3d> world;
    world.reserve(m_points.size());
    for (const Eigen::Vector3d& p : m_points)
        world.push_back(SceneDrawing::toWorld(matrix(), p));
    return world;
}

void GlPointBasedAnnotation::renderHandles(const RenderInfo& info, const std::vector<Eigen::Vector3d>& world)
{
    if (pointSize() < 1.0)
        return;
    std::vector<Eigen::Vector3d> triangles;
    for (const Eigen::Vector3d& p : world)
        if (const std::optional<Eigen::Vector3d> shown = SceneDrawing::shownAt(info, p))
            SceneDrawing::appendDisc(info, *shown, pointSize(), triangles);
    SceneDrawing::drawTriangles(buffer(), info, triangles, rgba());
}

} // namespace Kelvaros
