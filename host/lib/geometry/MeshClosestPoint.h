#pragma once

#include <cstddef>
#include <limits>
#include <memory>

#include <Eigen/Core>

#include "core/Export.h"

namespace Kelvaros
{

class Mesh;

/// The exact closest point on a triangle mesh's surface to any point in space: the foundation of matching a swept
/// point cloud to a surface extracted from an image.
///
/// Exact, not nearest-vertex: every triangle that could hold the closest point is measured with an exact
/// point-triangle distance (face, edge and vertex regions). Candidates come from a bounding-volume hierarchy of
/// boxes around the triangles, in double precision, split at the median of the centroids along the longest side:
/// a query descends the nearer box first and leaves every box no nearer than the best triangle found, so far from
/// a fine surface it measures as few triangles as near it, and one huge triangle among small ones costs only
/// itself. (A k-d tree over the centroids, which nanoflann offers, must measure every triangle whose centroid lies
/// within the distance plus the largest triangle's reach: hundreds of microseconds a query 20 mm off a fine mesh.
/// The libraries that index triangles are GPL (CGAL), single precision with a thread pool of their own (Embree) or
/// a whole toolkit (VTK).)
///
/// Built once (on any thread); afterwards const queries may run on several threads at once. The index keeps its
/// own copy of the triangles, so the mesh may go away.
class KELVAROS_API MeshClosestPoint
{
public:
    struct Hit
    {
        /// False when there is no surface (a mesh without triangles) or the query is not finite; nothing else is
        /// meaningful then.
        bool found = false;
        /// On the surface, mm.
        Eigen::Vector3d point = Eigen::Vector3d::Zero();
        double distance = std::numeric_limits<double>::infinity();
        /// Index into the mesh's faces().
        int triangle = -1;
        /// The triangle's unit normal by its winding; zero for a triangle without area.
        Eigen::Vector3d normal = Eigen::Vector3d::Zero();
        /// The mesh's vertex normals interpolated at the point (unit): a smooth surface's normal where the flat
        /// faces only approximate it, as the planes of a point-to-plane fit want. The face normal for a mesh
        /// without vertex normals (or with any that is not finite).
        Eigen::Vector3d smoothNormal = Eigen::Vector3d::Zero();
        /// The query lies on the normal's side: outside, for a closed, outward-oriented mesh. Judged by the one
        /// closest triangle, so near a sharp concave edge or corner it can be wrong by the width of the region where
        /// two faces are equally close.
        bool outside = false;
        /// 0 when the distance is exact; otherwise the true distance lies in [distance - tolerance, distance], and
        /// the point is on the surface but not necessarily the closest one (see Approximation).
        double tolerance = 0;
    };

    /// How far a query may stop short of the exact closest point. Far from a fine surface ever more boxes lie
    /// within rounding distance of the nearest, and each must be opened to be sure; a reading that may be a small
    /// part of the distance too long needs only the few around the closest point. In front of the surface (on the
    /// side its normals face) and within `exactWithin` of it the answer stays exact; beyond, it may exceed the true
    /// distance by `relative` times it, and by no more than half of how far it lies beyond `exactWithin`, so an
    /// approximate reading never comes back within `exactWithin`. Behind the surface the other two say the same.
    /// Whenever the reading is approximate the query lies on the side its triangle faces it with, as it does for
    /// the closest triangle: a reading whose straight way to its surface point crosses another triangle is
    /// measured exactly instead. The default is exact.
    struct Approximation
    {
        double exactWithin = std::numeric_limits<double>::infinity();
        double relative = 0;
        double exactBehindWithin = std::numeric_limits<double>::infinity();
        double relativeBehind = 0;
    };

    /// Triangles with a vertex that is not finite are left out (one Warning, category "MeshClosestPoint").
    explicit MeshClosestPoint(const Mesh& mesh);
    ~MeshClosestPoint();
    MeshClosestPoint(MeshClosestPoint&&) noexcept;
    MeshClosestPoint& operator=(MeshClosestPoint&&) noexcept;
    MeshClosestPoint(const MeshClosestPoint&) = delete;
    MeshClosestPoint& operator=(const MeshClosestPoint&) = delete;

    /// No triangle to measure against.
    [[nodiscard]] bool empty() const;
    [[nodiscard]] std::size_t triangleCount() const;

    [[nodiscard]] Hit query(const Eigen::Vector3d& point) const;
    [[nodiscard]] Hit query(const Eigen::Vector3d& point, const Approximation& approximation) const;

private:
    struct Index;
    std::unique_ptr<Index> m_index;
};

} // namespace Kelvaros
