#pragma once

#include <memory>

#include <Eigen/Core>

class QOpenGLContext;
class QOpenGLShaderProgram;
class QOpenGLFunctions_3_3_Core;

namespace Kelvaros
{

/// The surface program of GlMesh (per-fragment Blinn-Phong head light, separate front and back materials), with
/// a vertex array object, kept per OpenGL context and dropped when the context goes. Internal to KelvarosGui; used
/// where the context is current.
///
/// Attributes: location 0 position, location 2 normal (object frame).
class MeshShader
{
public:
    struct Material
    {
        Eigen::Vector3d ambient = Eigen::Vector3d::Constant(0.8);
        Eigen::Vector3d diffuse = Eigen::Vector3d::Constant(0.8);
        Eigen::Vector3d specular = Eigen::Vector3d::Constant(0.3);
        double shininess = 50.0;
    };

    /// What one surface draw needs besides its vertices.
    struct Settings
    {
        Eigen::Matrix4d modelView = Eigen::Matrix4d::Identity();
        Eigen::Matrix4d projection = Eigen::Matrix4d::Identity();
        bool lit = true;
        /// Shade by the triangles' own normals (derived per fragment) instead of the vertex normals.
        bool faceNormals = false;
        Material front;
        Material back;
        /// The colour when unlit; its alpha is the surface's opacity in both modes.
        Eigen::Vector4d color = Eigen::Vector4d::Ones();
    };

    /// The current context's shader, built on first use; nullptr (Error in the log) without a context or when the
    /// program does not build.
    static MeshShader* current();

    ~MeshShader();
    MeshShader(const MeshShader&) = delete;
    MeshShader& operator=(const MeshShader&) = delete;

    /// Binds the program and the vertex array and sets the uniforms.
    void bind(const Settings& settings);
    [[nodiscard]] QOpenGLFunctions_3_3_Core& functions() const { return *m_functions; }

private:
    MeshShader(QOpenGLContext* context, QOpenGLFunctions_3_3_Core* functions,
               std::unique_ptr<QOpenGLShaderProgram> program);
    void setMaterial(const char* name, const Material& material);

    QOpenGLContext* m_context;
    QOpenGLFunctions_3_3_Core* m_functions;
    std::unique_ptr<QOpenGLShaderProgram> m_program;
    unsigned m_vertexArray = 0;
};

} // namespace Kelvaros
