#include "gui/scene/GlGrid.h"

#include <cmath>

#include "core/Log.h"
#include "gl/StateGuard.h"
#include "gl/VertexBuffer.h"
#include "gui/scene/SceneDrawing.h"

namespace Kelvaros
{
namespace
{
constexpr int kDynamicDraw = 35048;
// More lines than this per axis would be a solid sheet on any screen; such a grid is drawn as its outline.
constexpr int kMaxLinesPerAxis = 2000;
} // namespace

GlGrid::GlGrid(const Eigen::Vector2d& size, const Eigen::Vector2d& spacing)
  : GlObject("Grid"), m_size(size), m_spacing(spacing), m_buffer(std::make_unique<GL::VertexBuffer>(kDynamicDraw))
{
    for (int axis = 0; axis < 2; ++axis)
    {
        if (m_spacing[axis] <= 0.0 || m_size[axis] / m_spacing[axis] <= kMaxLinesPerAxis)
            continue;
        Log::logf(Log::Warning, "GlGrid", "a spacing of {} mm over {} mm is too fine; drawing the border only",
                  m_spacing[axis], m_size[axis]);
        m_spacing[axis] = 0.0;
    }
}

GlGrid::~GlGrid() = default;

void GlGrid::setLineColor(const Eigen::Vector4d& rgba)
{
    m_lineColor = rgba;
    changed();
}

Eigen::AlignedBox3d GlGrid::bounds() const
{
    const Eigen::Vector3d half(0.5 * m_size.x(), 0.5 * m_size.y(), 0.0);
    return worldBox(Eigen::AlignedBox3d(-half, half));
}

void GlGrid::appendLines(int axis, std::vector<Eigen::Vector3d>& lines) const
{
    const int other = 1 - axis;
    const double half = 0.5 * m_size[axis];
    const double spacing = m_spacing[axis];
    std::vector<double> positions{ -half, half };
    // Interior lines only strictly inside: one on the border would be drawn twice and, blended, look brighter.
    const int steps = spacing > 0.0 ? static_cast<int>(std::ceil(half / spacing)) - 1 : -1;
    for (int i = -steps; i <= steps; ++i)
        if (std::abs(i * spacing) < half)
            positions.push_back(i * spacing);
    for (const double position : positions)
    {
        Eigen::Vector3d a = Eigen::Vector3d::Zero();
        a[axis] = position;
        a[other] = -0.5 * m_size[other];
        Eigen::Vector3d b = a;
        b[other] = -a[other];
        lines.push_back(SceneDrawing::toWorld(matrix(), a));
        lines.push_back(SceneDrawing::toWorld(matrix(), b));
    }
}

void GlGrid::render(const RenderInfo& info)
{
    std::vector<Eigen::Vector3d> lines;
    appendLines(0, lines);
    appendLines(1, lines);
    std::vector<Eigen::Vector3d> shown;
    for (size_t i = 0; i + 1 < lines.size(); i += 2)
    {
        const std::vector<Eigen::Vector3d> part =
          SceneDrawing::visibleSegments(info, { lines[i], lines[i + 1] }, false);
        shown.insert(shown.end(), part.begin(), part.end());
    }
    GL::StateGuard guard;
    SceneDrawing::prepare(info, false, m_lineColor.w());
    SceneDrawing::drawLines(*m_buffer, info, shown, m_lineColor, 1.0);
}

} // namespace Kelvaros
