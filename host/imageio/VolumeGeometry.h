#pragma once

#include <optional>
#include <string>

#include <Eigen/Core>

#include "core/Export.h"

namespace Kelvaros
{

class SharedImageSet;

/// The geometry of a volume as image files state it, and its conversion to and from our world placement.
///
/// Files (NRRD, NIfTI, MetaImage, DICOM, all as ITK reads them) are in LPS: x towards the patient's Left, y
/// Posterior, z Superior. Our world is RAS (x Right, y Anterior, z Superior), in which the anatomical slice planes
/// are stated. A file gives the origin o (LPS, the centre of voxel 0), the direction D (3x3, column i the unit
/// direction of voxel axis i in LPS), the spacing s and the dimensions d, so that voxel v lies at
///
///     p_LPS = o + D · diag(s) · v,        p_RAS = F · p_LPS,   F = diag(-1, -1, 1).
///
/// Our image frame is centred on the voxel grid (p_image = (v - (d - 1) / 2) ∘ s, see SharedImageSet), so
/// v = p_image ./ s + (d - 1) / 2 and the image → world matrix is
///
///     M = [ F · D | F · (o + D · diag(s) · (d - 1) / 2) ]
///
/// Voxel data are never reordered: voxel (x, y, z) of the file is voxel (x, y, z) of the set; only the matrix
/// carries the orientation. Saving inverts this: D = F · M₃ₓ₃ and o = F · t - D · diag(s) · (d - 1) / 2, which
/// requires the 3x3 block of the placement to be orthonormal (a rotation, possibly mirrored), as file formats
/// cannot hold scale or shear in their direction.
///
/// Value type; pure functions, callable from any thread.
struct KELVAROS_API VolumeGeometry
{
    Eigen::Vector3i dimensions = Eigen::Vector3i::Ones();
    /// mm
    Eigen::Vector3d spacing = Eigen::Vector3d::Ones();
    /// Centre of voxel (0, 0, 0) in LPS, mm.
    Eigen::Vector3d origin_LPS = Eigen::Vector3d::Zero();
    /// Columns: the voxel axes in LPS (unit vectors).
    Eigen::Matrix3d direction_LPS = Eigen::Matrix3d::Identity();

    /// The origin in our world convention (RAS), mm.
    [[nodiscard]] Eigen::Vector3d origin_RAS() const;
    /// The image → world (RAS) matrix M of the class comment.
    [[nodiscard]] Eigen::Matrix4d imageToWorld() const;

    /// Why this geometry cannot place a volume read from a file: a number that is not finite, a spacing outside
    /// (1e-6, 1e4] mm, an origin coordinate beyond ±1e7 mm, or direction columns that are not unit vectors at right
    /// angles within 1e-4. Empty when it can.
    [[nodiscard]] std::string whyImplausible() const;

    /// The file geometry of an image set with its placement matrix(); empty (and `error` set, if given) when the
    /// placement's 3x3 block is not orthonormal within 1e-6 or holds non-finite numbers.
    [[nodiscard]] static std::optional<VolumeGeometry> fromImage(const SharedImageSet& image,
                                                                 std::string* error = nullptr);
};

} // namespace Kelvaros
