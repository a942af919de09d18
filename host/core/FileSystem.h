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
/// Why `path` cannot be read as input: empty when it is a regular file (or, with `folderAllowed`, a folder),
/// links followed; else "no such file", "a folder, not a file", "a pipe (FIFO), not a file", "a device, not a
/// file", "a socket, not a file" or the system's reason. Opening a pipe or a device such as /dev/zero would block
/// or never end, so every reader of outside input asks this first.
KELVAROS_API std::string whyNotReadable(const std::string& path, bool folderAllowed = false);
/// The size of a regular file in bytes; -1 when it cannot be read.
KELVAROS_API long long fileSize(const std::string& path);
/// The folder of the running executable (from /proc/self/exe; empty when that cannot be read).
KELVAROS_API std::string executableDirectory();
} // namespace Kelvaros::FileSystem
