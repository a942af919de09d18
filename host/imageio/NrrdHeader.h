#pragma once

// Internal to KelvarosImageIO: what the reader checks in a NRRD header before ITK's NRRD library sees it.

#include <string>

namespace Kelvaros
{

/// The NRRD library behind ITK formats an unrecognised header line into a fixed-size stack buffer (a long line
/// overflows it and ends the process), and opens whatever its "data file" field names (a pipe would block it
/// forever). This class refuses both before the library runs.
class NrrdHeader
{
public:
    /// Why the header of `path` cannot be handed to the NRRD library; empty when it can.
    [[nodiscard]] static std::string whyUnsafe(const std::string& path);
};

} // namespace Kelvaros
