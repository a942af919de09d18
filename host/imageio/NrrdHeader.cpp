#include "imageio/NrrdHeader.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <fmt/format.h>

#include "core/FileSystem.h"

namespace Kelvaros
{

namespace
{
/// The library's message buffer holds about 1 KB with its own text around the line.
constexpr size_t kMaxLine = 800;
constexpr size_t kMaxHeader = 64 * 1024;

std::string whyDataFileUnsafe(const std::string& header, std::string value)
{
    value = value.substr(std::min(value.find_first_not_of(' '), value.size()));
    if (value.find_first_of(" %") != std::string::npos || value.rfind("LIST", 0) == 0)
        return fmt::format("its data file '{}' names several files, which this reader does not read", value);
    const std::filesystem::path file(value);
    const std::string path = file.is_absolute() ? value : (std::filesystem::path(header).parent_path() / file).string();
    const std::string why = FileSystem::whyNotReadable(path);
    return why.empty() ? std::string() : fmt::format("its data file '{}' is {}", path, why);
}
} // namespace

std::string NrrdHeader::whyUnsafe(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::string line;
    size_t read = 0;
    while (read < kMaxHeader && std::getline(file, line) && !line.empty() && line != "\r")
    {
        read += line.size() + 1;
        if (line.size() > kMaxLine)
            return fmt::format("a header line of {} characters; this reader takes at most {}", line.size(), kMaxLine);
        for (const char* key : { "data file:", "datafile:" })
            if (line.rfind(key, 0) == 0)
                return whyDataFileUnsafe(path, line.substr(std::string(key).size()));
    }
    return {};
}

} // namespace Kelvaros
