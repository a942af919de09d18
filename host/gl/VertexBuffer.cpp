#include "gl/VertexBuffer.h"

#include <QOpenGLFunctions_3_3_Core>

#include "core/Log.h"
#include "gl/ContextResources.h"

namespace Kelvaros::GL
{
namespace
{
constexpr const char* kCategory = "VertexBuffer";

template<typename Vector>
void appendAsFloat(std::vector<float>& out, const std::vector<Vector>& values)
{
    for (const auto& v : values)
        for (int i = 0; i < v.size(); ++i)
            out.push_back(static_cast<float>(v[i]));
}

const void* byteOffset(size_t floats)
{
    return reinterpret_cast<const void*>(floats * sizeof(float));
}
} // namespace

VertexBuffer::VertexBuffer(int usage) : m_usage(static_cast<QOpenGLBuffer::UsagePattern>(usage)) {}

VertexBuffer::~VertexBuffer() = default;

unsigned VertexBuffer::bufferId() const
{
    return m_vertices.isCreated() ? m_vertices.bufferId() : 0;
}

bool VertexBuffer::setData(const std::vector<Eigen::Vector3d>& positions, const std::vector<Eigen::Vector4d>& colors,
                           const std::vector<Eigen::Vector3d>& normals, const std::vector<unsigned>& indices)
{
    const size_t n = positions.size();
    if ((!colors.empty() && colors.size() != n) || (!normals.empty() && normals.size() != n))
    {
        Log::logf(Log::Error, kCategory, "{} positions but {} colours and {} normals", n, colors.size(),
                  normals.size());
        return false;
    }
    for (unsigned index : indices)
    {
        if (index >= n)
        {
            Log::logf(Log::Error, kCategory, "index {} refers past the {} vertices", index, n);
            return false;
        }
    }
    m_data.clear();
    m_data.reserve(n * (3 + 4 + 3));
    appendAsFloat(m_data, positions);
    appendAsFloat(m_data, colors);
    appendAsFloat(m_data, normals);
    m_indexData = indices;
    m_vertexCount = static_cast<int>(n);
    m_hasColors = !colors.empty();
    m_hasNormals = !normals.empty();
    m_dirty = true;
    return true;
}

void VertexBuffer::write(QOpenGLBuffer& buffer, int& capacity, const void* data, int bytes)
{
    buffer.bind();
    if (bytes <= capacity)
        buffer.write(0, data, bytes);
    else
    {
        buffer.allocate(data, bytes);
        capacity = bytes;
    }
}

bool VertexBuffer::upload()
{
    if (!m_vertices.isCreated())
    {
        if (!m_vertices.create() || !m_indices.create())
        {
            Log::log(Log::Error, kCategory, "cannot create the buffer objects");
            return false;
        }
        m_vertices.setUsagePattern(m_usage);
        m_indices.setUsagePattern(m_usage);
    }
    if (m_dirty)
    {
        write(m_vertices, m_capacity, m_data.data(), static_cast<int>(m_data.size() * sizeof(float)));
        if (!m_indexData.empty())
            write(m_indices, m_indexCapacity, m_indexData.data(),
                  static_cast<int>(m_indexData.size() * sizeof(unsigned)));
        m_dirty = false;
    }
    return true;
}

bool VertexBuffer::draw(int primitive)
{
    if (primitive < GL_POINTS || primitive > GL_TRIANGLE_FAN)
    {
        Log::logf(Log::Error, kCategory, "unknown primitive {}", primitive);
        return false;
    }
    ContextResources* resources = ContextResources::current(kCategory);
    if (!resources || !resources->bindPipeline(primitive, m_hasColors, m_hasNormals, kCategory))
        return false;
    if (m_vertexCount == 0)
        return true;
    resources->bindVertexArray();
    if (!upload())
        return false;
    QOpenGLFunctions_3_3_Core& f = resources->functions();
    const size_t n = static_cast<size_t>(m_vertexCount);
    m_vertices.bind();
    f.glEnableVertexAttribArray(0);
    f.glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 0, byteOffset(0));
    const auto attribute = [&](GLuint location, bool present, int components, size_t offset)
    {
        if (!present)
        {
            f.glDisableVertexAttribArray(location);
            return;
        }
        f.glEnableVertexAttribArray(location);
        f.glVertexAttribPointer(location, components, GL_FLOAT, GL_FALSE, 0, byteOffset(offset));
    };
    attribute(1, m_hasColors, 4, 3 * n);
    attribute(2, m_hasNormals, 3, (m_hasColors ? 7 : 3) * n);
    if (m_indexData.empty())
        f.glDrawArrays(primitive, 0, m_vertexCount);
    else
    {
        m_indices.bind();
        f.glDrawElements(primitive, static_cast<GLsizei>(m_indexData.size()), GL_UNSIGNED_INT, nullptr);
    }
    return true;
}

} // namespace Kelvaros::GL
