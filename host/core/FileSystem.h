#pragma once

#include <string>

#include "core/Export.h"

namespace Kelvaros::FileSystem
{
KELVAROS_API bool exists(const std::string& path);
KELVAROS_API bool isRelative(const std::string& path);
/// Resolves a relative path against `base` (the current directory when empty) and normalises it
/// (no "." or ".." left); an absolute path is only normalised.
KELVAROS_API std::string makeAbsolute(const std::string& path, const std::string& base = std::string());
/// The folder part of a path ("" for a bare file name).
KELVAROS_API std::string parentDirectory(const std::string& path);
/// The folder of the running executable.
KELVAROS_API std::string executableDirectory();
} // namespace Kelvaros::FileSystem
