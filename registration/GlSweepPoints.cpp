#include "registration/GlSweepPoints.h"

#include <QOpenGLFunctions_3_3_Core>

#include "gl/Functions.h"
#include "gl/Pipeline.h"
#include "gl/StateGuard.h"
#include "gl/VertexBuffer.h"

namespace Kelvaros
{

GlSweepPoints::GlSweepPoints() : GlObject("Surface sweep") {}

void GlSweepPoints::setPoints(std::vector<Eigen::Vector3d> points)
{
    m_points = std::move(points);
}

void GlSweepPoints::render(const RenderInfo& info)
{
    // A slice view shows what lies in its plane; a sweep over a surface seldom does, so it is for the 3D view.
    if (m_points.empty() || info.sliceView)
        return;
    GL::StateGuard guard;
    GL::currentFunctions("GlSweepPoints")->glPointSize(4);
    GL::VertexBuffer buffer;
    buffer.setData(m_points);
    GL::Pipeline::enable(info.viewState, GL::Pipeline::UniformColor);
    GL::Pipeline::setColor({ 1.0, 0.55, 0.1, 1.0 });
    buffer.draw(GL_POINTS);
}

Eigen::AlignedBox3d GlSweepPoints::bounds() const
{
    Eigen::AlignedBox3d box;
    for (const Eigen::Vector3d& point : m_points)
        box.extend(point);
    return box;
}

} // namespace Kelvaros
