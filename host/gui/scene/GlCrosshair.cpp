#include "gui/scene/GlCrosshair.h"

#include "gl/StateGuard.h"
#include "gl/VertexBuffer.h"
#include "gui/scene/SceneDrawing.h"

namespace Kelvaros
{
namespace
{
constexpr int kDynamicDraw = 35048;
/// Half length of each 3D axis line, in pixels.
constexpr double kArmPixels = 18.0;
constexpr double kLineWidth3D = 2.0;
} // namespace

GlCrosshair::GlCrosshair() : GlObject("Crosshair"), m_buffer(std::make_unique<GL::VertexBuffer>(kDynamicDraw)) {}

GlCrosshair::~GlCrosshair() = default;

void GlCrosshair::setPosition(const std::optional<Eigen::Vector3d>& position)
{
    if (position == m_position)
        return;
    m_position = position;
    changed();
}

void GlCrosshair::render(const RenderInfo& info)
{
    if (!m_position)
        return;
    GL::StateGuard guard;
    SceneDrawing::prepare(info, true, color().w());
    if (info.sliceView)
        SceneDrawing::drawLines(*m_buffer, info, sliceLines(info), color(), 1.0);
    else
        SceneDrawing::drawLines(*m_buffer, info, axisLines(info), color(), kLineWidth3D);
}

Eigen::AlignedBox3d GlCrosshair::bounds() const
{
    return m_position ? Eigen::AlignedBox3d(*m_position, *m_position) : Eigen::AlignedBox3d();
}

std::vector<Eigen::Vector3d> GlCrosshair::sliceLines(const RenderInfo& info) const
{
    const Slice& slice = info.slice;
    const Eigen::Vector3d foot = slice.project(*m_position);
    // Long enough to cross the whole viewport from wherever the foot lies, inside it or not.
    const GL::Viewport& viewport = info.viewState.viewport;
    const double half = (foot - slice.origin()).norm() + info.mmPerPixel * double(viewport.width + viewport.height);
    return { foot - half * slice.xAxis(), foot + half * slice.xAxis(), foot - half * slice.yAxis(),
             foot + half * slice.yAxis() };
}

std::vector<Eigen::Vector3d> GlCrosshair::axisLines(const RenderInfo& info) const
{
    const double arm = SceneDrawing::worldLengthOfPixels(info, *m_position, kArmPixels);
    std::vector<Eigen::Vector3d> lines;
    for (int axis = 0; axis < 3; ++axis)
    {
        const Eigen::Vector3d offset = arm * Eigen::Vector3d::Unit(axis);
        lines.insert(lines.end(), { *m_position - offset, *m_position + offset });
    }
    return lines;
}

} // namespace Kelvaros
