#include "gui/scene/GlSpline.h"

#include <fmt/format.h>

#include "gui/scene/SceneDrawing.h"

namespace Kelvaros
{
namespace
{
// Per span between control points; a span of a planned path bends little, so this is smooth at any zoom.
constexpr int kSamplesPerSpan = 32;
} // namespace

void GlSpline::setPoints(std::vector<Eigen::Vector3d> points)
{
    m_spline.setPoints(points);
    GlPointBasedAnnotation::setPoints(std::move(points));
}

std::vector<Eigen::Vector3d> GlSpline::worldPolyline() const
{
    std::vector<Eigen::Vector3d> polyline;
    if (points().size() < 2)
        return polyline;
    const int samples = kSamplesPerSpan * static_cast<int>(points().size() - 1);
    polyline.reserve(samples + 1);
    for (int i = 0; i <= samples; ++i)
        polyline.push_back(SceneDrawing::toWorld(matrix(), m_spline.evaluate(double(i) / samples)));
    return polyline;
}

void GlSpline::renderGeometry(const RenderInfo& info)
{
    const std::vector<Eigen::Vector3d> shown = SceneDrawing::visibleSegments(info, worldPolyline(), false);
    SceneDrawing::drawLines(buffer(), info, shown, rgba(), lineWidth());
    renderCrossing(info, shown);
    renderHandles(info, worldPoints());
}

std::optional<Eigen::Vector3d> GlSpline::labelAnchor(const RenderInfo& info) const
{
    if (points().size() < 2)
        return std::nullopt;
    const double middle = m_spline.arcLengthToSplineCoord(0.5 * m_spline.getCurveLength());
    const Eigen::Vector3d world = SceneDrawing::toWorld(matrix(), m_spline.evaluate(middle));
    return SceneDrawing::shownAt(info, world);
}

std::string GlSpline::shownLabel() const
{
    return labelText().empty() ? fmt::format("{:.1f} mm", m_spline.getCurveLength()) : labelText();
}

} // namespace Kelvaros
