#include "gui/scene/MeshShader.h"

#include <map>

#include <QOpenGLContext>
#include <QOpenGLFunctions_3_3_Core>
#include <QOpenGLShaderProgram>

#include <Eigen/LU>

#include "core/Log.h"
#include "gl/Functions.h"

namespace Kelvaros
{
namespace
{
constexpr const char* kCategory = "GlMesh";

const char* const kVertex = R"(#version 330 core
layout(location = 0) in vec3 a_position;
layout(location = 2) in vec3 a_normal;
uniform mat4 u_modelView;
uniform mat4 u_projection;
uniform mat3 u_normalMatrix;
out vec3 v_eye;
out vec3 v_normal;

void main()
{
    vec4 eye = u_modelView * vec4(a_position, 1.0);
    v_eye = eye.xyz;
    v_normal = u_normalMatrix * a_normal;
    gl_Position = u_projection * eye;
}
)";

// A head light: the light sits at the eye (or, in orthographic views, shines along the view direction), so the
// half vector of Blinn-Phong is the direction to the eye itself.
const char* const kFragment = R"(#version 330 core
struct Material { vec3 ambient; vec3 diffuse; vec3 specular; float shininess; };
uniform Material u_front;
uniform Material u_back;
uniform bool u_lit;
uniform bool u_faceNormals;
uniform bool u_perspective;
uniform vec4 u_color;
in vec3 v_eye;
in vec3 v_normal;
out vec4 fragColor;

const float kAmbientLight = 0.25;
const float kDiffuseLight = 0.75;
const float kSpecularLight = 0.6;

void main()
{
    if (!u_lit)
    {
        fragColor = u_color;
        return;
    }
    vec3 toEye = u_perspective ? normalize(-v_eye) : vec3(0.0, 0.0, 1.0);
    // The screen-space derivatives of the position span the triangle; their cross product faces the viewer.
    vec3 n = u_faceNormals ? cross(dFdx(v_eye), dFdy(v_eye)) : (gl_FrontFacing ? v_normal : -v_normal);
    n = length(n) > 0.0 ? normalize(n) : toEye;
    Material m = gl_FrontFacing ? u_front : u_back;
    float diffuse = max(dot(n, toEye), 0.0);
    float specular = diffuse > 0.0 ? pow(diffuse, m.shininess) : 0.0;
    vec3 rgb = kAmbientLight * m.ambient + kDiffuseLight * diffuse * m.diffuse + kSpecularLight * specular * m.specular;
    fragColor = vec4(min(rgb, vec3(1.0)), u_color.a);
}
)";

std::map<QOpenGLContext*, std::unique_ptr<MeshShader>>& shaders()
{
    static std::map<QOpenGLContext*, std::unique_ptr<MeshShader>> perContext;
    return perContext;
}
} // namespace

MeshShader::MeshShader(QOpenGLContext* context, QOpenGLFunctions_3_3_Core* functions,
                       std::unique_ptr<QOpenGLShaderProgram> program)
  : m_context(context), m_functions(functions), m_program(std::move(program))
{
    m_functions->glGenVertexArrays(1, &m_vertexArray);
}

MeshShader::~MeshShader()
{
    // The vertex array dies with its context anyway; delete it only where that is possible now.
    if (QOpenGLContext::currentContext() == m_context)
        m_functions->glDeleteVertexArrays(1, &m_vertexArray);
}

MeshShader* MeshShader::current()
{
    QOpenGLContext* context = QOpenGLContext::currentContext();
    if (const auto it = shaders().find(context); it != shaders().end())
        return it->second.get();
    QOpenGLFunctions_3_3_Core* functions = GL::currentFunctions(kCategory);
    if (!functions)
        return nullptr;
    auto program = std::make_unique<QOpenGLShaderProgram>();
    if (!program->addShaderFromSourceCode(QOpenGLShader::Vertex, kVertex) ||
        !program->addShaderFromSourceCode(QOpenGLShader::Fragment, kFragment) || !program->link())
    {
        Log::logf(Log::Error, kCategory, "the surface program does not build: {}", program->log().toStdString());
        return nullptr;
    }
    std::unique_ptr<MeshShader> created(new MeshShader(context, functions, std::move(program)));
    MeshShader* result = created.get();
    shaders().emplace(context, std::move(created));
    QObject::connect(
      context, &QOpenGLContext::aboutToBeDestroyed, context, [context] { shaders().erase(context); },
      Qt::DirectConnection);
    return result;
}

void MeshShader::setMaterial(const char* name, const Material& material)
{
    const QString prefix = QString::fromLatin1(name);
    const auto vector = [](const Eigen::Vector3d& v) { return QVector3D(float(v.x()), float(v.y()), float(v.z())); };
    m_program->setUniformValue(qPrintable(prefix + ".ambient"), vector(material.ambient));
    m_program->setUniformValue(qPrintable(prefix + ".diffuse"), vector(material.diffuse));
    m_program->setUniformValue(qPrintable(prefix + ".specular"), vector(material.specular));
    m_program->setUniformValue(qPrintable(prefix + ".shininess"), float(material.shininess));
}

void MeshShader::bind(const Settings& settings)
{
    m_program->bind();
    m_functions->glBindVertexArray(m_vertexArray);
    const Eigen::Matrix4f modelView = settings.modelView.cast<float>();
    const Eigen::Matrix4f projection = settings.projection.cast<float>();
    Eigen::Matrix3d inverse = Eigen::Matrix3d::Identity();
    bool invertible = false;
    settings.modelView.topLeftCorner<3, 3>().computeInverseWithCheck(inverse, invertible);
    const Eigen::Matrix3f normals =
      invertible ? Eigen::Matrix3f(inverse.transpose().cast<float>()) : Eigen::Matrix3f::Identity();
    QOpenGLFunctions_3_3_Core& f = *m_functions;
    f.glUniformMatrix4fv(m_program->uniformLocation("u_modelView"), 1, GL_FALSE, modelView.data());
    f.glUniformMatrix4fv(m_program->uniformLocation("u_projection"), 1, GL_FALSE, projection.data());
    f.glUniformMatrix3fv(m_program->uniformLocation("u_normalMatrix"), 1, GL_FALSE, normals.data());
    m_program->setUniformValue("u_lit", settings.lit);
    m_program->setUniformValue("u_faceNormals", settings.faceNormals);
    // A perspective projection has (0, 0, -1, 0) as its last row, an orthographic one (0, 0, 0, 1).
    m_program->setUniformValue("u_perspective", settings.projection(3, 3) == 0.0);
    const Eigen::Vector4f color = settings.color.cast<float>();
    m_program->setUniformValue("u_color", QVector4D(color.x(), color.y(), color.z(), color.w()));
    setMaterial("u_front", settings.front);
    setMaterial("u_back", settings.back);
}

} // namespace Kelvaros
