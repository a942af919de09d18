#include "gui/scene/GlCircle.h"

#include <cmath>

#include "gui/scene/SceneDrawing.h"

namespace Kelvaros
{
namespace
{
// A 40 mm ring filling a 500-pixel view still deviates by less than a pixel from the true circle.
constexpr int kSegments = 96;
constexpr double kPi = 3.14159265358979323846;
} // namespace

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

std::vector<Eigen::Vector3d> GlCircle::worldRing() const
{
    std::vector<Eigen::Vector3d> ring;
    ring.reserve(kSegments);
    for (int i = 0; i < kSegments; ++i)
    {
        const double angle = 2.0 * kPi * i / kSegments;
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
    SceneDrawing::drawLines(buffer(), info, SceneDrawing::visibleSegments(info, worldRing(), true), rgba(),
                            lineWidth());
}

std::optional<Eigen::Vector3d> GlCircle::labelAnchor(const RenderInfo& info) const
{
    const Eigen::Vector3d world = SceneDrawing::toWorld(matrix(), m_centre + m_radius * m_axisA);
    return SceneDrawing::shownAt(info, world);
}

} // namespace Kelvaros
