#include "PointListFile.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <fmt/format.h>

#include "core/FileSystem.h"
#include "stream/io/BoundedLineReader.h"

namespace Kelvaros::Nav
{

namespace
{
std::vector<std::string> fields(const std::string& line)
{
    std::vector<std::string> result;
    std::string current;
    for (char c : line)
    {
        if (c == ' ' || c == '\t' || c == ',' || c == ';' || c == '\r')
        {
            if (!current.empty())
                result.push_back(current);
            current.clear();
        }
        else
            current += c;
    }
    if (!current.empty())
        result.push_back(current);
    return result;
}

std::optional<double> parseNumber(const std::string& text)
{
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(value))
        return std::nullopt;
    return value;
}

bool isComment(const std::vector<std::string>& parts)
{
    return parts.empty() || parts.front().front() == '#';
}

bool hasNumber(const std::vector<std::string>& parts)
{
    for (const auto& part : parts)
        if (parseNumber(part))
            return true;
    return false;
}
} // namespace

std::optional<Eigen::Vector3d> parsePoint(const std::string& text)
{
    const auto parts = fields(text);
    if (parts.size() != 3)
        return std::nullopt;
    Eigen::Vector3d point;
    for (int i = 0; i < 3; ++i)
    {
        const auto value = parseNumber(parts[i]);
        if (!value)
            return std::nullopt;
        point[i] = *value;
    }
    return point;
}

std::optional<std::vector<Eigen::Vector3d>> readPointList(const std::string& path, std::string* error)
{
    std::error_code folderError;
    if (std::filesystem::is_directory(path, folderError))
    {
        *error = fmt::format("{}: is a folder, not a point list", path);
        return std::nullopt;
    }
    // A pipe would block the open, a device such as /dev/zero never end.
    if (const std::string why = FileSystem::whyNotReadable(path); !why.empty())
    {
        *error = fmt::format("{}: cannot be read: {}", path, why);
        return std::nullopt;
    }
    std::ifstream in(path);
    if (!in)
    {
        *error = fmt::format("{}: cannot be read", path);
        return std::nullopt;
    }
    std::vector<Eigen::Vector3d> points;
    std::string line;
    bool firstContentLine = true;
    BoundedLineReader lines(in);
    for (BoundedLineReader::Result result; (result = lines.next(line)) != BoundedLineReader::Result::End;)
    {
        const int number = lines.lineNumber();
        if (result == BoundedLineReader::Result::TooLong)
        {
            *error = fmt::format("{}: line {} is longer than {}; not a point list", path, number,
                                 BoundedLineReader::limitText());
            return std::nullopt;
        }
        const auto parts = fields(line);
        if (isComment(parts))
            continue;
        const bool header = firstContentLine && !hasNumber(parts);
        firstContentLine = false;
        if (header)
            continue;
        const auto point = parsePoint(line);
        if (!point)
        {
            *error = parts.size() != 3
                       ? fmt::format("{}:{}: expected 3 coordinates, found {}", path, number, parts.size())
                       : fmt::format("{}:{}: coordinates must be finite numbers", path, number);
            return std::nullopt;
        }
        points.push_back(*point);
    }
    if (points.empty())
    {
        *error = fmt::format("{}: holds no points", path);
        return std::nullopt;
    }
    return points;
}

} // namespace Kelvaros::Nav
