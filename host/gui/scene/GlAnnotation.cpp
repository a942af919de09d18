#include "gui/scene/GlAnnotation.h"

#include <algorithm>

#include "gl/StateGuard.h"
#include "gl/VertexBuffer.h"
#include "gui/scene/SceneDrawing.h"

namespace Kelvaros
{
namespace
{
constexpr int kDynamicDraw = 35048;
}

GlAnnotation::GlAnnotation(std::string name)
  : GlObject(std::move(name)), m_buffer(std::make_unique<GL::VertexBuffer>(kDynamicDraw))
{
}

GlAnnotation::~GlAnnotation() = default;

void GlAnnotation::setLabelText(std::string text)
{
    m_labelText = std::move(text);
    changed();
}

void GlAnnotation::setLabelVisible(bool visible)
{
    m_labelVisible = visible;
    changed();
}

void GlAnnotation::setColor(const Eigen::Vector3d& rgb)
{
    m_color = rgb;
    changed();
}

void GlAnnotation::setAlpha(double alpha)
{
    m_alpha = std::clamp(alpha, 0.0, 1.0);
    changed();
}

void GlAnnotation::setLineWidth(double pixels)
{
    m_lineWidth = pixels;
    changed();
}

void GlAnnotation::setPointSize(double pixels)
{
    m_pointSize = pixels;
    changed();
}

Eigen::Vector4d GlAnnotation::rgba() const
{
    return { m_color.x(), m_color.y(), m_color.z(), m_alpha };
}

void GlAnnotation::render(const RenderInfo& info)
{
    if (m_alpha <= 0.0)
        return;
    GL::StateGuard guard;
    SceneDrawing::prepare(info, drawnOnTop(), m_alpha);
    renderGeometry(info);
    if (!m_labelVisible)
        return;
    if (const std::optional<Eigen::Vector3d> anchor = labelAnchor(info))
        SceneDrawing::drawLabel(info, shownLabel(), *anchor, rgba());
}

} // namespace Kelvaros
