#include "gui/scene/GlCircle.h"

#include <algorithm>
#include <cmath>

#include "gui/scene/SceneDrawing.h"

namespace Kelvaros
{
namespace
{
// A 40 mm ring filling a 500-pixel view still deviates by less than a pixel from the true circle.
constexpr int kMostSegments = 96;
constexpr int kFewestSegments = 16;
constexpr double kPi = 3.14159265358979323846;
} // namespace

int GlCircle::segmentsFor(const RenderInfo& info) const
{
    // A chord of n segments strays r (1 - cos(pi / n)), about r pi^2 / (2 n^2), from a circle of r pixels: a
    // quarter pixel at most takes n = pi sqrt(2 r). Rings far smaller than the view then cost far fewer triangles.
    const GL::ViewState& view = info.viewState;
    const Eigen::Vector3d centre = SceneDrawing::toWorld(matrix(), m_centre);
    if ((view.projection * view.modelView * centre.homogeneous()).w() <= 0.0)
        return kMostSegments;
    const Eigen::Vector2d middle = view.toWindow(centre);
    double pixels = 0.0;
    for (const Eigen::Vector3d& axis : { m_axisA, m_axisB })
        pixels = std::max(pixels,
                          (view.toWindow(SceneDrawing::toWorld(matrix(), m_centre + m_radius * axis)) - middle).norm());
    if (!std::isfinite(pixels))
        return kMostSegments;
    return std::clamp(int(std::ceil(kPi * std::sqrt(2.0 * pixels))), kFewestSegments, kMostSegments);
}

void GlCircle::setCircle(const Eigen::Vector3d& centre, const Eigen::Vector3d& axisA, const Eigen::Vector3d& axisB)
{
    m_centre = centre;
    m_axisA = axisA;
    m_axisB = axisB;
    changed();
}

void GlCircle::setRadius(double radius)
{
    m_radius = radius;
    changed();
}

std::vector<Eigen::Vector3d> GlCircle::worldRing(int segments) const
{
    std::vector<Eigen::Vector3d> ring;
    ring.reserve(std::size_t(segments));
    for (int i = 0; i < segments; ++i)
    {
        const double angle = 2.0 * kPi * i / segments;
        const Eigen::Vector3d p = m_centre + m_radius * (std::cos(angle) * m_axisA + std::sin(angle) * m_axisB);
        ring.push_back(SceneDrawing::toWorld(matrix(), p));
    }
    return ring;
}

Eigen::AlignedBox3d GlCircle::bounds() const
{
    const Eigen::Vector3d extent = Eigen::Vector3d::Constant(m_radius);
    return worldBox(Eigen::AlignedBox3d(m_centre - extent, m_centre + extent));
}

void GlCircle::renderGeometry(const RenderInfo& info)
{
    SceneDrawing::drawLines(buffer(), info, SceneDrawing::visibleSegments(info, worldRing(segmentsFor(info)), true),
                            rgba(), lineWidth());
}

std::optional<Eigen::Vector3d> GlCircle::labelAnchor(const RenderInfo& info) const
{
    const Eigen::Vector3d world = SceneDrawing::toWorld(matrix(), m_centre + m_radius * m_axisA);
    return SceneDrawing::shownAt(info, world);
}

} // namespace Kelvaros
