#include "gl/ContextResources.h"

#include <map>
#include <mutex>

#include <QOpenGLContext>
#include <QOpenGLFunctions_3_3_Core>
#include <QOpenGLShaderProgram>

#include <Eigen/LU>

#include "core/Log.h"
#include "gl/Functions.h"
#include "gl/ShaderSources.h"

namespace Kelvaros::GL
{
namespace
{
constexpr const char* kCategory = "ContextResources";

// Contexts may live on several render threads; the map itself is shared, each entry is used on its own thread.
std::mutex& registryMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::map<QOpenGLContext*, std::unique_ptr<ContextResources>>& registry()
{
    static std::map<QOpenGLContext*, std::unique_ptr<ContextResources>> resources;
    return resources;
}

struct ProgramSource
{
    const char* name;
    const char* vertex;
    const char* geometry;
    const char* fragment;
};

ProgramSource sourceOf(ContextResources::Program program)
{
    using namespace ShaderSources;
    switch (program)
    {
        case ContextResources::Program::Color:
            return { "colour", kVertex, nullptr, kColorFragment };
        case ContextResources::Program::WideLines:
            return { "wide lines", kVertex, kWideLineGeometry, kColorFragment };
        default:
            return { "text", kTextVertex, nullptr, kTextFragment };
    }
}

std::unique_ptr<QOpenGLShaderProgram> build(const ProgramSource& source)
{
    auto program = std::make_unique<QOpenGLShaderProgram>();
    const bool ok = program->addShaderFromSourceCode(QOpenGLShader::Vertex, source.vertex) &&
                    (!source.geometry || program->addShaderFromSourceCode(QOpenGLShader::Geometry, source.geometry)) &&
                    program->addShaderFromSourceCode(QOpenGLShader::Fragment, source.fragment) && program->link();
    if (ok)
        return program;
    Log::logf(Log::Error, kCategory, "the {} program does not build: {}", source.name, program->log().toStdString());
    return nullptr;
}
} // namespace

ContextResources::ContextResources(QOpenGLContext* context, QOpenGLFunctions_3_3_Core* functions)
  : m_context(context), m_functions(functions), m_textCache(*functions)
{
}

ContextResources::~ContextResources()
{
    // Names die with their context anyway; delete them only where that is possible now.
    if (QOpenGLContext::currentContext() != m_context)
        m_textCache.abandon();
    else if (m_vertexArray)
        m_functions->glDeleteVertexArrays(1, &m_vertexArray);
}

ContextResources* ContextResources::find()
{
    std::lock_guard<std::mutex> lock(registryMutex());
    const auto it = registry().find(QOpenGLContext::currentContext());
    return it == registry().end() ? nullptr : it->second.get();
}

ContextResources* ContextResources::current(const char* category)
{
    if (ContextResources* existing = find())
        return existing;
    QOpenGLFunctions_3_3_Core* functions = currentFunctions(category);
    if (!functions)
        return nullptr;
    QOpenGLContext* context = QOpenGLContext::currentContext();
    std::unique_ptr<ContextResources> created(new ContextResources(context, functions));
    ContextResources* result = created.get();
    {
        std::lock_guard<std::mutex> lock(registryMutex());
        registry().emplace(context, std::move(created));
    }
    QObject::connect(
      context, &QOpenGLContext::aboutToBeDestroyed, context,
      [context]
      {
          std::unique_ptr<ContextResources> dying;
          {
              std::lock_guard<std::mutex> lock(registryMutex());
              const auto it = registry().find(context);
              if (it == registry().end())
                  return;
              dying = std::move(it->second);
              registry().erase(it);
          }
      },
      Qt::DirectConnection);
    return result;
}

QOpenGLShaderProgram* ContextResources::bindProgram(Program program)
{
    const auto index = static_cast<size_t>(program);
    if (!m_programs[index] && !m_failed[index])
    {
        m_programs[index] = build(sourceOf(program));
        m_failed[index] = !m_programs[index];
    }
    QOpenGLShaderProgram* result = m_programs[index].get();
    if (result)
        result->bind();
    return result;
}

void ContextResources::bindVertexArray()
{
    if (!m_vertexArray)
        m_functions->glGenVertexArrays(1, &m_vertexArray);
    m_functions->glBindVertexArray(m_vertexArray);
}

bool ContextResources::bindPipeline(int primitive, bool hasColors, bool hasNormals, const char* category)
{
    if (!pipeline.enabled)
    {
        Log::log(Log::Error, category, "drawing needs the pipeline enabled first");
        return false;
    }
    const bool lines = primitive == GL_LINES || primitive == GL_LINE_STRIP || primitive == GL_LINE_LOOP;
    QOpenGLShaderProgram* program =
      bindProgram(lines && pipeline.lineWidth > 1.0f ? Program::WideLines : Program::Color);
    if (!program)
        return false;
    const ViewState& view = pipeline.viewState;
    const Eigen::Matrix4f modelView = view.modelView.cast<float>();
    const Eigen::Matrix4f projection = view.projection.cast<float>();
    // Normals transform with the inverse transpose; a singular model-view leaves them as they are.
    Eigen::Matrix3d inverse = Eigen::Matrix3d::Identity();
    bool invertible = false;
    view.modelView.topLeftCorner<3, 3>().computeInverseWithCheck(inverse, invertible);
    const Eigen::Matrix3f normals =
      invertible ? Eigen::Matrix3f(inverse.transpose().cast<float>()) : Eigen::Matrix3f::Identity();
    QOpenGLFunctions_3_3_Core& f = *m_functions;
    f.glUniformMatrix4fv(program->uniformLocation("u_modelView"), 1, GL_FALSE, modelView.data());
    f.glUniformMatrix4fv(program->uniformLocation("u_projection"), 1, GL_FALSE, projection.data());
    f.glUniformMatrix3fv(program->uniformLocation("u_normalMatrix"), 1, GL_FALSE, normals.data());
    f.glUniform4fv(program->uniformLocation("u_color"), 1, pipeline.color.data());
    f.glUniform1i(program->uniformLocation("u_vertexColor"), (pipeline.selection & Pipeline::VertexColor) && hasColors);
    f.glUniform1i(program->uniformLocation("u_lighting"),
                  (pipeline.selection & Pipeline::UniformColorLit) && hasNormals);
    f.glUniform2f(program->uniformLocation("u_viewportSize"), float(view.viewport.width), float(view.viewport.height));
    f.glUniform1f(program->uniformLocation("u_lineWidth"), pipeline.lineWidth);
    return true;
}

} // namespace Kelvaros::GL
