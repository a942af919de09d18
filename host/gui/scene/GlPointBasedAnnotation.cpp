#include "gui/scene/GlPointBasedAnnotation.h"

#include <cmath>

#include "gui/scene/SceneDrawing.h"

namespace Kelvaros
{
namespace
{
/// The × of a crossing, across its diagonal.
constexpr double kCrossingPixels = 12.0;
} // namespace

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

void GlPointBasedAnnotation::setCrossingMarked(bool marked)
{
    m_crossingMarked = marked;
    changed();
}

void GlPointBasedAnnotation::renderCrossing(const RenderInfo& info, const std::vector<Eigen::Vector3d>& shown)
{
    if (!m_crossingMarked || !info.sliceView || shown.empty())
        return;
    Eigen::AlignedBox3d box;
    for (const Eigen::Vector3d& p : shown)
        box.extend(p);
    const Eigen::Vector3d centre = box.center();
    const double pixel = SceneDrawing::worldLengthOfPixels(info, centre, 1.0);
    if (box.diagonal().norm() >= lineWidth() * pixel)
        return;
    const Eigen::Vector3d x = info.slice.xAxis(), y = info.slice.yAxis();
    const double half = 0.5 * kCrossingPixels * pixel / std::sqrt(2.0);
    SceneDrawing::drawLines(
      buffer(), info,
      { centre - half * (x + y), centre + half * (x + y), centre - half * (x - y), centre + half * (x - y) }, rgba(),
      lineWidth());
}

} // namespace Kelvaros
