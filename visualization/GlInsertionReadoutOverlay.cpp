#include "visualization/GlInsertionReadoutOverlay.h"

#include "gl/Font.h"
#include "gl/StateGuard.h"
#include "gl/TextRenderer.h"

namespace Kelvaros
{
namespace
{
constexpr int kLineHeight = GlInsertionReadoutOverlay::kFontSize + 6;
// The four figures and the breach line.
constexpr int kLines = 5;
// Wide enough for the longest figure line at the font size, "Angle: axis not calibrated", and a breach line such as
// "BREACH: 12.5 mm inside Portal vein".
constexpr int kWidth = 340;
} // namespace

GlInsertionReadoutOverlay::GlInsertionReadoutOverlay()
  : GlOverlay(kWidth, kLines * kLineHeight, kWidth, kLines * kLineHeight)
{
}

void GlInsertionReadoutOverlay::render(const GL::Viewport& viewport)
{
    GL::StateGuard guard(GL::StateGuard::All);
    GL::Font font;
    font.size = kFontSize;
    font.bold = 1;
    // Lines hang from the top-left corner, so a single state line reads where the first value would.
    double y = viewport.height;
    for (const InsertionReadoutLine& line : readoutLines(m_readout))
    {
        font.color << lineColor(line), 1.0;
        GL::TextRenderer::render(viewport, line.text, Eigen::Vector2d(0.0, y), font, GL::TextRenderer::Left,
                                 GL::TextRenderer::Top);
        y -= kLineHeight;
    }
}

} // namespace Kelvaros
