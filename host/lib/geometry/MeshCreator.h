#pragma once

#include <memory>

#include "core/Export.h"

namespace Kelvaros
{

class Mesh;

/// Builds simple closed meshes with outward normals and counter-clockwise outward faces, in millimetres.
/// Pure functions; callable from any thread.
class KELVAROS_API MeshCreator
{
public:
    /// A UV sphere of `radius` centred at the origin, poles on the z axis: one vertex per pole and
    /// (subdivisions - 1) rings of 2 * subdivisions vertices; 4 * subdivisions * (subdivisions - 1) triangles
    /// (with 32: 1,986 vertices, 3,968 triangles). `subdivisions` below 2 counts as 2. With `flatNormals` every
    /// triangle gets three vertices of its own carrying its face normal (a faceted look); otherwise vertices are
    /// shared and their normals point radially. Null, with an Error line, for a radius that is not positive.
    [[nodiscard]] static std::unique_ptr<Mesh> createSphere(double radius, int subdivisions, bool flatNormals = false);

    /// A closed cylinder along +z from z = 0 to z = height, `segments` (at least 3) around, smooth side normals and
    /// flat caps. Null, with an Error line, unless radius and height are positive.
    [[nodiscard]] static std::unique_ptr<Mesh> createCylinder(double radius, double height, int segments);
    /// A closed cone along +z, base of `radius` at z = 0, apex at z = height, `segments` (at least 3) around.
    /// Null, with an Error line, unless radius and height are positive.
    [[nodiscard]] static std::unique_ptr<Mesh> createCone(double radius, double height, int segments);
};

} // namespace Kelvaros
