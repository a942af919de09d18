#include "gui/scene/GlMesh.h"

#include <algorithm>
#include <limits>
#include <unordered_map>

#include <QOpenGLBuffer>
#include <QOpenGLContext>
#include <QOpenGLFunctions_3_3_Core>
#include <QPointer>

#include <Eigen/LU>
#include <Eigen/SVD>

#include "core/Log.h"
#include "gl/Functions.h"
#include "gl/Pipeline.h"
#include "gl/StateGuard.h"
#include "gl/VertexBuffer.h"
#include "gui/scene/MeshCopies.h"
#include "gui/scene/MeshSlicer.h"
#include "gui/scene/SceneDrawing.h"
#include "lib/geometry/Mesh.h"

namespace Kelvaros
{
namespace
{
constexpr const char* kCategory = "GlMesh";
constexpr int kStaticDraw = 35044;
constexpr int kDynamicDraw = 35048;
// Opacity of the fill of a flattened mesh, relative to the line colour's.
constexpr double kProjectedFillAlpha = 0.25;

/// Where a mesh's box comes nearest the camera: how many of the mesh's units one pixel spans there (0 when the box
/// reaches the camera's plane), and whether the whole box lies beyond the near plane.
struct Reach
{
    double unitsPerPixel = 0;
    bool beyondNear = true;
};

Reach reachOf(const Eigen::AlignedBox3d& box, const GL::ViewState& view, const GL::Viewport& viewport)
{
    Reach reach;
    const Eigen::Matrix4d toClip = view.projection * view.modelView;
    double nearestW = std::numeric_limits<double>::infinity();
    for (int c = 0; c < 8; ++c)
    {
        const Eigen::Vector4d clip = toClip * box.corner(Eigen::AlignedBox3d::CornerType(c)).homogeneous();
        nearestW = std::min(nearestW, clip.w());
        reach.beyondNear = reach.beyondNear && clip.z() >= -clip.w();
    }
    const double pixelsAcross =
      std::max(std::abs(view.projection(0, 0)) * viewport.width, std::abs(view.projection(1, 1)) * viewport.height);
    if (!(nearestW > 0) || !(pixelsAcross > 0))
        return Reach{ 0.0, false };
    // Eye units per pixel, then mesh units: the model-view may scale, by at most its largest singular value.
    const double stretch = Eigen::JacobiSVD<Eigen::Matrix3d>(view.modelView.topLeftCorner<3, 3>()).singularValues()(0);
    reach.unitsPerPixel = stretch > 0 ? 2.0 * nearestW / pixelsAcross / stretch : 0.0;
    return reach;
}

bool validMode(int mode, int count, const char* what)
{
    if (mode >= 0 && mode < count)
        return true;
    Log::logf(Log::Error, kCategory, "unknown {} mode {}", what, mode);
    return false;
}
} // namespace

/// The surface's buffers in one context share group (buffers are shared within a group, not across groups).
struct GlMesh::GpuMesh
{
    QPointer<QOpenGLContextGroup> group;
    QOpenGLBuffer vertices{ QOpenGLBuffer::VertexBuffer };
    QOpenGLBuffer indices{ QOpenGLBuffer::IndexBuffer };
    int indexCount = 0;
    bool hasNormals = false;
    bool uploaded = false;
};

GlMesh::GlMesh(std::shared_ptr<Mesh> mesh, std::string name)
  : GlObject(std::move(name)),
    m_mesh(std::move(mesh)),
    m_wireframe(std::make_unique<GL::VertexBuffer>(kStaticDraw)),
    m_lines(std::make_unique<GL::VertexBuffer>(kDynamicDraw))
{
    setColor(m_color);
}

GlMesh::~GlMesh() = default;

void GlMesh::setMesh(std::shared_ptr<Mesh> mesh)
{
    m_mesh = std::move(mesh);
    invalidate();
}

void GlMesh::meshChanged()
{
    invalidate();
}

void GlMesh::invalidate()
{
    m_details.clear();
    m_copies.reset();
    m_copiesTaken = false;
    m_edgesValid = false;
    m_wireframeValid = false;
    changed();
}

void GlMesh::setColor(const Eigen::Vector3d& rgb)
{
    m_color = rgb;
    m_front = { rgb, rgb, Eigen::Vector3d::Constant(0.3), 50.0 };
    m_back = { 0.5 * rgb, 0.5 * rgb, Eigen::Vector3d::Constant(0.3), 50.0 };
    changed();
}

void GlMesh::setAlpha(double alpha)
{
    m_alpha = std::clamp(alpha, 0.0, 1.0);
    changed();
}

void GlMesh::setFrontMaterial(const Eigen::Vector3d& ambient, const Eigen::Vector3d& diffuse,
                              const Eigen::Vector3d& specular, double shininess)
{
    m_front = { ambient, diffuse, specular, shininess };
    changed();
}

void GlMesh::setBackMaterial(const Eigen::Vector3d& ambient, const Eigen::Vector3d& diffuse,
                             const Eigen::Vector3d& specular, double shininess)
{
    m_back = { ambient, diffuse, specular, shininess };
    changed();
}

void GlMesh::setWireframeColor(const Eigen::Vector4d& rgba)
{
    m_wireframeColor = rgba;
    changed();
}

void GlMesh::setLineColor(const Eigen::Vector4d& rgba)
{
    m_lineColor = rgba;
    changed();
}

void GlMesh::setLineWidth(double pixels)
{
    m_lineWidth = pixels;
    changed();
}

void GlMesh::setRenderMode3d(int mode)
{
    if (!validMode(mode, 3, "3D render"))
        return;
    m_renderMode3d = mode;
    changed();
}

void GlMesh::setRenderMode2d(int mode)
{
    if (!validMode(mode, 2, "2D render"))
        return;
    m_renderMode2d = mode;
    changed();
}

void GlMesh::setMaterialMode(int mode)
{
    if (!validMode(mode, 2, "material"))
        return;
    m_materialMode = mode;
    changed();
}

void GlMesh::setUseFaceNormals(bool useFaceNormals)
{
    m_useFaceNormals = useFaceNormals;
    changed();
}

Eigen::AlignedBox3d GlMesh::bounds() const
{
    return m_mesh ? worldBox(m_mesh->boundingBox()) : Eigen::AlignedBox3d();
}

void GlMesh::render(const RenderInfo& info)
{
    if (!m_mesh || m_mesh->faces().empty())
        return;
    GL::StateGuard guard;
    if (!info.sliceView)
        render3d(info);
    else if (m_renderMode2d == 1)
        renderProjected(info);
    else
        renderContour(info);
}

GlMesh::Detail& GlMesh::whole()
{
    if (m_details.empty())
        m_details.push_back(Detail{ m_mesh, 0.0, false, nullptr });
    return m_details.front();
}

void GlMesh::takeCopies()
{
    whole();
    if (!m_copies)
        m_copies = std::make_unique<MeshCopies>(*m_mesh);
    const MeshCopies::Result* result = m_copiesTaken ? nullptr : m_copies->result();
    if (!result)
        return;
    m_copiesTaken = true;
    m_details.front().enclosesVolume = result->meshEnclosesVolume;
    for (const MeshCopies::Copy& copy : result->copies)
        m_details.push_back(Detail{ copy.mesh, copy.error, copy.enclosesVolume, nullptr });
}

void GlMesh::waitForCopies()
{
    if (!m_copies)
        return;
    m_copies->wait();
    takeCopies();
}

GlMesh::Detail& GlMesh::detailWithin(double tolerance)
{
    Detail* best = &whole();
    for (Detail& detail : m_details)
        if (detail.error <= tolerance && detail.mesh->faces().size() < best->mesh->faces().size())
            best = &detail;
    return *best;
}

bool GlMesh::uploadSurface(Detail& detail)
{
    std::unique_ptr<GpuMesh>& gpu = detail.gpu;
    QOpenGLContextGroup* group = QOpenGLContextGroup::currentContextGroup();
    if (!gpu || gpu->group != group)
    {
        gpu = std::make_unique<GpuMesh>();
        gpu->group = group;
    }
    if (gpu->uploaded)
        return true;
    if ((!gpu->vertices.isCreated() && !gpu->vertices.create()) ||
        (!gpu->indices.isCreated() && !gpu->indices.create()))
    {
        Log::log(Log::Error, kCategory, "cannot create the buffer objects");
        return false;
    }
    const std::vector<Eigen::Vector3d>& vertices = detail.mesh->vertices();
    const std::vector<Eigen::Vector3d>& normals = detail.mesh->vertexNormals();
    gpu->hasNormals = normals.size() == vertices.size();
    std::vector<float> interleaved;
    interleaved.reserve(vertices.size() * 6);
    for (size_t i = 0; i < vertices.size(); ++i)
    {
        const Eigen::Vector3f p = vertices[i].cast<float>();
        const Eigen::Vector3f n = gpu->hasNormals ? Eigen::Vector3f(normals[i].cast<float>()) : Eigen::Vector3f::Zero();
        interleaved.insert(interleaved.end(), { p.x(), p.y(), p.z(), n.x(), n.y(), n.z() });
    }
    std::vector<unsigned> indices;
    indices.reserve(detail.mesh->faces().size() * 3);
    for (const Eigen::Vector3i& face : detail.mesh->faces())
        indices.insert(indices.end(), { unsigned(face[0]), unsigned(face[1]), unsigned(face[2]) });
    gpu->vertices.bind();
    gpu->vertices.allocate(interleaved.data(), static_cast<int>(interleaved.size() * sizeof(float)));
    gpu->indices.bind();
    gpu->indices.allocate(indices.data(), static_cast<int>(indices.size() * sizeof(unsigned)));
    gpu->indexCount = static_cast<int>(indices.size());
    gpu->uploaded = true;
    return true;
}

void GlMesh::drawSurface(Detail& detail, const MeshShader::Settings& settings, bool cullBackFaces)
{
    MeshShader* shader = MeshShader::current();
    if (!shader || !uploadSurface(detail))
        return;
    GpuMesh& gpu = *detail.gpu;
    MeshShader::Settings used = settings;
    used.faceNormals = settings.faceNormals || !gpu.hasNormals;
    shader->bind(used);
    QOpenGLFunctions_3_3_Core& f = shader->functions();
    gpu.vertices.bind();
    f.glEnableVertexAttribArray(0);
    f.glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 6 * sizeof(float), nullptr);
    f.glDisableVertexAttribArray(1);
    f.glEnableVertexAttribArray(2);
    f.glVertexAttribPointer(2, 3, GL_FLOAT, GL_FALSE, 6 * sizeof(float), reinterpret_cast<void*>(3 * sizeof(float)));
    gpu.indices.bind();
    const auto draw = [&] { f.glDrawElements(GL_TRIANGLES, gpu.indexCount, GL_UNSIGNED_INT, nullptr); };
    if (cullBackFaces)
    {
        f.glEnable(GL_CULL_FACE);
        f.glCullFace(GL_BACK);
        draw();
    }
    else if (settings.color.w() < 1.0)
    {
        // Back faces first, so the near side blends over the far side of a closed transparent mesh.
        f.glEnable(GL_CULL_FACE);
        f.glCullFace(GL_FRONT);
        draw();
        f.glCullFace(GL_BACK);
        draw();
    }
    else
        draw();
    f.glDisable(GL_CULL_FACE);
}

void GlMesh::render3d(const RenderInfo& info)
{
    GL::ViewState view = info.viewState;
    view.modelView = info.viewState.modelView * matrix();
    if (m_renderMode3d != 1)
    {
        SceneDrawing::prepare(info, false, m_alpha);
        QOpenGLFunctions_3_3_Core* f = GL::currentFunctions(kCategory);
        if (f && m_renderMode3d == 2)
        {
            // Pushes the surface back a little so that its own wireframe wins the depth test.
            f->glEnable(GL_POLYGON_OFFSET_FILL);
            f->glPolygonOffset(1.0f, 1.0f);
        }
        MeshShader::Settings settings;
        settings.modelView = view.modelView;
        settings.projection = view.projection;
        settings.lit = m_materialMode == 0;
        settings.faceNormals = m_useFaceNormals;
        settings.front = m_front;
        settings.back = m_back;
        settings.color = Eigen::Vector4d(m_color.x(), m_color.y(), m_color.z(), m_alpha);
        const Reach reach = reachOf(m_mesh->boundingBox(), view, info.viewState.viewport);
        takeCopies();
        // A copy within half a pixel cannot stand beside its own wireframe, which is drawn from the mesh itself.
        Detail& detail = m_renderMode3d == 0 ? detailWithin(0.5 * reach.unitsPerPixel) : whole();
        drawSurface(detail, settings, m_alpha >= 1.0 && reach.beyondNear && detail.enclosesVolume);
    }
    if (m_renderMode3d == 0)
        return;
    if (!m_wireframeValid)
    {
        buildEdges();
        std::vector<unsigned> indices;
        indices.reserve(2 * m_edges.size());
        for (const Edge& edge : m_edges)
            indices.insert(indices.end(), { unsigned(edge.a), unsigned(edge.b) });
        m_wireframeValid = m_wireframe->setData(m_mesh->vertices(), {}, {}, indices);
    }
    SceneDrawing::prepare(info, false, m_wireframeColor.w());
    if (GL::Pipeline::enable(view, GL::Pipeline::UniformColor))
    {
        GL::Pipeline::setColor(m_wireframeColor);
        GL::Pipeline::setLineWidth(1.0);
        m_wireframe->draw(GL_LINES);
    }
}

void GlMesh::renderContour(const RenderInfo& info)
{
    // The world plane n · x = d is (Aᵀ n) · y = d - n · t for object points y, with x = A y + t.
    const Eigen::Vector3d n = info.slice.normal();
    const Eigen::Matrix3d linear = matrix().topLeftCorner<3, 3>();
    const Eigen::Vector3d translation = matrix().topRightCorner<3, 1>();
    const std::vector<Eigen::Vector3d> segments = MeshSlicer::chain(
      MeshSlicer::slice(*m_mesh, linear.transpose() * n, n.dot(info.slice.origin()) - n.dot(translation)));
    std::vector<Eigen::Vector3d> world;
    world.reserve(segments.size());
    for (const Eigen::Vector3d& p : segments)
        world.push_back(info.slice.project(SceneDrawing::toWorld(matrix(), p)));
    SceneDrawing::prepare(info, false, m_lineColor.w());
    SceneDrawing::drawLines(*m_lines, info, world, m_lineColor, m_lineWidth);
}

void GlMesh::buildEdges()
{
    if (m_edgesValid)
        return;
    m_edges.clear();
    std::unordered_map<std::uint64_t, size_t> index;
    const std::vector<Eigen::Vector3i>& faces = m_mesh->faces();
    for (size_t f = 0; f < faces.size(); ++f)
        for (int k = 0; k < 3; ++k)
        {
            const int a = std::min(faces[f][k], faces[f][(k + 1) % 3]);
            const int b = std::max(faces[f][k], faces[f][(k + 1) % 3]);
            const std::uint64_t key = (std::uint64_t(a) << 32) | std::uint64_t(b);
            const auto [it, inserted] = index.emplace(key, m_edges.size());
            if (inserted)
                m_edges.push_back({ a, b, int(f), -1 });
            else if (m_edges[it->second].face1 < 0)
                m_edges[it->second].face1 = int(f);
        }
    m_edgesValid = true;
}

void GlMesh::renderProjected(const RenderInfo& info)
{
    const Eigen::Vector3d n = info.slice.normal();
    // Flattening: x ↦ x - n (n · x - d), the foot of x on the plane.
    Eigen::Matrix4d flatten = Eigen::Matrix4d::Identity();
    flatten.topLeftCorner<3, 3>() -= n * n.transpose();
    flatten.topRightCorner<3, 1>() = n * n.dot(info.slice.origin());
    const double fillAlpha = kProjectedFillAlpha * m_lineColor.w();
    SceneDrawing::prepare(info, false, fillAlpha);
    MeshShader::Settings settings;
    settings.modelView = info.viewState.modelView * flatten * matrix();
    settings.projection = info.viewState.projection;
    settings.lit = false;
    settings.color = Eigen::Vector4d(m_lineColor.x(), m_lineColor.y(), m_lineColor.z(), fillAlpha);
    // Only the side facing the viewer: a closed mesh then covers its shadow once, not twice.
    drawSurface(whole(), settings, true);

    // The outline: edges between a triangle facing the viewer and one facing away, and border edges. A world
    // face normal is A⁻ᵀ m for the object one m, so its facing is the sign of m · A⁻¹ n.
    buildEdges();
    const Eigen::Vector3d facingAxis = matrix().topLeftCorner<3, 3>().inverse() * n;
    const std::vector<Eigen::Vector3d>& vertices = m_mesh->vertices();
    const std::vector<Eigen::Vector3i>& faces = m_mesh->faces();
    const auto facing = [&](int face)
    {
        const Eigen::Vector3i& t = faces[face];
        return (vertices[t[1]] - vertices[t[0]]).cross(vertices[t[2]] - vertices[t[0]]).dot(facingAxis) > 0.0;
    };
    std::vector<Eigen::Vector3d> outline;
    for (const Edge& edge : m_edges)
    {
        if (edge.face1 >= 0 && facing(edge.face0) == facing(edge.face1))
            continue;
        outline.push_back(info.slice.project(SceneDrawing::toWorld(matrix(), vertices[edge.a])));
        outline.push_back(info.slice.project(SceneDrawing::toWorld(matrix(), vertices[edge.b])));
    }
    SceneDrawing::prepare(info, false, m_lineColor.w());
    SceneDrawing::drawLines(*m_lines, info, outline, m_lineColor, m_lineWidth);
}

} // namespace Kelvaros
