#pragma once

// Internal to KelvarosImageIO: verifies compressed voxel data without holding them.

#include <cstdint>
#include <optional>
#include <string>

namespace Kelvaros
{

/// Inflates compressed data through a fixed buffer and only counts what comes out, so that a file can be checked
/// for corruption and truncation before any voxel memory is allocated: memory stays constant whatever the file
/// announces. Counting stops as soon as more than `limit` bytes came out.
class ZlibStream
{
public:
    /// The size of a gzip file's content (several members are read in turn; a plain file counts as itself). Empty,
    /// with `error` set, when the stream is corrupt, truncated, fails its CRC or inflates to more than `limit`.
    [[nodiscard]] static std::optional<uint64_t> gzipContentSize(const std::string& path, uint64_t limit,
                                                                 std::string& error);

    /// The size that `length` bytes at `offset` of a file inflate to, as one zlib or gzip stream. Empty, with
    /// `error` set, when the stream is corrupt, does not end within those bytes, or inflates to more than `limit`.
    [[nodiscard]] static std::optional<uint64_t> inflatedSize(const std::string& path, uint64_t offset, uint64_t length,
                                                              uint64_t limit, std::string& error);
};

} // namespace Kelvaros
