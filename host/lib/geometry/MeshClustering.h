#pragma once

#include <memory>

#include "core/Export.h"

namespace Kelvaros
{

class Mesh;

/// A coarser copy of a triangle mesh by vertex clustering: the vertices are gathered into the cubes of a grid and
/// each cube's vertices become one, at their mean (normals and colours averaged too); triangles whose corners fall
/// into fewer than three cubes vanish, as do repeats. Fine tool meshes seen small on screen are drawn from such a
/// copy: a triangle smaller than a pixel costs a software renderer as much as a large one and shows nothing more.
///
/// How far the copy strays is measured rather than assumed from the cube size: `error` is the largest distance
/// from a merged vertex to the plane of any original triangle that touched the vertices it replaces. A smooth
/// patch therefore counts for little, while a corner rounded off or a thin part collapsed into a point counts for
/// its full size. Pure; may run on any thread.
class KELVAROS_API MeshClustering
{
public:
    struct Result
    {
        std::unique_ptr<Mesh> mesh;
        /// In the mesh's own units.
        double error = 0;
    };

    /// `cellSize` > 0 in the mesh's units; the grid starts at the corner of the mesh's bounding box. A mesh
    /// without triangles, or a cell size that is not positive and finite, gives a copy of the mesh.
    [[nodiscard]] static Result simplify(const Mesh& mesh, double cellSize);
};

} // namespace Kelvaros
