#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"

namespace Kelvaros
{

/// Looks at DICOM files before any DICOM library does, so that a damaged or hostile file is refused with a reason
/// instead of crashing the reader, making it allocate what a length field claims, or yielding uninitialised voxels.
///
/// The check walks the data set element by element with its own small parser: the Part 10 preamble and file meta
/// group (or a raw data set in implicit or explicit VR little endian), then every element up to the Pixel Data,
/// sequences and items included. Every length must lie within the file, undefined lengths are accepted only where
/// the standard has them (sequences, items, encapsulated Pixel Data), tags must ascend within a data set, and the
/// number of elements, the nesting depth and the header bytes read are bounded. Native pixel data must hold every
/// voxel that Rows, Columns, Samples per Pixel, Number of Frames and Bits Allocated announce, and the decoded pixels
/// of a file must fit a caller's budget. Only header bytes are read: native pixel data is never touched, and of
/// encapsulated pixel data only the eight-byte item headers.
///
/// Nothing throws and nothing is logged: the results say why, and the reader that asked reports it once. Stateless;
/// every function may be called from any thread.
class KELVAROS_API DicomScanner
{
public:
    /// Decoded pixel bytes that one file may hold unless the caller says otherwise (1 GiB).
    static constexpr long long kDefaultMaxPixelBytes = 1LL << 30;
    /// Files of a folder that are looked at; entries past this are ignored and said so.
    static constexpr int kMaxFolderEntries = 100000;

    /// What the header of an accepted file states.
    struct FileFacts
    {
        /// As given to checkFile() (empty for checkBytes()).
        std::string path;
        std::string transferSyntax;
        /// Pixel data in fragments (a compressed transfer syntax), else native.
        bool encapsulated = false;
        std::string sopClassUid;
        std::string sopInstanceUid;
        std::string seriesUid;
        /// Image Position Patient: the centre of the first voxel, LPS, mm.
        std::optional<Eigen::Vector3d> position;
        /// Image Orientation Patient: the row and column directions (unit vectors at right angles), LPS.
        std::optional<Eigen::Vector3d> rowDirection;
        std::optional<Eigen::Vector3d> columnDirection;
        int rows = 0;
        int columns = 0;
        int samplesPerPixel = 1;
        int bitsAllocated = 0;
        long long frames = 1;
        /// Where the Pixel Data value starts in the file, and its length (-1 when encapsulated).
        long long pixelOffset = 0;
        long long pixelLength = 0;
        /// Bytes of all frames once decoded.
        long long decodedBytes = 0;
    };

    /// The facts of a file, or why it is refused (`reason` non-empty, facts then incomplete).
    struct FileCheck
    {
        FileFacts facts;
        std::string reason;
        [[nodiscard]] bool ok() const { return reason.empty(); }
    };

    /// Files of one Series Instance UID that share one geometry, ordered along the slice normal.
    struct Series
    {
        std::string uid;
        std::vector<FileFacts> files;
        /// Worth a log line but no reason to refuse: an order that fell back on file names.
        std::string warning;
        /// Why the files do not make a volume (a repeated position, uneven spacing, positions on only some files, mixed
        /// geometry).
        std::string refusal;
    };

    struct SkippedFile
    {
        std::string path;
        std::string reason;
    };

    struct FolderScan
    {
        std::string folder;
        /// Largest first; within a series the files are sorted and checked as by checkSeries().
        std::vector<Series> series;
        std::vector<SkippedFile> skipped;
        /// Entries of the folder looked at (sub-folders not counted).
        int fileCount = 0;
        /// Why the folder itself could not be scanned, or that it held too many entries; empty otherwise.
        std::string error;
    };

    /// Checks one file; the result's facts carry `path`.
    [[nodiscard]] static FileCheck checkFile(const std::string& path, long long maxPixelBytes = kDefaultMaxPixelBytes);
    /// The same check on a whole file held in memory (no I/O, no logging).
    [[nodiscard]] static FileCheck checkBytes(std::string_view bytes, long long maxPixelBytes = kDefaultMaxPixelBytes);

    /// Checks every regular file of `folder` (not its sub-folders) and groups the accepted ones into series.
    [[nodiscard]] static FolderScan scanFolder(const std::string& folder,
                                               long long maxPixelBytes = kDefaultMaxPixelBytes);

    /// Orders `series.files` along the slice normal (file names first, so ties and files without positions keep
    /// that order) and sets its warning and refusal.
    static void checkSeries(Series& series);

    /// One sentence for the log about the files of `scan` that are not in `chosen`, e.g. "3 of 120 files in
    /// /data/ct skipped: scout.dcm: no Pixel Data (7FE0,0010)"; empty when every file is in `chosen`.
    [[nodiscard]] static std::string skippedSummary(const FolderScan& scan, const Series& chosen);
};

} // namespace Kelvaros
