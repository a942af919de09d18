#pragma once

#include <vector>

#include <QOpenGLBuffer>

#include <Eigen/Core>

#include "core/Export.h"

namespace Kelvaros::GL
{

/// Vertices (positions, optional per-vertex colours and normals) and optional indices, drawn through the host
/// Pipeline. Contents are kept on the CPU until the next draw, which uploads them into the buffer objects of the
/// current context: they are created there on first use, and later contents that fit the allocated size replace
/// the old ones in place (glBufferSubData); only growth reallocates.
///
/// setData may be called from any thread while no draw runs; draw and the GPU queries need the context current.
class KELVAROS_API VertexBuffer
{
public:
    /// `usage` is an OpenGL usage value, e.g. 35044 (GL_STATIC_DRAW) or 35048 (GL_DYNAMIC_DRAW).
    explicit VertexBuffer(int usage = 35044);
    ~VertexBuffer();
    VertexBuffer(const VertexBuffer&) = delete;
    VertexBuffer& operator=(const VertexBuffer&) = delete;

    /// Replaces the contents. Colours (RGBA in [0, 1]) and normals are either empty or one per position; indices
    /// are empty (draw the vertices in order) or refer to existing vertices. Values are stored as float.
    /// Returns false and keeps the old contents (Error in the log) when the sizes do not match.
    bool setData(const std::vector<Eigen::Vector3d>& positions, const std::vector<Eigen::Vector4d>& colors = {},
                 const std::vector<Eigen::Vector3d>& normals = {}, const std::vector<unsigned>& indices = {});

    /// Draws everything as the OpenGL primitive given (e.g. 1 = GL_LINES, 4 = GL_TRIANGLES) with the enabled
    /// Pipeline. Returns false (Error in the log) when the pipeline is not enabled or there is no context.
    bool draw(int primitive);

    [[nodiscard]] int vertexCount() const { return m_vertexCount; }
    /// OpenGL name of the vertex buffer object (0 before the first draw).
    [[nodiscard]] unsigned bufferId() const;
    /// Bytes allocated on the GPU for vertex data (0 before the first draw).
    [[nodiscard]] int capacityBytes() const { return m_capacity; }

private:
    bool upload();
    static void write(QOpenGLBuffer& buffer, int& capacity, const void* data, int bytes);

    QOpenGLBuffer::UsagePattern m_usage;
    QOpenGLBuffer m_vertices{ QOpenGLBuffer::VertexBuffer };
    QOpenGLBuffer m_indices{ QOpenGLBuffer::IndexBuffer };
    std::vector<float> m_data; // positions, then colours, then normals
    std::vector<unsigned> m_indexData;
    int m_vertexCount = 0;
    bool m_hasColors = false;
    bool m_hasNormals = false;
    bool m_dirty = false;
    int m_capacity = 0;
    int m_indexCapacity = 0;
};

} // namespace Kelvaros::GL
