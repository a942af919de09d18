#include "Shapes.h"

#include <cmath>

namespace Kelvaros::Tools::Shapes
{

namespace
{

constexpr float kPi = 3.14159265358979f;

QVector3D around(float radius, float angle, float z)
{
    return QVector3D(radius * std::cos(angle), radius * std::sin(angle), z);
}

/// A box about `centre` with the half-edges `x`, `y`, `z` (perpendicular), each face with its own normal.
void addBox(ObjMesh& mesh, const QVector3D& centre, const QVector3D& x, const QVector3D& y, const QVector3D& z)
{
    for (const QVector3D& axis : { x, y, z })
        for (float sign : { -1.0f, 1.0f })
        {
            const QVector3D normal = sign * axis;
            const QVector3D u = axis == x ? y : x;
            const QVector3D v = axis == z ? y : z;
            const QVector3D face = centre + normal;
            const int a = mesh.addVertex(face - u - v, normal), b = mesh.addVertex(face + u - v, normal);
            const int c = mesh.addVertex(face + u + v, normal), d = mesh.addVertex(face - u + v, normal);
            mesh.addTriangle(a, b, c);
            mesh.addTriangle(a, c, d);
        }
}

} // namespace

ObjMesh sphere(float radius, int bands, int steps)
{
    ObjMesh mesh;
    const int north = mesh.addVertex(QVector3D(0, 0, radius), QVector3D(0, 0, 1));
    for (int band = 1; band < bands; ++band)
    {
        const float polar = kPi * band / bands;
        for (int step = 0; step < steps; ++step)
        {
            const QVector3D p = around(radius * std::sin(polar), 2 * kPi * step / steps, radius * std::cos(polar));
            mesh.addVertex(p, p);
        }
    }
    const int south = mesh.addVertex(QVector3D(0, 0, -radius), QVector3D(0, 0, -1));
    const auto at = [steps](int ring, int step) { return 1 + (ring - 1) * steps + step % steps; };
    for (int step = 0; step < steps; ++step)
        mesh.addTriangle(north, at(1, step), at(1, step + 1));
    for (int ring = 1; ring < bands - 1; ++ring)
        for (int step = 0; step < steps; ++step)
        {
            mesh.addTriangle(at(ring, step), at(ring + 1, step), at(ring + 1, step + 1));
            mesh.addTriangle(at(ring, step), at(ring + 1, step + 1), at(ring, step + 1));
        }
    for (int step = 0; step < steps; ++step)
        mesh.addTriangle(south, at(bands - 1, step + 1), at(bands - 1, step));
    return mesh;
}

ObjMesh lathe(const std::vector<QPointF>& profile, int segments)
{
    ObjMesh mesh;
    const auto angle = [segments](float step) { return 2 * kPi * step / segments; };
    for (std::size_t k = 0; k + 1 < profile.size(); ++k)
    {
        const QPointF p0 = profile[k], p1 = profile[k + 1];
        const QPointF along = p1 - p0;
        const QPointF outward(along.y(), -along.x());
        // One ring of vertices per end of the segment; an apex gets one vertex per step instead, with the normal of
        // the middle of that step, so that a cone shades round.
        const auto ring = [&](const QPointF& p)
        {
            std::vector<int> indices;
            const bool apex = p.x() <= 0;
            for (int j = 0; j < segments; ++j)
            {
                const float a = angle(apex ? j + 0.5f : float(j));
                indices.push_back(mesh.addVertex(around(float(p.x()), a, float(p.y())),
                                                 around(float(outward.x()), a, float(outward.y()))));
            }
            return indices;
        };
        const std::vector<int> r0 = ring(p0), r1 = ring(p1);
        for (int j = 0; j < segments; ++j)
        {
            const int next = (j + 1) % segments;
            if (p0.x() <= 0)
                mesh.addTriangle(r0[j], r1[j], r1[next]);
            else if (p1.x() <= 0)
                mesh.addTriangle(r0[j], r0[next], r1[j]);
            else
            {
                mesh.addTriangle(r0[j], r0[next], r1[next]);
                mesh.addTriangle(r0[j], r1[next], r1[j]);
            }
        }
    }
    return mesh;
}

ObjMesh ring(float innerRadius, float outerRadius, float thickness)
{
    const float h = thickness / 2;
    return lathe(
      { { outerRadius, -h }, { outerRadius, h }, { innerRadius, h }, { innerRadius, -h }, { outerRadius, -h } }, 96);
}

ObjMesh pointer(bool extended)
{
    // Conical tip, thin shaft, a collar, and a grip with two grooves that ends in a rounded cap.
    std::vector<QPointF> profile{ { 0, 0 } };
    if (extended)
        profile = { { 0, -150 }, { 0.35, -150 }, { 0.35, 2.5 } };
    const std::vector<QPointF> body{ { 1.0, 12 },  { 1.0, 112 }, { 4.5, 120 },   { 4.5, 148 },   { 4.0, 150 },
                                     { 4.0, 153 }, { 4.5, 155 }, { 4.5, 163 },   { 4.0, 165 },   { 4.0, 168 },
                                     { 4.5, 170 }, { 4.5, 198 }, { 3.9, 202.5 }, { 2.4, 205.5 }, { 0, 206.5 } };
    profile.insert(profile.end(), body.begin(), body.end());
    return lathe(profile, 48);
}

ObjMesh bullseye()
{
    ObjMesh mesh;
    for (float radius : { 4.0f, 9.0f, 14.0f })
        mesh.append(ring(radius - 0.5f, radius + 0.5f, 0.8f));
    for (int tick = 0; tick < 4; ++tick)
    {
        const float angle = kPi / 2 * tick;
        const QVector3D radial = around(1, angle, 0), tangent = around(1, angle + kPi / 2, 0);
        addBox(mesh, 16.5f * radial, 2.0f * radial, 0.5f * tangent, QVector3D(0, 0, 0.4f));
    }
    return mesh;
}

} // namespace Kelvaros::Tools::Shapes
