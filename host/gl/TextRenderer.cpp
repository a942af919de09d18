#include "gl/TextRenderer.h"

#include <cmath>

#include <QFontMetrics>
#include <QOpenGLFunctions_3_3_Core>
#include <QOpenGLShaderProgram>

#include "core/Log.h"
#include "gl/ContextResources.h"
#include "gl/StateGuard.h"
#include "gl/TextTextureCache.h"

namespace Kelvaros::GL
{
namespace
{
constexpr const char* kCategory = "TextRenderer";

/// Window row of the baseline for an anchor row, from the font's ascent and descent.
int baselineRow(int anchorRow, const TextTexture& t, int verticalAlignment)
{
    switch (verticalAlignment)
    {
        case TextRenderer::Top:
            return anchorRow - t.ascent;
        case TextRenderer::Middle:
            return anchorRow - (t.ascent - t.descent) / 2;
        case TextRenderer::Baseline:
            return anchorRow;
        default:
            return anchorRow + t.descent;
    }
}

int penColumn(int anchorColumn, const TextTexture& t, int horizontalAlignment)
{
    switch (horizontalAlignment)
    {
        case TextRenderer::Left:
            return anchorColumn;
        case TextRenderer::Centre:
            return anchorColumn - t.advance / 2;
        default:
            return anchorColumn - t.advance;
    }
}
} // namespace

bool TextRenderer::render(const ViewState& viewState, const std::string& text, const Eigen::Vector2d& position,
                          const Font& font, int horizontalAlignment, int verticalAlignment)
{
    if (horizontalAlignment < Left || horizontalAlignment > Right || verticalAlignment < Top ||
        verticalAlignment > Bottom)
    {
        Log::logf(Log::Error, kCategory, "unknown text alignment (horizontal {}, vertical {})", horizontalAlignment,
                  verticalAlignment);
        return false;
    }
    ContextResources* resources = ContextResources::current(kCategory);
    if (!resources)
        return false;
    if (text.empty())
        return true;

    StateGuard guard(StateGuard::Enables | StateGuard::BlendFunction | StateGuard::Bindings | StateGuard::ViewportBox);
    const TextTexture& t = resources->textCache().get(text, font);
    const Eigen::Vector2d anchor = viewState.toWindow({ position.x(), position.y(), 0.0 });
    const int left = penColumn(static_cast<int>(std::lround(anchor.x())), t, horizontalAlignment) - t.originX;
    const int top = baselineRow(static_cast<int>(std::lround(anchor.y())), t, verticalAlignment) + t.originY;

    QOpenGLShaderProgram* program = resources->bindProgram(ContextResources::Program::Text);
    if (!program)
        return false;
    QOpenGLFunctions_3_3_Core& f = resources->functions();
    f.glEnable(GL_BLEND);
    f.glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
    f.glBlendEquation(GL_FUNC_ADD);
    f.glDisable(GL_DEPTH_TEST);
    f.glDisable(GL_CULL_FACE);
    resources->bindVertexArray();
    f.glActiveTexture(GL_TEXTURE0);
    f.glBindTexture(GL_TEXTURE_2D, t.id);

    const Viewport& v = viewState.viewport;
    f.glViewport(v.x, v.y, v.width, v.height);
    const Eigen::Vector4f color = font.color.cast<float>();
    f.glUniform1i(program->uniformLocation("u_texture"), 0);
    f.glUniform2i(program->uniformLocation("u_topLeft"), left, top);
    f.glUniform4fv(program->uniformLocation("u_color"), 1, color.data());
    const Eigen::Vector4f rimColor = font.rimColor.cast<float>();
    f.glUniform4fv(program->uniformLocation("u_rimColor"), 1, rimColor.data());
    f.glUniform4f(program->uniformLocation("u_rect"), 2.0f * (left - v.x) / v.width - 1.0f,
                  2.0f * (top - t.height - v.y) / v.height - 1.0f, 2.0f * t.width / v.width,
                  2.0f * t.height / v.height);
    f.glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    return true;
}

bool TextRenderer::render(const Viewport& viewport, const std::string& text, const Eigen::Vector2d& position,
                          const Font& font, int horizontalAlignment, int verticalAlignment)
{
    ViewState viewState(viewport);
    viewState.projection = createOrtho2d(viewport.width, viewport.height);
    return render(viewState, text, position, font, horizontalAlignment, verticalAlignment);
}

int TextRenderer::advance(const std::string& text, const Font& font)
{
    return QFontMetrics(TextTextureCache::toQFont(font)).horizontalAdvance(QString::fromStdString(text));
}

} // namespace Kelvaros::GL
