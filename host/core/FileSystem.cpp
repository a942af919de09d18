#include "core/FileSystem.h"

#include <filesystem>
#include <system_error>

namespace Kelvaros::FileSystem
{

namespace fs = std::filesystem;

namespace
{
/// lexically_normal keeps a trailing separator ("a/b/.." gives "a/"); paths are compared and joined as text
/// elsewhere, so it is dropped, except for the root itself.
std::string normalised(const fs::path& path)
{
    std::string text = path.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}
} // namespace

bool exists(const std::string& path)
{
    std::error_code error;
    return !path.empty() && fs::exists(fs::path(path), error);
}

std::string whyNotReadable(const std::string& path, bool folderAllowed)
{
    std::error_code error;
    const fs::file_status status = fs::status(fs::path(path), error);
    if (path.empty() || status.type() == fs::file_type::not_found)
        return "no such file";
    if (error)
        return error.message();
    switch (status.type())
    {
        case fs::file_type::regular:
            return {};
        case fs::file_type::directory:
            return folderAllowed ? std::string() : std::string("a folder, not a file");
        case fs::file_type::fifo:
            return "a pipe (FIFO), not a file";
        case fs::file_type::block:
        case fs::file_type::character:
            return "a device, not a file";
        case fs::file_type::socket:
            return "a socket, not a file";
        default:
            return "not a regular file";
    }
}

long long fileSize(const std::string& path)
{
    std::error_code error;
    const auto size = fs::file_size(fs::path(path), error);
    return error ? -1 : static_cast<long long>(size);
}

bool isRelative(const std::string& path)
{
    return fs::path(path).is_relative();
}

std::string makeAbsolute(const std::string& path, const std::string& base)
{
    const fs::path p(path);
    if (p.is_absolute())
        return normalised(p);
    fs::path root;
    std::error_code error;
    const fs::path current = fs::current_path(error);
    if (base.empty())
        root = current;
    else if (fs::path(base).is_relative())
        root = current / base;
    else
        root = base;
    return normalised(root / p);
}

std::string parentDirectory(const std::string& path)
{
    return fs::path(path).parent_path().string();
}

bool isSameFile(const std::string& first, const std::string& second)
{
    std::error_code error;
    return fs::equivalent(fs::path(first), fs::path(second), error) && !error;
}

std::string executableDirectory()
{
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string() : executable.parent_path().string();
}

} // namespace Kelvaros::FileSystem
