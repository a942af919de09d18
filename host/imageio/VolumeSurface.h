#pragma once

#include <optional>
#include <string>

#include "core/Export.h"
#include "lib/geometry/Mesh.h"

namespace Kelvaros
{

class SharedImageSet;

/// The surface of what a volume shows above a threshold (skin in CT at about -500 HU, bone at about 300 HU), as a
/// triangle mesh to match a pointer sweep against.
///
/// The volume is cut into a mask (a voxel is inside when its value is at or above the threshold) and ITK's marching
/// cubes over the mask (BinaryMask3DMeshSource) turns it into triangles. Each vertex then moves along its voxel edge
/// to where the values cross the threshold (linear between the voxel inside and its neighbour outside), as marching
/// cubes on the values would place it; the mask alone would leave it halfway, up to half a voxel off. The mask is
/// padded with one voxel of outside all round, so that the surface is closed also where the content touches
/// the volume's border.
///
/// Placement: the vertices are in world coordinates, through the volume's own voxel → world conversion
/// (SharedImageSet::voxelToWorld, its placement matrix), so the mesh lies on the voxels wherever they are shown. The
/// triangles are wound counter-clockwise seen from outside (normals outward), also for a mirrored placement. The
/// vertex normals are set (angle and area weighted): the faces of a surface cut from voxels are small and uneven,
/// and their own normals scatter about the surface's.
///
/// Pure function, callable from any thread while nobody changes the volume.
class KELVAROS_API VolumeSurface
{
public:
    /// The surface at `threshold` of image `image` (-1: the selected one). Empty for a set without such an image,
    /// an image that is not 3D, a threshold that is not finite, no voxel at or above the threshold, or a failure
    /// inside ITK: then one Error is logged (category "VolumeSurface") naming the volume and the reason, which
    /// `error`, when given, receives as well.
    [[nodiscard]] static std::optional<Mesh> extract(const SharedImageSet& volume, float threshold,
                                                     std::string* error = nullptr, int image = -1);
};

} // namespace Kelvaros
