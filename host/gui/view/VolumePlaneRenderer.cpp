#include "gui/view/VolumePlaneRenderer.h"

#include <algorithm>
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
uniform mat4 textureFromWorld;
uniform vec2 sliceRange;
uniform float clipMargin;
out vec3 world;
void main()
{
    world = corners[gl_VertexID];
    // Only the strip of the quad over this brick is rasterised; the fragments decide its exact edges.
    float r = (textureFromWorld * vec4(world, 1.0)).z;
    gl_ClipDistance[0] = r - sliceRange.x + clipMargin;
    gl_ClipDistance[1] = sliceRange.y - r + clipMargin;
    gl_Position = clipFromWorld * vec4(world, 1.0);
}
)";

constexpr const char* kFragment = R"(#version 330 core
uniform sampler3D volume;
uniform mat4 textureFromWorld;
uniform vec2 windowLevel;
uniform float alpha;
uniform int colorMap;
uniform vec2 sliceRange;
uniform vec2 brickFromVolume;
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
    if (any(lessThan(t, vec3(0.0))) || any(greaterThan(t, vec3(1.0))) || t.z < sliceRange.x || t.z >= sliceRange.y)
        discard;
    float value = texture(volume, vec3(t.xy, t.z * brickFromVolume.x + brickFromVolume.y)).r;
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

/// Brick k answers for the volume's texture coordinate r from the centre of its first slice to the centre of the
/// next brick's first slice (its own last), the first and last bricks on to the grid's faces, so that a lookup
/// there interpolates between two slices of one brick.
void drawBricks(QOpenGLFunctions_3_3_Core& f, QOpenGLShaderProgram& program, const VolumePlaneRenderer::Quad& quad)
{
    const double n = std::max(quad.slices, 1);
    program.setUniformValue("clipMargin", float(0.25 / n));
    f.glEnable(GL_CLIP_DISTANCE0);
    f.glEnable(GL_CLIP_DISTANCE1);
    for (std::size_t k = 0; k < quad.bricks.size(); ++k)
    {
        const VolumeTexture::Brick& brick = quad.bricks[k];
        const double low = k == 0 ? -1.0 : (brick.firstSlice + 0.5) / n;
        const double high = k + 1 == quad.bricks.size() ? 2.0 : (brick.firstSlice + brick.slices - 0.5) / n;
        const double m = std::max(brick.slices, 1);
        program.setUniformValue("sliceRange", float(low), float(high));
        program.setUniformValue("brickFromVolume", float(n / m), float(-brick.firstSlice / m));
        f.glBindTexture(GL_TEXTURE_3D, brick.texture);
        f.glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    }
    f.glDisable(GL_CLIP_DISTANCE0);
    f.glDisable(GL_CLIP_DISTANCE1);
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
    drawBricks(*f, *r->program, quad);
    f->glBindTexture(GL_TEXTURE_3D, GLuint(previousTexture));
    return true;
}

} // namespace Kelvaros
