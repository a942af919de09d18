#pragma once

// Internal to KelvarosImageIO: where a MetaImage file keeps its voxels, to check them before ITK reads them.

#include <cstdint>
#include <optional>
#include <string>

namespace Kelvaros
{

/// The part of a MetaImage header (key = value lines up to ElementDataFile) that says where the voxels are and
/// how they are stored. ITK's MetaIO reads missing or undecodable voxels as whatever memory held; this class checks
/// the file sizes and inflates compressed data once through a fixed buffer before any voxel memory is allocated.
class MetaImageData
{
public:
    /// Parses the header of `path`; empty, with `error` set, when the voxels' place cannot be determined or is a
    /// form this reader does not read (a list or a pattern of slice files), the data file is no regular file, or
    /// NDims is not 1 to 10 (MetaIO would read that many numbers per field, without end for a negative count), or a
    /// name, comment or type is longer than MetaIO's fixed buffers.
    [[nodiscard]] static std::optional<MetaImageData> locate(const std::string& path, std::string& error);

    /// Why the stored voxels are not `bytes` bytes, completely; empty when they are.
    [[nodiscard]] std::string whyIncomplete(uint64_t bytes) const;

    /// The bytes of compressed data that ITK holds in memory while it inflates them (0 when not compressed).
    [[nodiscard]] uint64_t compressedBytesHeld() const;

private:
    std::string m_dataFile;
    uint64_t m_headerEnd = 0;
    long long m_headerSize = 0;
    bool m_compressed = false;
    long long m_compressedSize = -1;
    uint64_t m_fileSize = 0;

    bool parseLine(const std::string& key, const std::string& value, std::string& error);
    [[nodiscard]] std::optional<uint64_t> dataStart(uint64_t bytes, std::string& error) const;
};

} // namespace Kelvaros
