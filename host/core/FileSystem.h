#pragma once

#include <string>

#include "core/Export.h"

namespace Kelvaros::FileSystem
{
/// True when a file or folder is there (false for an empty path or when it cannot be checked).
KELVAROS_API bool exists(const std::string& path);
/// True for a path without a root ("a/b", "", "./x").
KELVAROS_API bool isRelative(const std::string& path);
/// Resolves a relative path against `base` (the current directory when empty) and normalises it
/// (no "." or ".." left, no trailing separator); an absolute path is only normalised. A relative `base` is first
/// resolved against the current directory. Purely textual: symbolic links are not followed.
KELVAROS_API std::string makeAbsolute(const std::string& path, const std::string& base = std::string());
/// The folder part of a path ("" for a bare file name).
KELVAROS_API std::string parentDirectory(const std::string& path);
/// True when both paths name one existing file, also through links (same device and inode).
KELVAROS_API bool isSameFile(const std::string& first, const std::string& second);
/// The folder of the running executable (from /proc/self/exe; empty when that cannot be read).
KELVAROS_API std::string executableDirectory();
} // namespace Kelvaros::FileSystem
