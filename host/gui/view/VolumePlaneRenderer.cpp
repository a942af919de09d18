#include "gui/view/VolumePlaneRenderer.h"

#include <map>
#include <memory>

#include <QOpenGLContext>
#include <QOpenGLFunctions_3_3_Core>
#include <QOpenGLShaderProgram>

#include "core/Log.h"
#include "gl/Functions.h"
#include "gl/StateGuard.h"

namespace Kelvaros
{
namespace
{
constexpr const char* kCategory = "VolumePlaneRenderer";

// The corners come as uniforms, so no vertex buffer is needed: the quad is a four-vertex strip.
constexpr const char* kVertex = R"(#version 330 core
uniform vec3 corners[4];
uniform mat4 clipFromWorld;
out vec3 world;
void main()
{
    world = corners[gl_VertexID];
    gl_Position = clipFromWorld * vec4(world, 1.0);
}
)";

constexpr const char* kFragment = R"(#version 330 core
uniform sampler3D volume;
uniform mat4 textureFromWorld;
uniform vec2 windowLevel;
uniform float alpha;
uniform int colorMap;
in vec3 world;
out vec4 color;
vec3 mapped(float t)
{
    if (colorMap == 1) // hot: black, red, yellow, white
        return clamp(vec3(3.0 * t, 3.0 * t - 1.0, 3.0 * t - 2.0), 0.0, 1.0);
    if (colorMap == 2) // cool: cyan to magenta
        return vec3(t, 1.0 - t, 1.0);
    if (colorMap == 3) // rainbow: blue, cyan, green, yellow, red
        return clamp(min(4.0 * t - vec3(1.5, 0.5, -0.5), vec3(4.5, 3.5, 2.5) - 4.0 * t), 0.0, 1.0);
    return vec3(t);
}
void main()
{
    vec3 t = (textureFromWorld * vec4(world, 1.0)).xyz;
    if (any(lessThan(t, vec3(0.0))) || any(greaterThan(t, vec3(1.0))))
        discard;
    float value = texture(volume, t).r;
    float grey = clamp((value - (windowLevel.y - 0.5 * windowLevel.x)) / windowLevel.x, 0.0, 1.0);
    color = vec4(mapped(grey), alpha);
}
)";

struct Resources
{
    std::unique_ptr<QOpenGLShaderProgram> program;
    GLuint vertexArray = 0;
    bool failed = false;
};

std::map<QOpenGLContext*, Resources>& perContext()
{
    static std::map<QOpenGLContext*, Resources> resources;
    return resources;
}

Resources* resourcesOfCurrent(QOpenGLFunctions_3_3_Core& f)
{
    QOpenGLContext* context = QOpenGLContext::currentContext();
    auto [it, created] = perContext().try_emplace(context);
    Resources& r = it->second;
    if (!created)
        return r.failed ? nullptr : &r;
    QObject::connect(
      context, &QOpenGLContext::aboutToBeDestroyed, context,
      [context]
      {
          auto found = perContext().find(context);
          if (found == perContext().end())
              return;
          if (QOpenGLContext::currentContext() == context && found->second.vertexArray)
              context->versionFunctions<QOpenGLFunctions_3_3_Core>()->glDeleteVertexArrays(1,
                                                                                           &found->second.vertexArray);
          perContext().erase(found);
      },
      Qt::DirectConnection);
    r.program = std::make_unique<QOpenGLShaderProgram>();
    if (!r.program->addShaderFromSourceCode(QOpenGLShader::Vertex, kVertex) ||
        !r.program->addShaderFromSourceCode(QOpenGLShader::Fragment, kFragment) || !r.program->link())
    {
        Log::logf(Log::Error, kCategory, "the volume program does not build: {}", r.program->log().toStdString());
        r.failed = true;
        return nullptr;
    }
    f.glGenVertexArrays(1, &r.vertexArray);
    return &r;
}

QMatrix4x4 toQt(const Eigen::Matrix4d& m)
{
    const Eigen::Matrix4f f = m.cast<float>();
    return QMatrix4x4(f.data()).transposed(); // QMatrix4x4 takes rows; Eigen stores columns
}
} // namespace

bool VolumePlaneRenderer::draw(const Quad& quad)
{
    QOpenGLFunctions_3_3_Core* f = GL::currentFunctions(kCategory);
    if (!f)
        return false;
    Resources* r = resourcesOfCurrent(*f);
    if (!r)
        return false;
    GL::StateGuard guard(GL::StateGuard::Bindings | GL::StateGuard::Enables | GL::StateGuard::BlendFunction);
    GLint previousTexture = 0;
    f->glActiveTexture(GL_TEXTURE0);
    f->glGetIntegerv(GL_TEXTURE_BINDING_3D, &previousTexture);
    r->program->bind();
    f->glBindVertexArray(r->vertexArray);
    f->glBindTexture(GL_TEXTURE_3D, quad.texture);
    QVector3D corners[4];
    for (int i = 0; i < 4; ++i)
        corners[i] = QVector3D(float(quad.corners[size_t(i)].x()), float(quad.corners[size_t(i)].y()),
                               float(quad.corners[size_t(i)].z()));
    r->program->setUniformValueArray("corners", corners, 4);
    r->program->setUniformValue("clipFromWorld", toQt(quad.clipFromWorld));
    r->program->setUniformValue("textureFromWorld", toQt(quad.textureFromWorld));
    r->program->setUniformValue("windowLevel", float(std::max(quad.window, 1e-6)), float(quad.level));
    r->program->setUniformValue("alpha", float(quad.alpha));
    r->program->setUniformValue("colorMap", quad.colorMap);
    r->program->setUniformValue("volume", 0);
    if (quad.alpha < 1.0)
    {
        f->glEnable(GL_BLEND);
        // The target keeps its alpha: an image read back or copied as premultiplied must not brighten.
        f->glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ZERO, GL_ONE);
    }
    f->glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    f->glBindTexture(GL_TEXTURE_3D, GLuint(previousTexture));
    return true;
}

} // namespace Kelvaros
