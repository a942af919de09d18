#pragma once

#include <array>
#include <memory>

#include "gl/Pipeline.h"
#include "gl/TextTextureCache.h"

class QOpenGLContext;
class QOpenGLFunctions_3_3_Core;
class QOpenGLShaderProgram;

namespace Kelvaros::GL
{

/// What the host keeps per OpenGL context: its compiled programs, a vertex array object, the Pipeline's
/// settings and the text textures. Created on first use in a context and destroyed just before the context is.
/// Internal to KelvarosGL; used on the thread where its context is current.
class ContextResources
{
public:
    enum class Program
    {
        Color,     ///< ShaderSources::kVertex + kColorFragment
        WideLines, ///< the same with kWideLineGeometry between them
        Text,      ///< kTextVertex + kTextFragment
        Count
    };

    /// The resources of the current context, created on first use; nullptr (Error under `category`) without a
    /// current 3.3 core context.
    static ContextResources* current(const char* category);
    /// The resources of the current context if it has any yet; no log.
    static ContextResources* find();

    ~ContextResources();
    ContextResources(const ContextResources&) = delete;
    ContextResources& operator=(const ContextResources&) = delete;

    [[nodiscard]] QOpenGLFunctions_3_3_Core& functions() const { return *m_functions; }
    /// The program, compiled and linked on first use and bound; nullptr (Error in the log) when that fails.
    QOpenGLShaderProgram* bindProgram(Program program);
    /// Binds this context's vertex array object (vertex arrays are not shared between contexts).
    void bindVertexArray();
    /// Binds the program that draws `primitive` (an OpenGL primitive value) with the current pipeline settings
    /// and sets its uniforms; false when the pipeline is disabled (Error under `category`) or the program failed.
    bool bindPipeline(int primitive, bool hasColors, bool hasNormals, const char* category);
    [[nodiscard]] TextTextureCache& textCache() { return m_textCache; }

    Pipeline::State pipeline;

private:
    ContextResources(QOpenGLContext* context, QOpenGLFunctions_3_3_Core* functions);

    QOpenGLContext* m_context;
    QOpenGLFunctions_3_3_Core* m_functions;
    std::array<std::unique_ptr<QOpenGLShaderProgram>, static_cast<size_t>(Program::Count)> m_programs;
    std::array<bool, static_cast<size_t>(Program::Count)> m_failed{};
    unsigned m_vertexArray = 0;
    TextTextureCache m_textCache;
};

} // namespace Kelvaros::GL
