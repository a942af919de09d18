#include "MatrixFile.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include <fmt/format.h>

#include "core/FileSystem.h"
#include "core/Properties.h"
#include "lib/numerics/Pose.h"

namespace Kelvaros::Nav
{

namespace
{
constexpr long long kMaxBytes = 1 << 20;

/// The line's numbers when it holds exactly four and nothing else.
std::optional<Eigen::RowVector4d> matrixRow(const std::string& line)
{
    std::istringstream words(line);
    std::vector<double> numbers;
    for (std::string word; words >> word;)
    {
        char* end = nullptr;
        const double value = std::strtod(word.c_str(), &end);
        if (*end != '\0' || numbers.size() == 4)
            return std::nullopt;
        numbers.push_back(value);
    }
    if (numbers.size() != 4)
        return std::nullopt;
    return Eigen::RowVector4d(numbers[0], numbers[1], numbers[2], numbers[3]);
}

std::optional<Eigen::Matrix4d> matrixInText(const std::string& text)
{
    std::istringstream lines(text);
    Eigen::Matrix4d matrix;
    int rows = 0;
    for (std::string line; rows < 4 && std::getline(lines, line);)
    {
        const auto row = matrixRow(line);
        rows = row ? rows + 1 : 0;
        if (row)
            matrix.row(rows - 1) = *row;
    }
    return rows == 4 ? std::optional(matrix) : std::nullopt;
}

std::optional<Eigen::Matrix4d> matrixInXml(const std::string& path, const std::string& key, std::string* error)
{
    const auto properties = Properties::loadFromXmlFile(path);
    Eigen::Matrix4d matrix;
    if (!properties)
        *error = path + ": not readable as properties XML (see the message above)";
    else if (!properties->param(key, matrix))
        *error = fmt::format("{}: has no 4x4 matrix '{}'", path, key);
    else
        return matrix;
    return std::nullopt;
}

std::optional<std::string> contentOf(const std::string& path, std::string* error)
{
    if (const std::string why = FileSystem::whyNotReadable(path); !why.empty())
        *error = fmt::format("{}: cannot be read: {}", path, why);
    else if (FileSystem::fileSize(path) > kMaxBytes)
        *error = path + ": larger than 1 MiB; not a matrix file";
    else if (std::ifstream in(path, std::ios::binary); in)
        return std::string(std::istreambuf_iterator<char>(in), {});
    else
        *error = path + ": cannot be read";
    return std::nullopt;
}
} // namespace

std::optional<Eigen::Matrix4d> readMatrixFile(const std::string& path, const std::string& key, std::string* error)
{
    const auto text = contentOf(path, error);
    if (!text)
        return std::nullopt;
    const std::size_t first = text->find_first_not_of(" \t\r\n");
    const bool xml = first != std::string::npos && (*text)[first] == '<';
    const auto matrix = xml ? matrixInXml(path, key, error) : matrixInText(*text);
    if (!matrix && !xml)
        *error = path + ": holds no 4x4 matrix (four lines of four numbers)";
    if (matrix && !Pose::isRigid(*matrix))
        *error = path + ": the matrix is not a rigid transform (rotation and translation only)";
    return matrix && Pose::isRigid(*matrix) ? matrix : std::nullopt;
}

} // namespace Kelvaros::Nav
