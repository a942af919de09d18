#include "visualization/GlToolTargetOverlay.h"

#include <vector>

#include <QOpenGLFunctions_3_3_Core>

#include <fmt/format.h>

#include "gl/Font.h"
#include "gl/Pipeline.h"
#include "gl/StateGuard.h"
#include "gl/TextRenderer.h"
#include "gl/VertexBuffer.h"
#include "gl/ViewState.h"

namespace Kelvaros
{
namespace
{
const Eigen::Vector4d kWhite(1.0, 1.0, 1.0, 1.0);
const Eigen::Vector4d kRed(1.0, 0.0, 0.0, 1.0);
const Eigen::Vector4d kGreen(0.0, 1.0, 0.0, 1.0);

/// Line segments as vertex pairs with a colour per vertex.
struct Segments
{
    std::vector<Eigen::Vector3d> positions;
    std::vector<Eigen::Vector4d> colors;

    void add(double x0, double y0, double x1, double y1, const Eigen::Vector4d& color)
    {
        positions.emplace_back(x0, y0, 0.0);
        positions.emplace_back(x1, y1, 0.0);
        colors.push_back(color);
        colors.push_back(color);
    }
};
} // namespace

// A narrow, tall overlay: size hint 80 x 500, at least 80 x 300 pixels.
GlToolTargetOverlay::GlToolTargetOverlay()
  : GlOverlay(80, 500, 80, 300), m_vertexBuffer(std::make_unique<GL::VertexBuffer>(GL_STATIC_DRAW))
{
}

GlToolTargetOverlay::~GlToolTargetOverlay() = default;

void GlToolTargetOverlay::setToolPoints(Eigen::Vector2d tipPoint, Eigen::Vector2d shaftPoint)
{
    m_tipPoint = tipPoint;
    m_shaftPoint = shaftPoint;
}

void GlToolTargetOverlay::setVisParams(int fontSize, int textOffset, int topMargin, int whiskerMargin,
                                       double barHeightInMM, double barWidthInMM)
{
    m_fontSize = fontSize;
    m_textOffset = textOffset;
    m_topMargin = topMargin;
    m_whiskerMargin = whiskerMargin;
    m_barHeight = barHeightInMM;
    m_barWidth = barWidthInMM;
}

std::string GlToolTargetOverlay::depthLabel(const Eigen::Vector2d& tipPoint)
{
    return fmt::format("{:.2f}", tipPoint.y());
}

std::string GlToolTargetOverlay::shownLabel() const
{
    return m_valid ? depthLabel(m_tipPoint) : std::string("\u2014");
}

void GlToolTargetOverlay::render(const GL::Viewport& viewport)
{
    GL::StateGuard guard(GL::StateGuard::All);
    const int w = viewport.width;
    const int h = viewport.height;
    GL::ViewState view(viewport);
    view.projection = GL::createOrtho2d(w, h);

    // Integer halving first: the centre line sits on a pixel boundary, as the label's anchor does.
    const double centreX = static_cast<double>(w / 2);
    GL::Font font;
    font.family = "DejaVu Sans";
    font.size = m_fontSize;
    font.bold = 0;
    font.antialiased = 1;
    font.color = kWhite;
    GL::TextRenderer::render(view, shownLabel(), Eigen::Vector2d(centreX, 2.0), font, GL::TextRenderer::Centre,
                             GL::TextRenderer::Bottom);

    if (!GL::Pipeline::enable(view, GL::Pipeline::VertexColor, nullptr))
        return;
    GL::Pipeline::setLineWidth(2.0);

    const double bottom = m_textOffset;
    const double top = h - m_topMargin;
    const double left = m_whiskerMargin;
    const double right = w - m_whiskerMargin;
    const int barLength = h - m_topMargin - m_textOffset;

    Segments segments;
    segments.add(centreX, bottom, centreX, top, kWhite);
    segments.add(left, bottom, right, bottom, kWhite);
    segments.add(left, top, right, top, kWhite);

    // The tip's depth as a fraction of the bar: shown only while the tip is within it, on whole pixel rows, and
    // only while the points are the needle's.
    const double depthFraction = m_tipPoint.y() / m_barHeight;
    if (m_valid && depthFraction >= 0.0 && depthFraction < 1.0)
    {
        const double y = static_cast<double>(static_cast<int>(barLength * depthFraction)) + m_textOffset;
        segments.add(left, y, right, y, kRed);
    }

    // The needle, unclipped: a tip beyond the target is drawn below the bottom line.
    const auto toPixels = [&](const Eigen::Vector2d& p)
    { return Eigen::Vector2d(p.x() / m_barWidth * w + centreX, barLength * (p.y() / m_barHeight) + m_textOffset); };
    if (m_valid)
    {
        const Eigen::Vector2d tip = toPixels(m_tipPoint);
        const Eigen::Vector2d shaft = toPixels(m_shaftPoint);
        segments.add(tip.x(), tip.y(), shaft.x(), shaft.y(), kGreen);
    }

    m_vertexBuffer->setData(segments.positions, segments.colors);
    m_vertexBuffer->draw(GL_LINES);
}

} // namespace Kelvaros
