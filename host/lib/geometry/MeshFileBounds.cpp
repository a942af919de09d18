#include "lib/geometry/MeshFileBounds.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include <fmt/format.h>

namespace Kelvaros
{

namespace
{

/// Bytes of a PLY scalar type in a binary file; 0 for a name that is no PLY type.
std::uint64_t plyTypeSize(std::string_view type)
{
    static const std::map<std::string_view, std::uint64_t> sizes = {
        { "char", 1 },   { "int8", 1 },    { "uchar", 1 },  { "uint8", 1 },  { "short", 2 }, { "int16", 2 },
        { "ushort", 2 }, { "uint16", 2 },  { "int", 4 },    { "int32", 4 },  { "uint", 4 },  { "uint32", 4 },
        { "float", 4 },  { "float32", 4 }, { "double", 8 }, { "float64", 8 }
    };
    const auto size = sizes.find(type);
    return size == sizes.end() ? 0 : size->second;
}

std::vector<std::string_view> words(std::string_view line)
{
    std::vector<std::string_view> result;
    std::size_t i = 0;
    while (i < line.size())
    {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        const std::size_t begin = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            ++i;
        if (i > begin)
            result.push_back(line.substr(begin, i - begin));
    }
    return result;
}

/// A count of decimal digits, saturating rather than wrapping, so that no announced count can look small.
std::optional<std::uint64_t> parseCount(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text)
    {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value > std::numeric_limits<std::uint64_t>::max() / 20 ? std::numeric_limits<std::uint64_t>::max()
                                                                       : value * 10 + std::uint64_t(c - '0');
    }
    return value;
}

struct PlyElement
{
    std::string name;
    std::uint64_t count = 0;
    std::uint64_t binaryBytes = 0; // the least bytes one element takes in a binary file
    std::uint64_t numbers = 0;     // the least numbers one element holds (a list at least its length)
};

/// The part of a PLY header that decides how much data the file must hold.
struct PlyHeader
{
    bool ascii = false;
    bool formatSeen = false;
    std::size_t dataOffset = 0;
    std::vector<PlyElement> elements;

    /// Empty when the line was understood (or does not matter), else why the header is refused.
    std::string addLine(std::string_view line, int number)
    {
        const std::vector<std::string_view> w = words(line);
        if (w.empty())
            return {};
        if (w[0] == "format" && w.size() >= 2)
        {
            formatSeen = true;
            ascii = w[1] == "ascii";
            if (ascii || w[1] == "binary_little_endian" || w[1] == "binary_big_endian")
                return {};
            return fmt::format("line {} of the PLY header names an unknown format", number);
        }
        // Matched as prefixes: a keyword run into the next word is taken by assimp's parser, and an element
        // missed here would escape the bounds.
        if (startsWith(line, "element"))
        {
            const std::vector<std::string_view> rest = words(afterKeyword(line, "element"));
            const auto count = rest.size() == 2 ? parseCount(rest[1]) : std::nullopt;
            if (!count)
                return fmt::format("line {} of the PLY header is not 'element NAME COUNT'", number);
            elements.push_back({ std::string(rest[0]), *count, 0, 0 });
            return {};
        }
        if (startsWith(line, "property") && !elements.empty())
            return addProperty(words(afterKeyword(line, "property")), number);
        return {};
    }

private:
    static bool startsWith(std::string_view line, std::string_view keyword)
    {
        const std::vector<std::string_view> w = words(line);
        return !w.empty() && w[0].substr(0, keyword.size()) == keyword;
    }

    static std::string_view afterKeyword(std::string_view line, std::string_view keyword)
    {
        return line.substr(line.find(keyword) + keyword.size());
    }

    /// The words after "property": TYPE NAME or list COUNTTYPE ITEMTYPE NAME.
    std::string addProperty(const std::vector<std::string_view>& w, int number)
    {
        const bool list = !w.empty() && w[0] == "list";
        const std::uint64_t bytes = w.empty() ? 0 : plyTypeSize(list ? (w.size() >= 2 ? w[1] : "") : w[0]);
        if (bytes == 0 || (list && (w.size() < 3 || plyTypeSize(w[2]) == 0)))
            return fmt::format("line {} of the PLY header is not a property of a PLY type", number);
        elements.back().binaryBytes += bytes;
        elements.back().numbers += 1;
        return {};
    }
};

/// Reads the header up to end_header; the reason for a refusal, else empty with `header` filled in.
std::string readPlyHeader(std::string_view text, PlyHeader& header)
{
    if (text.substr(0, 3) != "ply" || (text.size() > 3 && text[3] != '\n' && text[3] != '\r'))
        return "not a PLY file (it does not begin with 'ply')";
    std::size_t position = 0;
    for (int number = 1; position < text.size(); ++number)
    {
        const std::size_t end = std::min(text.find('\n', position), text.size());
        const std::string_view line = text.substr(position, end - position);
        position = end + 1;
        if (words(line) == std::vector<std::string_view>{ "end_header" })
        {
            if (!header.formatSeen)
                return "the PLY header names no format";
            header.dataOffset = std::min(position, text.size());
            return {};
        }
        if (std::string reason = header.addLine(line, number); !reason.empty())
            return reason;
    }
    return "the PLY header has no 'end_header'";
}

std::string announced(std::uint64_t count, const char* what, std::uint64_t limit)
{
    return fmt::format("it announces {} {}; meshes of more than {} {} are not read", count, what, limit, what);
}

} // namespace

std::string MeshFileBounds::whyRefused(const char* bytes, std::size_t size, const std::string& extension)
{
    if (extension == "ply")
        return checkPly(bytes, size);
    if (extension == "stl")
        return checkStl(bytes, size);
    if (extension == "obj")
        return checkObj(bytes, size);
    return {};
}

std::string MeshFileBounds::checkPly(const char* bytes, std::size_t size)
{
    PlyHeader header;
    if (std::string reason = readPlyHeader(std::string_view(bytes, size), header); !reason.empty())
        return reason;
    const std::uint64_t available = size - header.dataOffset;
    std::uint64_t needed = 0;
    for (const PlyElement& element : header.elements)
    {
        // An element without properties still costs the parser an entry, so it counts as one byte.
        const std::uint64_t each = std::max<std::uint64_t>(1, header.ascii ? 2 * element.numbers : element.binaryBytes);
        // The last number of an ASCII file may lack its separator.
        if (element.count > (available + 1) / each || needed + element.count * each > available + 1)
            return fmt::format("its header announces {} '{}' elements, which need at least {} bytes each, but the "
                               "file holds {} bytes after its header",
                               element.count, element.name, each, available);
        needed += element.count * each;
        if (element.name == "vertex" && element.count > kMaxVertices)
            return announced(element.count, "vertices", kMaxVertices);
        if (element.name == "face" && element.count > kMaxFaces)
            return announced(element.count, "faces", kMaxFaces);
    }
    return {};
}

std::string MeshFileBounds::checkStl(const char* bytes, std::size_t size)
{
    if (size < 84)
        return {}; // too short for a binary STL: an ASCII one is bounded by its size
    std::uint32_t triangles = 0;
    std::memcpy(&triangles, bytes + 80, sizeof triangles); // little endian, as the format and this host are
    const std::uint64_t binarySize = 84 + 50 * std::uint64_t(triangles);
    if (binarySize == size)
        return triangles > kMaxFaces ? announced(triangles, "triangles", kMaxFaces) : std::string();
    // A parser that computes the expected size in 32 bits takes a file whose size matches modulo 2^32 as binary.
    if (std::uint32_t(binarySize) == std::uint32_t(size))
        return fmt::format("it announces {} binary triangles, which need {} bytes, but the file has {}", triangles,
                           binarySize, size);
    return {};
}

std::string MeshFileBounds::checkObj(const char* bytes, std::size_t size)
{
    std::uint64_t vertices = 0;
    std::uint64_t faces = 0;
    const std::string_view text(bytes, size);
    for (std::size_t position = 0; position < size;)
    {
        const std::size_t end = std::min(text.find('\n', position), size);
        const std::string_view line = text.substr(position, std::min<std::size_t>(end - position, 2));
        vertices += line == "v " || line == "v\t";
        faces += line == "f " || line == "f\t";
        position = end + 1;
    }
    if (vertices > kMaxVertices)
        return announced(vertices, "vertices", kMaxVertices);
    if (faces > kMaxFaces)
        return announced(faces, "faces", kMaxFaces);
    return {};
}

} // namespace Kelvaros
