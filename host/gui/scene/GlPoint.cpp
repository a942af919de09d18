#include "gui/scene/GlPoint.h"

#include "gui/scene/SceneDrawing.h"

namespace Kelvaros
{

void GlPoint::setPoint(const Eigen::Vector3d& point)
{
    setPoints({ point });
}

void GlPoint::setDotSize(double pixels)
{
    m_dotSize = pixels;
    changed();
}

void GlPoint::setAlwaysVisible(bool alwaysVisible)
{
    m_alwaysVisible = alwaysVisible;
    changed();
}

void GlPoint::renderGeometry(const RenderInfo& info)
{
    const std::optional<Eigen::Vector3d> centre = labelAnchor(info);
    if (!centre)
        return;
    std::vector<Eigen::Vector3d> triangles;
    SceneDrawing::appendDisc(info, *centre, m_dotSize, triangles);
    SceneDrawing::drawTriangles(buffer(), info, triangles, rgba());
}

std::optional<Eigen::Vector3d> GlPoint::labelAnchor(const RenderInfo& info) const
{
    if (points().empty())
        return std::nullopt;
    const Eigen::Vector3d world = worldPoints().front();
    return SceneDrawing::shownAt(info, world);
}

} // namespace Kelvaros
