#pragma once

#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>
#include <Eigen/Geometry>

#include "core/Export.h"
#include "lib/Data.h"

namespace Kelvaros
{

/// A set of images of one size and spacing placed in world space: a volume (one 3D image, as from CT or MRI) or a
/// series of 2D frames (see TrackedSharedImageSet). Voxel values are float, stored x fastest, then y, then z.
///
/// Frames, all in millimetres except the voxel frame:
/// - voxel: continuous voxel indices, voxel centres at integers, (0, 0, 0) the first voxel;
/// - image: axes along the voxel grid, origin at the centre of the grid. With dimensions d and spacing s,
///   p_image = (v - (d - 1) / 2) ∘ s, so the grid's outer faces (v = -0.5 and v = d - 0.5) lie at ±d ∘ s / 2;
/// - data: the image frame of the set (for a tracked set, every frame has its own pose in data space);
/// - world: p_world = matrix(i) · p_image, where matrix(i) is the image → world matrix of image i. For a volume
///   that is Data::matrix(), the placement set by a registration.
///
/// Centring the image frame on the volume means that the identity placement shows a new volume around the world
/// origin, and that a registration rotates the volume about its own centre.
///
/// The geometry accessors (dimensions, spacing, conversions) may be called from any thread as long as nobody
/// changes the set; the placement (matrix) is thread-safe as for every Data. Voxel content and the image list
/// are changed on the main thread only.
class KELVAROS_API SharedImageSet : public Data
{
public:
    /// One image of the given size, all voxels 0. Negative dimensions count as 0 and a spacing that is not
    /// positive as 1 mm (both logged at Warning).
    SharedImageSet(std::string name, const Eigen::Vector3i& dimensions, const Eigen::Vector3d& spacing,
                   Modality modality = Modality::NA);
    /// Deep copy (voxels, placement, components).
    SharedImageSet(const SharedImageSet& other);
    ~SharedImageSet() override;

    /// Volume when the images have more than one slice, Image for 2D images.
    [[nodiscard]] Kind kind() const override;
    [[nodiscard]] Modality modality() const override { return m_modality; }
    void setModality(Modality modality) { m_modality = modality; }

    /// Voxels along x, y, z of every image.
    [[nodiscard]] const Eigen::Vector3i& dimensions() const { return m_dimensions; }
    /// Distance between voxel centres along x, y, z, in mm.
    [[nodiscard]] const Eigen::Vector3d& spacing() const { return m_spacing; }
    /// Size of the voxel grid, outer face to outer face (dimensions ∘ spacing), in mm.
    [[nodiscard]] Eigen::Vector3d extent() const;
    /// Voxels per image.
    [[nodiscard]] size_t numVoxels() const;

    [[nodiscard]] int numImages() const { return int(m_images.size()); }
    /// Appends an image; `voxels` must hold numVoxels() values (x fastest). Returns its index, or -1 (logged) for a
    /// wrong size.
    virtual int addImage(std::vector<float> voxels);
    /// The voxels of an image (x fastest). Precondition: 0 <= image < numImages().
    [[nodiscard]] std::vector<float>& voxels(int image = 0) { return m_images.at(size_t(image)); }
    [[nodiscard]] const std::vector<float>& voxels(int image = 0) const { return m_images.at(size_t(image)); }
    /// Position of a voxel in voxels(); precondition: contains(voxel).
    [[nodiscard]] size_t voxelIndex(const Eigen::Vector3i& voxel) const;
    [[nodiscard]] bool contains(const Eigen::Vector3i& voxel) const;
    /// Value of a voxel; precondition: contains(voxel) and a valid image.
    [[nodiscard]] float voxel(const Eigen::Vector3i& voxel, int image = 0) const;
    void setVoxel(const Eigen::Vector3i& voxel, float value, int image = 0);
    /// Trilinear interpolation at a continuous voxel position; empty outside the voxel centres' hull (a single
    /// slice accepts only z = 0).
    [[nodiscard]] std::optional<float> interpolate(const Eigen::Vector3d& voxel, int image = 0) const;

    /// The image shown when a caller asks for image -1 (0 by default).
    [[nodiscard]] int selectedImage() const { return m_selectedImage; }
    void setSelectedImage(int image);

    using Data::matrix;
    /// Image → world matrix of image `index` (-1: the selected image). All images of a plain set share the
    /// set's placement, Data::matrix(). Thread-safe.
    [[nodiscard]] virtual Eigen::Matrix4d matrix(int index) const;

    /// Voxel ↔ image (see the class comment). No bounds check: points outside the grid convert as well.
    [[nodiscard]] Eigen::Vector3d voxelToImage(const Eigen::Vector3d& voxel) const;
    [[nodiscard]] Eigen::Vector3d imageToVoxel(const Eigen::Vector3d& point) const;
    /// Image ↔ world through matrix(index).
    [[nodiscard]] Eigen::Vector3d imageToWorld(const Eigen::Vector3d& point, int index = -1) const;
    [[nodiscard]] Eigen::Vector3d worldToImage(const Eigen::Vector3d& point, int index = -1) const;
    [[nodiscard]] Eigen::Vector3d voxelToWorld(const Eigen::Vector3d& voxel, int index = -1) const;
    [[nodiscard]] Eigen::Vector3d worldToVoxel(const Eigen::Vector3d& point, int index = -1) const;

    /// Axis-aligned box of the grid of one image, in its image frame: ±extent() / 2.
    [[nodiscard]] Eigen::AlignedBox3d imageBoundingBox() const;
    /// Axis-aligned world box around the grids of every image (the eight corners of each through its matrix);
    /// empty when the set holds no image.
    [[nodiscard]] Eigen::AlignedBox3d worldBoundingBox() const;

protected:
    /// For sets that fill their images themselves: no image yet.
    struct NoImages
    {
    };
    SharedImageSet(std::string name, const Eigen::Vector3i& dimensions, const Eigen::Vector3d& spacing,
                   Modality modality, NoImages);
    /// -1 → the selected image; any other value unchanged.
    [[nodiscard]] int resolveIndex(int index) const { return index < 0 ? m_selectedImage : index; }

private:
    void validateGeometry();

    Eigen::Vector3i m_dimensions;
    Eigen::Vector3d m_spacing;
    Modality m_modality;
    std::vector<std::vector<float>> m_images;
    int m_selectedImage = 0;
};

} // namespace Kelvaros
