#pragma once

#include <array>

#include "core/Export.h"
#include "gl/Pipeline.h"

class QOpenGLFunctions_3_3_Core;

namespace Kelvaros::GL
{

/// Saves the OpenGL state that its flags name when constructed and puts it back when destroyed, so that every
/// way out of a scope (return or exception) leaves the state as it was found. Acts on the context current at
/// construction, which must still be current at destruction; without a context it does nothing (Error in the log).
class KELVAROS_API StateGuard
{
public:
    enum Flag : unsigned
    {
        Enables = 1,       ///< blend, depth test, cull face, scissor test, polygon offset fill
        BlendFunction = 2, ///< blend factors (colour and alpha) and equations
        Depth = 4,         ///< depth function and depth write mask
        LineWidth = 8,     ///< glLineWidth and the Pipeline's line width
        ViewportBox = 16,  ///< glViewport
        ScissorBox = 32,   ///< glScissor
        Bindings = 64,     ///< program, vertex array, array buffer, active texture unit and its 2D texture, and
                           ///< the Pipeline's settings (its stand-in for the bound program)
        ColorMask = 128,   ///< glColorMask
        All = 255
    };

    explicit StateGuard(unsigned flags = All);
    ~StateGuard();
    StateGuard(const StateGuard&) = delete;
    StateGuard& operator=(const StateGuard&) = delete;

private:
    static constexpr int kEnableCount = 5;

    void save();
    void restore();

    unsigned m_flags;
    QOpenGLFunctions_3_3_Core* m_functions;
    std::array<bool, kEnableCount> m_enables{};
    std::array<int, 6> m_blend{};
    int m_depthFunction = 0;
    unsigned char m_depthMask = 0;
    float m_lineWidth = 1.0f;
    std::array<int, 4> m_viewport{};
    std::array<int, 4> m_scissor{};
    int m_program = 0;
    int m_vertexArray = 0;
    int m_arrayBuffer = 0;
    int m_activeTexture = 0;
    int m_texture2d = 0;
    std::array<unsigned char, 4> m_colorMask{};
    Pipeline::State m_pipeline;
};

} // namespace Kelvaros::GL
