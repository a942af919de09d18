#pragma once

#include <vector>

#include <Eigen/Core>

#include "core/Export.h"

namespace Kelvaros
{

class Mesh;

/// Where a triangle mesh crosses a plane. Pure functions; callable from any thread.
class KELVAROS_API MeshSlicer
{
public:
    /// The line segments (consecutive pairs of points, in the mesh's frame) where the triangles cross the plane
    /// {x : normal · x = offset}; `normal` need not be unit length.
    ///
    /// Vertices exactly on the plane count as lying on its positive side (a symbolic perturbation), so every
    /// triangle is either crossed once or not at all: a closed mesh gives closed loops with each piece of the
    /// contour exactly once, even where edges or whole faces lie in the plane. Zero-length pieces are left out.
    [[nodiscard]] static std::vector<Eigen::Vector3d> slice(const Mesh& mesh, const Eigen::Vector3d& normal,
                                                            double offset);
    /// The same segments reordered and turned so that connected pieces follow each other head to tail (each
    /// piece's start is the previous piece's end within a chain), as wide-line drawing joins them.
    [[nodiscard]] static std::vector<Eigen::Vector3d> chain(const std::vector<Eigen::Vector3d>& segments);
};

} // namespace Kelvaros
