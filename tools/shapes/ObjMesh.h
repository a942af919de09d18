#pragma once

#include <array>
#include <vector>

#include <QString>
#include <QVector3D>

namespace Kelvaros::Tools
{

/// A triangle mesh with one normal per vertex, written as Wavefront OBJ: "v" lines, "vn" lines of the same count,
/// and "f a//a b//b c//c" faces whose corners name a vertex and the normal of the same index.
class ObjMesh
{
public:
    /// Adds a vertex with its unit normal; returns its index (from 0).
    int addVertex(const QVector3D& position, const QVector3D& normal);
    /// Adds a triangle, turned so that it is counter-clockwise seen from the side its vertices' normals point to.
    void addTriangle(int a, int b, int c);
    /// Adds the mesh `other`, its vertices moved by `offset`.
    void append(const ObjMesh& other, const QVector3D& offset = QVector3D());

    [[nodiscard]] const std::vector<QVector3D>& positions() const { return m_positions; }
    [[nodiscard]] std::size_t triangleCount() const { return m_triangles.size(); }
    /// Writes the file atomically; false with a message on stderr when it cannot.
    [[nodiscard]] bool write(const QString& path) const;

private:
    std::vector<QVector3D> m_positions;
    std::vector<QVector3D> m_normals;
    std::vector<std::array<int, 3>> m_triangles;
};

} // namespace Kelvaros::Tools
