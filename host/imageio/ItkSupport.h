#pragma once

// Internal to KelvarosImageIO: the only place besides the reader and writer that sees ITK.

#include <itkCommonEnums.h>
#include <string>

namespace itk
{
class ExceptionObject;
}

namespace Kelvaros::ItkSupport
{

/// The first line of an ITK message that says what is wrong: location lines ("ERROR: In file, line n"), lead-ins
/// that only announce more text ("Error reading x:") and object addresses ("NrrdImageIO (0x55..): ") are dropped.
[[nodiscard]] std::string usefulLine(const std::string& text);
[[nodiscard]] std::string reason(const itk::ExceptionObject& exception);

/// "uint8", "int16", "float32", ... as VolumeIO::FileInfo names them; "unknown" for anything else.
[[nodiscard]] const char* voxelTypeName(itk::IOComponentEnum type);

/// Sends ITK's own warnings and messages to the host log (category "VolumeIO") instead of stderr. Idempotent and
/// thread-safe.
void routeMessagesToLog();

} // namespace Kelvaros::ItkSupport
