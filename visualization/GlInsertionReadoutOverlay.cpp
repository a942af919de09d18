#include "visualization/GlInsertionReadoutOverlay.h"

#include <algorithm>

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
constexpr int kHeight = kLines * kLineHeight;

GL::Font readoutFont()
{
    GL::Font font;
    font.size = GlInsertionReadoutOverlay::kFontSize;
    font.bold = 1;
    return font;
}
} // namespace

GlInsertionReadoutOverlay::GlInsertionReadoutOverlay() : GlOverlay(0, kHeight, 0, kHeight)
{
    setReadout(InsertionReadout());
}

void GlInsertionReadoutOverlay::setReadout(const InsertionReadout& readout)
{
    m_readout = readout;
    m_lines = readoutLines(m_readout);
    // As wide as its widest line, so that the overlay stands in its corner of the view clear of the view's label;
    // the view keeps its beginning in sight when the view is narrower still.
    int width = 0;
    for (const InsertionReadoutLine& line : m_lines)
        width = std::max(width, GL::TextRenderer::advance(line.text, readoutFont()));
    setSizeHint(width, kHeight);
    setMinimalSizeHint(width, kHeight);
}

void GlInsertionReadoutOverlay::render(const GL::Viewport& viewport)
{
    GL::StateGuard guard(GL::StateGuard::All);
    GL::Font font = readoutFont();
    // Lines hang from the top-right corner, so that a single state line reads where the first value would and each
    // line ends at the same place whatever its numbers.
    double y = viewport.height;
    for (const InsertionReadoutLine& line : m_lines)
    {
        font.color << lineColor(line), 1.0;
        GL::TextRenderer::render(viewport, line.text, Eigen::Vector2d(viewport.width, y), font, GL::TextRenderer::Right,
                                 GL::TextRenderer::Top);
        y -= kLineHeight;
    }
}

} // namespace Kelvaros
