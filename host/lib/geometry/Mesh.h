#pragma once

#include <vector>

#include <Eigen/Core>
#include <Eigen/Geometry>

#include "core/Export.h"

namespace Kelvaros
{

/// A triangle mesh: vertex positions (millimetres), triangles as vertex indices (counter-clockwise seen from the
/// side their normal points to), and optional per-vertex normals and RGBA colours (components in [0, 1]).
/// Not thread-safe for writing; const members may be called from several threads at once.
class KELVAROS_API Mesh
{
public:
    /// How computeVertexNormals weights the normals of the faces around a vertex.
    enum NormalWeighting : int
    {
        Uniform = 0,      ///< each face counts once
        FaceArea = 1,     ///< by face area (large faces dominate)
        CornerAngle = 2,  ///< by the face's angle at the vertex (independent of how the faces are split)
        AngleAndArea = 3, ///< by angle and area (smooth shading of scanned or mixed-size meshes)
    };

    Mesh() = default;
    /// Faces that index a vertex out of range are dropped.
    Mesh(std::vector<Eigen::Vector3d> vertices, std::vector<Eigen::Vector3i> faces);

    [[nodiscard]] const std::vector<Eigen::Vector3d>& vertices() const { return m_vertices; }
    [[nodiscard]] const std::vector<Eigen::Vector3i>& faces() const { return m_faces; }
    /// Empty, or one unit normal per vertex (zero for a vertex of no face with an area).
    [[nodiscard]] const std::vector<Eigen::Vector3d>& vertexNormals() const { return m_normals; }
    /// Empty, or one colour per vertex.
    [[nodiscard]] const std::vector<Eigen::Vector4d>& vertexColors() const { return m_colors; }

    /// Sets one normal per vertex (used as given); false and no change when the count does not match. An empty
    /// list removes the normals.
    [[nodiscard]] bool setVertexNormals(std::vector<Eigen::Vector3d> normals);
    /// Sets one colour per vertex; false and no change when the count does not match. An empty list removes them.
    [[nodiscard]] bool setVertexColors(std::vector<Eigen::Vector4d> colors);

    /// Unit normal of each face from its winding (zero for a face without area).
    [[nodiscard]] std::vector<Eigen::Vector3d> faceNormals() const;
    /// Replaces the vertex normals by the weighted mean of the surrounding face normals (a NormalWeighting value;
    /// other values count as AngleAndArea).
    void computeVertexNormals(int weighting = AngleAndArea);

    /// Every edge joins exactly two triangles that run it in opposite directions, and they wind outwards: a
    /// watertight surface whose inside no viewer outside it can see, so its back faces need not be drawn.
    [[nodiscard]] bool enclosesVolume() const;
    /// Axis-aligned box of the vertices; empty (isEmpty()) without vertices.
    [[nodiscard]] Eigen::AlignedBox3d boundingBox() const;
    /// Moves the mesh by a 4x4 affine matrix: positions by the whole matrix, normals by the inverse transpose of
    /// its linear part (renormalised), so they stay perpendicular to the surface under scaling and shear.
    void transform(const Eigen::Matrix4d& matrix);

private:
    std::vector<Eigen::Vector3d> m_vertices;
    std::vector<Eigen::Vector3i> m_faces;
    std::vector<Eigen::Vector3d> m_normals;
    std::vector<Eigen::Vector4d> m_colors;
};

} // namespace Kelvaros
