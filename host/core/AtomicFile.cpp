#include "core/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

#include <fmt/format.h>

namespace Kelvaros
{

namespace
{
namespace fs = std::filesystem;

// Large enough that a write() system call costs little per byte, small enough to keep memory flat.
constexpr size_t kBufferSize = 1 << 20;

std::string systemReason(int errorNumber)
{
    return std::error_code(errorNumber, std::generic_category()).message();
}

/// The file a path names once symbolic links are followed; the path itself when it is no link or the link
/// dangles (then the link is replaced, which is what a user who wrote to it expects).
std::string resolvedTarget(const std::string& path)
{
    std::error_code error;
    if (!fs::is_symlink(fs::path(path), error))
        return path;
    const fs::path target = fs::canonical(fs::path(path), error);
    return error ? path : target.string();
}

/// A name no other writer (another thread, another process) picks: process id, a counter and a random part.
std::string temporaryName(const std::string& target)
{
    static std::atomic<unsigned> counter{ 0 };
    static thread_local std::mt19937 random{ std::random_device{}() };
    const fs::path path(target);
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    return (folder / fmt::format(".{}.{}-{}-{:08x}.tmp", path.filename().string(), ::getpid(), counter++, random()))
      .string();
}

bool writeAll(int fd, const char* data, size_t size, int* errorNumber)
{
    while (size > 0)
    {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
        {
            *errorNumber = written < 0 ? errno : EIO;
            return false;
        }
        data += written;
        size -= size_t(written);
    }
    return true;
}
} // namespace

AtomicFile::AtomicFile(std::string path) : m_path(std::move(path)) {}

AtomicFile::~AtomicFile()
{
    discard();
}

bool AtomicFile::failWith(int errorNumber, const char* context)
{
    if (!m_failed)
        m_error = fmt::format("{}: cannot write{}: {}", m_path, context, systemReason(errorNumber));
    m_failed = true;
    return false;
}

bool AtomicFile::open()
{
    if (m_fd >= 0 || m_failed || m_committed)
        return !m_failed && m_fd >= 0;
    m_target = resolvedTarget(m_path);
    struct stat existing
    {
    };
    const bool exists = ::stat(m_target.c_str(), &existing) == 0;
    m_direct = exists && !S_ISREG(existing.st_mode);
    if (m_direct)
    {
        m_fd = ::open(m_target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        return m_fd >= 0 || failWith(errno);
    }
    for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt)
    {
        m_temporary = temporaryName(m_target);
        m_fd = ::open(m_temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (m_fd < 0 && errno != EEXIST)
            break;
    }
    if (m_fd < 0)
    {
        const int reason = errno;
        m_temporary.clear();
        return failWith(reason, " (creating a file in its folder)");
    }
    // The new file keeps the permissions of the one it replaces.
    if (exists && ::fchmod(m_fd, existing.st_mode & 07777) != 0)
        return failWith(errno, " (copying the permissions)");
    return true;
}

bool AtomicFile::write(std::string_view bytes)
{
    if (m_failed || m_fd < 0)
        return m_failed ? false : failWith(EBADF);
    m_buffer.append(bytes.data(), bytes.size());
    m_size += int64_t(bytes.size());
    return m_buffer.size() < kBufferSize || flushBuffer();
}

bool AtomicFile::flushBuffer()
{
    int errorNumber = 0;
    const bool ok = writeAll(m_fd, m_buffer.data(), m_buffer.size(), &errorNumber);
    m_buffer.clear();
    return ok || failWith(errorNumber);
}

bool AtomicFile::overwrite(int64_t offset, std::string_view bytes)
{
    if (m_failed || m_fd < 0)
        return m_failed ? false : failWith(EBADF);
    if (m_direct)
        return true; // a device or pipe cannot seek back; what it got stays as it was
    if (offset < 0 || offset + int64_t(bytes.size()) > m_size)
        return failWith(EINVAL, " (rewriting the header)");
    if (!flushBuffer())
        return false;
    for (size_t done = 0; done < bytes.size();)
    {
        const ssize_t written = ::pwrite(m_fd, bytes.data() + done, bytes.size() - done, off_t(offset + done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return failWith(written < 0 ? errno : EIO);
        done += size_t(written);
    }
    return true;
}

bool AtomicFile::commit()
{
    if (m_fd < 0 && !m_failed)
        failWith(EBADF);
    if (!m_failed && flushBuffer())
    {
        // A device cannot be synced (EINVAL); a regular file must be on disk before its name points at it.
        if (!m_direct && ::fsync(m_fd) != 0)
            failWith(errno, " (syncing to disk)");
        const int fd = std::exchange(m_fd, -1);
        if (::close(fd) != 0 && !m_failed)
            failWith(errno);
    }
    if (m_failed)
    {
        discard();
        return false;
    }
    if (!m_direct)
    {
        if (::rename(m_temporary.c_str(), m_target.c_str()) != 0)
        {
            failWith(errno, " (replacing the old file)");
            discard();
            return false;
        }
        m_temporary.clear();
        // The rename itself lives in the folder: without this a crash may bring back the old file.
        const fs::path folder = fs::path(m_target).has_parent_path() ? fs::path(m_target).parent_path() : ".";
        const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folderFd >= 0)
        {
            ::fsync(folderFd);
            ::close(folderFd);
        }
    }
    m_committed = true;
    return true;
}

void AtomicFile::discard()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_buffer.clear();
    if (!m_temporary.empty())
        ::unlink(m_temporary.c_str());
    m_temporary.clear();
}

bool AtomicFile::writeFile(const std::string& path, std::string_view bytes, std::string* error)
{
    AtomicFile file(path);
    const bool ok = file.open() && file.write(bytes) && file.commit();
    if (!ok && error)
        *error = file.error();
    return ok;
}

} // namespace Kelvaros
