#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/Export.h"

namespace Kelvaros
{

/// The one way this program writes a file: either the whole new content replaces the old file, or the old file is
/// left exactly as it was.
///
/// open() creates a temporary file in the target's folder (so that a folder we cannot write is found before any
/// work is done), write() appends to it through a buffer, and commit() flushes, checks, fsyncs, renames it over the
/// target and fsyncs the folder. Every failure is sticky: later calls fail too, commit() removes the temporary file,
/// and error() holds "<path>: cannot write: <system reason>". Destroying an uncommitted file discards it.
///
/// A symbolic link is followed: the file it points to is replaced, the link stays. A target that exists but is
/// not a regular file (a device such as /dev/null or /dev/full, a pipe) cannot be replaced; it is written
/// directly, and its write errors are reported the same way.
///
/// Not thread-safe: one thread at a time.
class KELVAROS_API AtomicFile
{
public:
    explicit AtomicFile(std::string path);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    /// Creates the temporary file (or opens the device). False with error() set when it cannot.
    [[nodiscard]] bool open();
    /// Appends bytes; false once anything failed.
    [[nodiscard]] bool write(std::string_view bytes);
    /// Overwrites bytes already written at `offset` (a count fixed at the end in a header); the range must lie
    /// within what was written. Skipped on a device or pipe, which cannot seek back.
    [[nodiscard]] bool overwrite(int64_t offset, std::string_view bytes);
    /// Makes the written content the file's. False (old file untouched) when any step failed.
    [[nodiscard]] bool commit();
    /// Drops what was written; the old file stays.
    void discard();

    /// Bytes written so far.
    [[nodiscard]] int64_t size() const { return m_size; }
    [[nodiscard]] const std::string& error() const { return m_error; }
    [[nodiscard]] const std::string& path() const { return m_path; }

    /// Writes a whole file at once; false with `error` (if given) set to the reason.
    [[nodiscard]] static bool writeFile(const std::string& path, std::string_view bytes, std::string* error = nullptr);

private:
    bool flushBuffer();
    bool failWith(int errorNumber, const char* context = "");

    std::string m_path;
    std::string m_target; // m_path with symbolic links resolved
    std::string m_temporary;
    std::string m_buffer;
    std::string m_error;
    int64_t m_size = 0;
    int m_fd = -1;
    bool m_direct = false;
    bool m_failed = false;
    bool m_committed = false;
};

} // namespace Kelvaros
