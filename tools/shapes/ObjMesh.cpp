#include "ObjMesh.h"

#include <cstdio>

#include <QSaveFile>

namespace Kelvaros::Tools
{

int ObjMesh::addVertex(const QVector3D& position, const QVector3D& normal)
{
    m_positions.push_back(position);
    m_normals.push_back(normal.normalized());
    return int(m_positions.size()) - 1;
}

void ObjMesh::addTriangle(int a, int b, int c)
{
    const QVector3D winding = QVector3D::crossProduct(m_positions[b] - m_positions[a], m_positions[c] - m_positions[a]);
    const QVector3D facing = m_normals[a] + m_normals[b] + m_normals[c];
    if (QVector3D::dotProduct(winding, facing) < 0)
        std::swap(b, c);
    m_triangles.push_back({ a, b, c });
}

void ObjMesh::append(const ObjMesh& other, const QVector3D& offset)
{
    const int base = int(m_positions.size());
    for (std::size_t i = 0; i < other.m_positions.size(); ++i)
        addVertex(other.m_positions[i] + offset, other.m_normals[i]);
    for (const auto& t : other.m_triangles)
        m_triangles.push_back({ t[0] + base, t[1] + base, t[2] + base });
}

bool ObjMesh::write(const QString& path) const
{
    QByteArray text;
    char line[128];
    const auto add = [&](const char* prefix, const QVector3D& v)
    {
        // Six decimals: a micrometre in millimetre units, far below anything a view shows.
        const int length =
          std::snprintf(line, sizeof line, "%s %.6f %.6f %.6f\n", prefix, double(v.x()), double(v.y()), double(v.z()));
        text.append(line, length);
    };
    for (const QVector3D& p : m_positions)
        add("v", p);
    for (const QVector3D& n : m_normals)
        add("vn", n);
    for (const auto& t : m_triangles)
    {
        const int length = std::snprintf(line, sizeof line, "f %d//%d %d//%d %d//%d\n", t[0] + 1, t[0] + 1, t[1] + 1,
                                         t[1] + 1, t[2] + 1, t[2] + 1);
        text.append(line, length);
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
    {
        std::fprintf(stderr, "%s: %s\n", qPrintable(path), qPrintable(file.errorString()));
        return false;
    }
    return true;
}

} // namespace Kelvaros::Tools
