#pragma once

// Internal to KelvarosImageIO: what the reader checks in a NIfTI file before ITK's NIfTI library sees it.

#include <cstdint>
#include <optional>
#include <string>

namespace Kelvaros
{

/// The NIfTI-1 header (348 bytes, either byte order, .nii or .nii.gz) as far as it decides whether a file can be
/// handed to ITK: the NIfTI library behind it asserts (and so ends the process) on non-finite orientation numbers,
/// and reads missing voxels as whatever memory held. Only single-file NIfTI-1 ("n+1") is accepted; NIfTI-2 and
/// header/image pairs are refused by name.
class NiftiHeader
{
public:
    /// Reads and checks the header; empty, with `error` set to the reason, when it cannot be used.
    [[nodiscard]] static std::optional<NiftiHeader> read(const std::string& path, std::string& error);

    /// Bytes of the file (inflated, for .nii.gz) that the header announces: the offset of the voxels plus their
    /// size as stored.
    [[nodiscard]] uint64_t announcedBytes() const { return m_dataOffset + m_dataBytes; }
    /// The voxels as stored, before any scaling to float.
    [[nodiscard]] uint64_t dataBytes() const { return m_dataBytes; }

    /// Why the file holds fewer bytes than announced or its compressed data are broken; empty when complete.
    /// Inflates a .nii.gz once through a fixed buffer.
    [[nodiscard]] std::string whyIncomplete(const std::string& path) const;

private:
    uint64_t m_dataOffset = 0;
    uint64_t m_dataBytes = 0;
};

} // namespace Kelvaros
