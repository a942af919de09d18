#pragma once

#include <memory>
#include <string>

#include "core/Export.h"
#include "lib/SharedImageSet.h"

#include "imageio/VolumeGeometry.h"

namespace Kelvaros
{

/// Reads and writes image volumes: NRRD (.nrrd, .nhdr), NIfTI (.nii, .nii.gz), MetaImage (.mha, .mhd) and DICOM
/// series (a folder, or any file of the series). The placement follows VolumeGeometry: files are LPS, our world is
/// RAS, and voxel data keep their order.
///
/// Files are outside input: every failure (missing file, unknown format, truncated or malformed content, more than
/// maxVoxels() voxels claimed by a header, several components or a fourth dimension) is refused with one Error in
/// the host log (category "VolumeIO") naming the file and what is wrong, and the same text in the result. Nothing
/// throws.
///
/// Stateless; both functions may be called from any thread, on different files at the same time.
class KELVAROS_API VolumeIO
{
public:
    /// What a volume file states, before its voxels are converted to float.
    struct FileInfo
    {
        /// "NRRD", "NIfTI", "MetaImage" or "DICOM".
        std::string format;
        /// The voxel type stored: "uint8", "int8", "uint16", "int16", "uint32", "int32", "uint64", "int64",
        /// "float32" or "float64".
        std::string voxelType;
        VolumeGeometry geometry;
        /// Files read: the slices of a DICOM series, else 1.
        int fileCount = 1;
    };

    struct LoadResult
    {
        /// The volume (float voxels, name = the file's stem, matrix = VolumeGeometry::imageToWorld()); null on
        /// failure.
        std::unique_ptr<SharedImageSet> image;
        FileInfo info;
        /// Why loading failed; empty on success.
        std::string error;
    };

    /// Headers that claim more voxels than this (2^31) are refused before any voxel memory is allocated.
    [[nodiscard]] static constexpr double maxVoxels() { return 2147483648.0; }

    /// Reads a volume file or a DICOM series.
    [[nodiscard]] static LoadResult load(const std::string& path);

    /// Writes image 0 of `image` as .nrrd or .mha (by the path's extension), gzip-compressed. The voxel type is the
    /// smallest integer type that holds every value exactly (uint8, int8, uint16, int16, uint32, int32), float32
    /// otherwise. The file is written through AtomicFile: a failed write (a full disk) leaves an existing file
    /// untouched, and a device or pipe is written in place. A MetaImage file reads back bit-identical in voxels and
    /// matrix; NRRD stores spacing times direction, which the reader splits again, so its geometry returns within
    /// rounding (about 1e-15 relative). Returns an empty string on success, else the reason (also logged).
    [[nodiscard]] static std::string save(const SharedImageSet& image, const std::string& path);
};

} // namespace Kelvaros
