#include "gl/StateGuard.h"

#include <QOpenGLFunctions_3_3_Core>

#include "gl/Functions.h"

namespace Kelvaros::GL
{
namespace
{
constexpr std::array<GLenum, 5> kEnables = { GL_BLEND, GL_DEPTH_TEST, GL_CULL_FACE, GL_SCISSOR_TEST,
                                             GL_POLYGON_OFFSET_FILL };
constexpr std::array<GLenum, 6> kBlendQueries = { GL_BLEND_SRC_RGB,   GL_BLEND_DST_RGB,      GL_BLEND_SRC_ALPHA,
                                                  GL_BLEND_DST_ALPHA, GL_BLEND_EQUATION_RGB, GL_BLEND_EQUATION_ALPHA };
} // namespace

StateGuard::StateGuard(unsigned flags) : m_flags(flags), m_functions(currentFunctions("StateGuard"))
{
    static_assert(kEnables.size() == kEnableCount);
    if (m_functions)
        save();
}

StateGuard::~StateGuard()
{
    if (m_functions)
        restore();
}

void StateGuard::save()
{
    QOpenGLFunctions_3_3_Core& f = *m_functions;
    if (m_flags & Enables)
        for (size_t i = 0; i < kEnables.size(); ++i)
            m_enables[i] = f.glIsEnabled(kEnables[i]);
    if (m_flags & BlendFunction)
        for (size_t i = 0; i < kBlendQueries.size(); ++i)
            f.glGetIntegerv(kBlendQueries[i], &m_blend[i]);
    if (m_flags & Depth)
    {
        f.glGetIntegerv(GL_DEPTH_FUNC, &m_depthFunction);
        f.glGetBooleanv(GL_DEPTH_WRITEMASK, &m_depthMask);
    }
    if (m_flags & LineWidth)
        f.glGetFloatv(GL_LINE_WIDTH, &m_lineWidth);
    if (m_flags & ViewportBox)
        f.glGetIntegerv(GL_VIEWPORT, m_viewport.data());
    if (m_flags & ScissorBox)
        f.glGetIntegerv(GL_SCISSOR_BOX, m_scissor.data());
    if (m_flags & Bindings)
    {
        f.glGetIntegerv(GL_CURRENT_PROGRAM, &m_program);
        f.glGetIntegerv(GL_VERTEX_ARRAY_BINDING, &m_vertexArray);
        f.glGetIntegerv(GL_ARRAY_BUFFER_BINDING, &m_arrayBuffer);
        f.glGetIntegerv(GL_ACTIVE_TEXTURE, &m_activeTexture);
        f.glActiveTexture(GL_TEXTURE0);
        f.glGetIntegerv(GL_TEXTURE_BINDING_2D, &m_texture2d);
        f.glActiveTexture(m_activeTexture);
    }
    if (m_flags & ColorMask)
        f.glGetBooleanv(GL_COLOR_WRITEMASK, m_colorMask.data());
    if (m_flags & (LineWidth | Bindings))
        m_pipeline = Pipeline::state();
}

void StateGuard::restore()
{
    QOpenGLFunctions_3_3_Core& f = *m_functions;
    if (m_flags & Enables)
        for (size_t i = 0; i < kEnables.size(); ++i)
            m_enables[i] ? f.glEnable(kEnables[i]) : f.glDisable(kEnables[i]);
    if (m_flags & BlendFunction)
    {
        f.glBlendFuncSeparate(m_blend[0], m_blend[1], m_blend[2], m_blend[3]);
        f.glBlendEquationSeparate(m_blend[4], m_blend[5]);
    }
    if (m_flags & Depth)
    {
        f.glDepthFunc(m_depthFunction);
        f.glDepthMask(m_depthMask);
    }
    if (m_flags & LineWidth)
        f.glLineWidth(m_lineWidth);
    if (m_flags & ViewportBox)
        f.glViewport(m_viewport[0], m_viewport[1], m_viewport[2], m_viewport[3]);
    if (m_flags & ScissorBox)
        f.glScissor(m_scissor[0], m_scissor[1], m_scissor[2], m_scissor[3]);
    if (m_flags & Bindings)
    {
        f.glUseProgram(m_program);
        f.glBindVertexArray(m_vertexArray);
        f.glBindBuffer(GL_ARRAY_BUFFER, m_arrayBuffer);
        f.glActiveTexture(GL_TEXTURE0);
        f.glBindTexture(GL_TEXTURE_2D, m_texture2d);
        f.glActiveTexture(m_activeTexture);
    }
    if (m_flags & ColorMask)
        f.glColorMask(m_colorMask[0], m_colorMask[1], m_colorMask[2], m_colorMask[3]);
    if (m_flags & (LineWidth | Bindings))
    {
        Pipeline::State state = Pipeline::state();
        const float lineWidth = state.lineWidth;
        if (m_flags & Bindings)
            state = m_pipeline;
        state.lineWidth = (m_flags & LineWidth) ? m_pipeline.lineWidth : lineWidth;
        Pipeline::setState(state);
    }
}

} // namespace Kelvaros::GL
