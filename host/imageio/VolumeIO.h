#pragma once

#include <cstdint>
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
/// Files are outside input: every failure (missing file, a pipe or device instead of a file, unknown format,
/// truncated or malformed content, compressed data that do not inflate completely to the announced size, more than
/// maxVoxels() voxels or more memory than memoryBudgetBytes() claimed by a header, several components or a fourth
/// dimension, an implausible placement) is refused with one Error in the host log (category "VolumeIO") naming the
/// file and what is wrong, and the same text in the result. Nothing throws.
///
/// A placement is plausible when every number in it is finite, each spacing lies in (1e-6, 1e4] mm, each origin
/// coordinate within ±1e7 mm, and the direction columns are unit vectors at right angles to each other within 1e-4
/// (rounded DICOM orientations still pass; a shear or a scale does not).
///
/// Reading converts into the volume's own float voxels: its peak is the volume (4 bytes per voxel) plus, for files
/// stored in 8-byte types or read by ITK's NIfTI library, the stored voxels, plus one slice for a DICOM series.
///
/// Stateless apart from the memory budget; load() may be called from any thread, on different files at the same
/// time.
class Progress;

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

    /// The most memory one load() may need at its peak before it is refused, in bytes: a quarter of the machine's
    /// physical memory unless set.
    [[nodiscard]] static uint64_t memoryBudgetBytes();
    /// Sets the budget (tests and fuzzers use a small one); 0 returns to the default. Thread-safe.
    static void setMemoryBudgetBytes(uint64_t bytes);

    /// Reads a volume file or a DICOM series. A progress, when given, hears of each slice of a series and of the
    /// steps around a file's one read (on the calling thread); once it was canceled the load stops at the next step
    /// with an error that says so, logged as information.
    [[nodiscard]] static LoadResult load(const std::string& path, Progress* progress = nullptr);

    /// Writes image 0 of `image` as .nrrd or .mha (by the path's extension), gzip-compressed. The voxel type is the
    /// smallest integer type that holds every value exactly (uint8, int8, uint16, int16, uint32, int32), float32
    /// otherwise. The file is written through AtomicFile: a failed write (a full disk) leaves an existing file
    /// untouched, and a device or pipe is written in place. A MetaImage file reads back bit-identical in voxels and
    /// matrix; NRRD stores spacing times direction, which the reader splits again, so its geometry returns within
    /// rounding (about 1e-15 relative). Returns an empty string on success, else the reason (also logged).
    [[nodiscard]] static std::string save(const SharedImageSet& image, const std::string& path);
};

} // namespace Kelvaros
