#pragma once

#include <memory>
#include <vector>

#include "core/Export.h"
#include "gui/scene/GlObject.h"
#include "gui/scene/MeshShader.h"

class QOpenGLBuffer;

namespace Kelvaros
{

class Mesh;
class MeshCopies;

namespace GL
{
class VertexBuffer;
}

/// A triangle mesh (shared with its owner), placed by the matrix.
///
/// 3D render modes: 0 shaded surface, 1 wireframe, 2 surface with its wireframe on top. Material modes: 0 the front
/// and back materials under a head light (ambient, diffuse, Blinn-Phong specular per fragment), chosen by which
/// side of a triangle faces the viewer; 1 the plain colour, unlit. setColor sets the plain colour and derives both
/// materials from it (the back one darker), so a mesh given only a colour looks right in either mode; set the
/// materials after the colour to override them. Alpha below 1 blends the surface (drawn back faces first).
///
/// Slice views: 2D render mode 0 draws the contour where the mesh crosses the slice plane, 1 the whole mesh
/// flattened onto the plane, as a faint fill with its outline; both in the line colour at the line width.
///
/// A fine mesh seen small is drawn, in render mode 0, from a coarser copy that strays from it by at most half a pixel
/// where the mesh comes nearest the camera (see MeshClustering); a closed, outward-wound opaque mesh wholly beyond
/// the near plane is drawn without its back faces, which no viewer outside it can see. Both change what a frame
/// costs, not what it shows. The copies and the closedness are worked out in the background after the first 3D
/// draw; until then the mesh is drawn whole, with its back faces.
///
/// GPU buffers are made on first draw and refilled only after setMesh or meshChanged. Main thread only.
class KELVAROS_API GlMesh : public GlObject
{
public:
    explicit GlMesh(std::shared_ptr<Mesh> mesh, std::string name = {});
    ~GlMesh() override;

    [[nodiscard]] const std::shared_ptr<Mesh>& mesh() const { return m_mesh; }
    void setMesh(std::shared_ptr<Mesh> mesh);
    /// Tells the object that the mesh's vertices, faces or normals were changed in place.
    void meshChanged();

    [[nodiscard]] const Eigen::Vector3d& color() const { return m_color; }
    void setColor(const Eigen::Vector3d& rgb);
    [[nodiscard]] double alpha() const { return m_alpha; }
    void setAlpha(double alpha);
    [[nodiscard]] const MeshShader::Material& frontMaterial() const { return m_front; }
    [[nodiscard]] const MeshShader::Material& backMaterial() const { return m_back; }
    void setFrontMaterial(const Eigen::Vector3d& ambient, const Eigen::Vector3d& diffuse,
                          const Eigen::Vector3d& specular, double shininess);
    void setBackMaterial(const Eigen::Vector3d& ambient, const Eigen::Vector3d& diffuse,
                         const Eigen::Vector3d& specular, double shininess);
    /// RGBA of the wireframe (render modes 1 and 2).
    void setWireframeColor(const Eigen::Vector4d& rgba);
    /// RGBA and width (pixels) of what slice views draw.
    void setLineColor(const Eigen::Vector4d& rgba);
    void setLineWidth(double pixels);
    void setRenderMode3d(int mode);
    void setRenderMode2d(int mode);
    void setMaterialMode(int mode);
    /// Flat shading by the triangles' own normals; without vertex normals in the mesh this is always the case.
    void setUseFaceNormals(bool useFaceNormals);

    [[nodiscard]] int renderMode3d() const { return m_renderMode3d; }
    [[nodiscard]] int renderMode2d() const { return m_renderMode2d; }
    [[nodiscard]] int materialMode() const { return m_materialMode; }

    /// Waits for the coarser copies and the closedness, worked out in the background after the first 3D draw, so
    /// that the next draw uses them: for a caller that needs the final picture now (a test, a screenshot).
    void waitForCopies();

    void render(const RenderInfo& info) override;
    [[nodiscard]] Eigen::AlignedBox3d bounds() const override;
    [[nodiscard]] bool isTransparent() const override { return m_alpha < 1.0; }

private:
    struct Edge
    {
        int a, b;
        int face0, face1; // face1 -1 on a border
    };
    struct GpuMesh;
    /// The mesh or a coarser copy of it, with its buffers.
    struct Detail
    {
        std::shared_ptr<const Mesh> mesh;
        /// How far it strays from the mesh (mesh units).
        double error = 0;
        bool enclosesVolume = false;
        std::unique_ptr<GpuMesh> gpu;
    };

    void invalidate();
    void buildEdges();
    /// The mesh itself (whether it encloses a volume is known once the copies are in).
    Detail& whole();
    /// Starts making the coarser copies on first call, and takes them in once they are ready.
    void takeCopies();
    /// The detail with the fewest triangles that strays at most `tolerance` (mesh units).
    Detail& detailWithin(double tolerance);
    /// Makes sure the surface buffers of the current context's share group hold the detail; false when they cannot.
    static bool uploadSurface(Detail& detail);
    static void drawSurface(Detail& detail, const MeshShader::Settings& settings, bool cullBackFaces);
    void render3d(const RenderInfo& info);
    void renderContour(const RenderInfo& info);
    void renderProjected(const RenderInfo& info);

    std::shared_ptr<Mesh> m_mesh;
    Eigen::Vector3d m_color = Eigen::Vector3d::Constant(0.8);
    double m_alpha = 1.0;
    MeshShader::Material m_front;
    MeshShader::Material m_back;
    Eigen::Vector4d m_wireframeColor{ 0.2, 0.2, 0.2, 1.0 };
    Eigen::Vector4d m_lineColor{ 1.0, 1.0, 0.0, 1.0 };
    double m_lineWidth = 2.0;
    int m_renderMode3d = 0;
    int m_renderMode2d = 0;
    int m_materialMode = 0;
    bool m_useFaceNormals = false;

    std::vector<Edge> m_edges;
    bool m_edgesValid = false;
    /// The mesh itself first, then its coarser copies once they are in.
    std::vector<Detail> m_details;
    std::unique_ptr<MeshCopies> m_copies;
    bool m_copiesTaken = false;
    std::unique_ptr<GL::VertexBuffer> m_wireframe;
    bool m_wireframeValid = false;
    std::unique_ptr<GL::VertexBuffer> m_lines;
};

} // namespace Kelvaros
