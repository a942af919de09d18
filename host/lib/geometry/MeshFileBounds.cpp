#include "lib/geometry/MeshFileBounds.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <string>
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

/// The largest length a list's count of this type can state; for a floating-point count, the file bounds it.
double plyTypeMax(std::string_view type)
{
    static const std::map<std::string_view, double> largest = {
        { "char", 127 },         { "int8", 127 },           { "uchar", 255 },         { "uint8", 255 },
        { "short", 32767 },      { "int16", 32767 },        { "ushort", 65535 },      { "uint16", 65535 },
        { "int", 2147483647.0 }, { "int32", 2147483647.0 }, { "uint", 4294967295.0 }, { "uint32", 4294967295.0 }
    };
    const auto found = largest.find(type);
    return found == largest.end() ? std::numeric_limits<double>::infinity() : found->second;
}

struct PlyProperty
{
    std::string name;
    std::string type;      // the scalar's type, or a list's item type
    std::string countType; // empty for a scalar
};

struct PlyElement
{
    std::string name;
    std::uint64_t count = 0;
    std::uint64_t binaryBytes = 0; // the least bytes one element takes in a binary file
    std::uint64_t numbers = 0;     // the least numbers one element holds (a list at least its length)
    std::vector<PlyProperty> properties;
};

/// The part of a PLY header that decides how much data the file must hold.
struct PlyHeader
{
    bool ascii = false;
    bool bigEndian = false;
    bool formatSeen = false;
    std::size_t dataOffset = 0;
    std::vector<PlyElement> elements;

    /// Empty when the line was understood (or does not matter), else why the header is refused.
    std::string addLine(std::string_view line, int number)
    {
        if (std::any_of(line.begin(), line.end(),
                        [](char c) { return (unsigned char)c < 0x20 && c != '\t' && c != '\r'; }))
            return fmt::format("line {} of the PLY header holds a control character", number);
        const std::vector<std::string_view> w = words(line);
        if (w.empty() || (number == 1 && w[0] == "ply"))
            return {};
        if (w[0] == "format")
        {
            formatSeen = true;
            ascii = w.size() == 3 && w[1] == "ascii";
            bigEndian = w.size() == 3 && w[1] == "binary_big_endian";
            if (w.size() == 3 && w[2] == "1.0" &&
                (ascii || w[1] == "binary_little_endian" || w[1] == "binary_big_endian"))
                return {};
            return fmt::format("line {} of the PLY header is not a known 'format … 1.0'", number);
        }
        // Only the header's own statements, word for word: assimp's parser takes a keyword run into the next word
        // and has been seen to spin without end on lines it half understands.
        if (w[0] == "element")
        {
            const auto count = w.size() == 3 ? parseCount(w[2]) : std::nullopt;
            if (!count || !isName(w[1]))
                return fmt::format("line {} of the PLY header is not 'element NAME COUNT'", number);
            // assimp sizes an element's storage by its first declaration and fills it by a later one.
            if (std::any_of(elements.begin(), elements.end(), [&](const PlyElement& e) { return e.name == w[1]; }))
                return fmt::format("line {} of the PLY header declares element '{}' again", number, std::string(w[1]));
            elements.push_back({ std::string(w[1]), *count, 0, 0, {} });
            return {};
        }
        if (w[0] == "property" && !elements.empty())
            return addProperty({ w.begin() + 1, w.end() }, number);
        if (w[0] == "comment" || w[0] == "obj_info")
            return {};
        return fmt::format("line {} of the PLY header is not a PLY header statement", number);
    }

private:
    /// A name as PLY writers give elements and properties: a letter, then letters, digits and underscores.
    /// assimp recognises names by their beginnings and has been seen to read a count out of a name of digits.
    static bool isName(std::string_view word)
    {
        const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
        return !word.empty() && letter(word[0]) &&
               std::all_of(word.begin(), word.end(),
                           [&letter](char c) { return letter(c) || (c >= '0' && c <= '9') || c == '_'; });
    }

    /// The words after "property": TYPE NAME or list COUNTTYPE ITEMTYPE NAME.
    std::string addProperty(const std::vector<std::string_view>& w, int number)
    {
        const bool list = !w.empty() && w[0] == "list";
        const std::uint64_t bytes = w.empty() ? 0 : plyTypeSize(list ? (w.size() >= 2 ? w[1] : "") : w[0]);
        if (bytes == 0 || w.size() != (list ? 4u : 2u) || (list && plyTypeSize(w[2]) == 0) || !isName(w.back()))
            return fmt::format("line {} of the PLY header is not a property of a PLY type", number);
        std::vector<PlyProperty>& properties = elements.back().properties;
        const std::string name(w.back());
        if (std::any_of(properties.begin(), properties.end(), [&](const PlyProperty& p) { return p.name == name; }))
            return fmt::format("line {} of the PLY header declares property '{}' again", number, name);
        properties.push_back({ name, std::string(list ? w[2] : w[0]), list ? std::string(w[1]) : std::string() });
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

/// The data of an ASCII PLY file is numbers and white space only; anything else is refused before the parser,
/// which has been seen to spin on bytes it does not expect.
std::string whyNotAsciiNumbers(std::string_view data)
{
    const auto allowed = [](char c)
    {
        // "inf" and "nan" pass here so that the vertex holding them is named when it is read.
        return (c >= '0' && c <= '9') || (c != '\0' && std::strchr("-+.eEinfaINFA \t\r\n", c) != nullptr);
    };
    const auto bad = std::find_if_not(data.begin(), data.end(), allowed);
    if (bad != data.end())
        return fmt::format("its ASCII data holds a character that is no part of a number ({} bytes after the header)",
                           bad - data.begin());
    // The parser ends a line at a carriage return too: a lone one would shift the elements against the lines the
    // data walk reads, and a list's length would be read from some other number.
    for (std::size_t at = data.find('\r'); at != std::string_view::npos; at = data.find('\r', at + 1))
        if (at + 1 == data.size() || data[at + 1] != '\n')
            return fmt::format("its ASCII data holds a carriage return that does not end a line ({} bytes after the "
                               "header)",
                               at);
    return {};
}

/// Walks a PLY file's data as its parser will and checks each list's length against its count type and the
/// bytes that remain: assimp allocates a list by the length it reads before it reads the items, so one large
/// number in a small file would otherwise claim gigabytes.
class PlyDataWalk
{
public:
    PlyDataWalk(std::string_view data, const PlyHeader& header) : m_data(data), m_header(header) {}

    /// Why the data cannot hold the elements the header declares; empty when it can.
    std::string check()
    {
        for (const PlyElement& element : m_header.elements)
            for (std::uint64_t index = 0; index < element.count; ++index)
            {
                // assimp reads an ASCII element from one line: its numbers must all be on it.
                if (m_header.ascii)
                    m_end = std::min(m_data.find('\n', m_position), m_data.size());
                for (const PlyProperty& property : element.properties)
                    if (std::string reason = checkProperty(property); !reason.empty())
                        return fmt::format("its '{}' element {} {}", element.name, index + 1, reason);
                if (m_header.ascii)
                    m_position = std::min(m_end + 1, m_data.size());
            }
        return {};
    }

private:
    std::string checkProperty(const PlyProperty& property)
    {
        if (property.countType.empty())
            return skip(property.type) ? std::string() : "is cut short";
        const std::optional<double> length = read(property.countType);
        if (!length)
            return "is cut short";
        const double itemSize = m_header.ascii ? 2.0 : double(plyTypeSize(property.type)); // a digit and a space
        const double left = double(end() - m_position) + (m_header.ascii ? 1.0 : 0.0);
        if (*length < 0 || *length != std::floor(*length) || *length > plyTypeMax(property.countType) ||
            *length * itemSize > left)
            return fmt::format("announces a list '{}' of {} items, more than its count type or the rest of its data "
                               "holds",
                               property.name, *length);
        for (std::uint64_t item = 0; item < std::uint64_t(*length); ++item)
            if (!skip(property.type))
                return "is cut short";
        return {};
    }

    /// The next ASCII word of the current line, or nothing at its end.
    std::optional<std::string_view> word()
    {
        const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
        while (m_position < m_end && space(m_data[m_position]))
            ++m_position;
        const std::size_t begin = m_position;
        while (m_position < m_end && !space(m_data[m_position]))
            ++m_position;
        if (m_position == begin)
            return std::nullopt;
        return m_data.substr(begin, m_position - begin);
    }

    /// Where the current element's data ends: its line in an ASCII file, the data in a binary one.
    [[nodiscard]] std::size_t end() const { return m_header.ascii ? m_end : m_data.size(); }

    bool skip(const std::string& type)
    {
        if (m_header.ascii)
            return word().has_value();
        const std::uint64_t size = plyTypeSize(type);
        if (m_data.size() - m_position < size)
            return false;
        m_position += size;
        return true;
    }

    std::optional<double> read(const std::string& type)
    {
        if (m_header.ascii)
        {
            const std::optional<std::string_view> text = word();
            if (!text)
                return std::nullopt;
            const std::string copy(*text);
            char* end = nullptr;
            const double value = std::strtod(copy.c_str(), &end);
            return end == copy.c_str() + copy.size() ? value : -1.0; // not a number: no length
        }
        const std::size_t size = plyTypeSize(type);
        if (m_data.size() - m_position < size)
            return std::nullopt;
        unsigned char bytes[8] = {};
        std::memcpy(bytes, m_data.data() + m_position, size);
        m_position += size;
        if (m_header.bigEndian)
            std::reverse(bytes, bytes + size);
        return binaryValue(type, bytes);
    }

    static double binaryValue(const std::string& type, const unsigned char* bytes)
    {
        const auto as = [bytes](auto value)
        {
            std::memcpy(&value, bytes, sizeof value); // little endian, as this host is
            return double(value);
        };
        if (type == "char" || type == "int8")
            return as(std::int8_t());
        if (type == "uchar" || type == "uint8")
            return as(std::uint8_t());
        if (type == "short" || type == "int16")
            return as(std::int16_t());
        if (type == "ushort" || type == "uint16")
            return as(std::uint16_t());
        if (type == "int" || type == "int32")
            return as(std::int32_t());
        if (type == "uint" || type == "uint32")
            return as(std::uint32_t());
        if (type == "float" || type == "float32")
            return as(float());
        return as(double());
    }

    std::string_view m_data;
    const PlyHeader& m_header;
    std::size_t m_position = 0;
    std::size_t m_end = 0; // end of the current line (ASCII)
};

std::string announced(std::uint64_t count, const char* what, std::uint64_t limit)
{
    return fmt::format("it announces {} {}; meshes of more than {} {} are not read", count, what, limit, what);
}

/// The statements of an OBJ file that describe a surface, each checked in full: assimp's OBJ parser reads past
/// the end of a statement that is not what it expects and has been seen to corrupt its heap on such lines, so a
/// file it is given holds only statements of this grammar.
struct ObjGrammar
{
    std::uint64_t vertices = 0;
    std::uint64_t normals = 0;
    std::uint64_t textureCoordinates = 0;
    std::uint64_t faces = 0;

    /// Why the line is refused; empty when it is a statement of the grammar, a comment or blank.
    std::string check(std::string_view line)
    {
        if (line.find('\0') != std::string_view::npos)
            return "a NUL byte; not a text file";
        // A line of text holds no control characters but tabs and the carriage return of its line end.
        const std::string_view body = !line.empty() && line.back() == '\r' ? line.substr(0, line.size() - 1) : line;
        if (std::any_of(body.begin(), body.end(), [](char c) { return (unsigned char)c < 0x20 && c != '\t'; }))
            return "a control character";
        const std::vector<std::string_view> w = words(line.substr(0, line.find('#')));
        if (w.empty())
            return {};
        const std::string_view keyword = w[0];
        const std::size_t arguments = w.size() - 1;
        if (keyword == "v")
            return numbers(w, arguments == 3 || arguments == 4 || arguments == 6 || arguments == 7, vertices);
        if (keyword == "vn")
            return numbers(w, arguments == 3, normals);
        if (keyword == "vt")
            return numbers(w, arguments >= 1 && arguments <= 3, textureCoordinates);
        if (keyword == "f" || keyword == "l" || keyword == "p")
            return corners(w, keyword == "f" ? 3 : keyword == "l" ? 2 : 1);
        static const std::string_view named[] = { "o", "g", "s", "usemtl", "mtllib" };
        if (std::find(std::begin(named), std::end(named), keyword) != std::end(named))
            return keyword == "mtllib" ? plainFileNames(w) : std::string();
        return fmt::format("'{}' is not an OBJ statement this program reads", std::string(keyword.substr(0, 20)));
    }

private:
    /// Material files named in ASCII without backslashes: assimp turns the name into a path and has been seen to
    /// corrupt its heap on backslashes there.
    static std::string plainFileNames(const std::vector<std::string_view>& w)
    {
        for (std::size_t i = 1; i < w.size(); ++i)
            if (std::any_of(w[i].begin(), w[i].end(), [](char c) { return c == '\\' || (unsigned char)c > 0x7e; }))
                return "'mtllib' names a file with a backslash or a character beyond ASCII";
        return {};
    }

    static bool isNumber(std::string_view word)
    {
        const std::string text(word);
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        return !text.empty() && end == text.c_str() + text.size() && std::isfinite(value);
    }

    static std::string numbers(const std::vector<std::string_view>& w, bool countOk, std::uint64_t& counter)
    {
        if (!countOk || !std::all_of(w.begin() + 1, w.end(), isNumber))
            return fmt::format("'{}' needs the right count of finite numbers", std::string(w[0]));
        ++counter;
        return {};
    }

    /// An index 1-based, which must name an element of the whole file (checked by unresolved()), or negative,
    /// counting back from the last element read so far.
    static bool isIndex(std::string_view text, std::uint64_t count, std::uint64_t& largest)
    {
        const bool negative = !text.empty() && text[0] == '-';
        const std::optional<std::uint64_t> value = parseCount(negative ? text.substr(1) : text);
        if (!value || *value < 1 || (negative && *value > count))
            return false;
        largest = negative ? largest : std::max(largest, *value);
        return true;
    }

    /// Corners "v", "v/t", "v//n" or "v/t/n", each index within what the file has defined before.
    std::string corners(const std::vector<std::string_view>& w, std::size_t least)
    {
        if (w.size() - 1 < least)
            return fmt::format("'{}' needs at least {} corners", std::string(w[0]), least);
        for (std::size_t i = 1; i < w.size(); ++i)
        {
            const std::string_view corner = w[i];
            const std::size_t first = corner.find('/');
            const std::size_t second = first == std::string_view::npos ? first : corner.find('/', first + 1);
            const std::string_view texture =
              first == std::string_view::npos ? std::string_view() : corner.substr(first + 1, second - first - 1);
            const std::string_view normal =
              second == std::string_view::npos ? std::string_view() : corner.substr(second + 1);
            const bool ok = isIndex(corner.substr(0, first), vertices, m_largest[0]) &&
                            (texture.empty() ? first == std::string_view::npos || second != std::string_view::npos
                                             : isIndex(texture, textureCoordinates, m_largest[1])) &&
                            (second == std::string_view::npos || isIndex(normal, normals, m_largest[2]));
            if (!ok)
                return fmt::format("corner '{}' is not a vertex index", std::string(corner.substr(0, 40)));
        }
        faces += w[0] == "f";
        return {};
    }

public:
    /// Once every line is read: why an index names an element the file does not define; empty when none does.
    [[nodiscard]] std::string unresolved() const
    {
        const std::uint64_t counts[] = { vertices, textureCoordinates, normals };
        static const char* const names[] = { "vertex", "texture coordinate", "normal" };
        for (int kind = 0; kind < 3; ++kind)
            if (m_largest[kind] > counts[kind])
                return fmt::format("a face names {} {}, but the file defines {}", names[kind], m_largest[kind],
                                   counts[kind]);
        return {};
    }

private:
    std::uint64_t m_largest[3] = { 0, 0, 0 };
};

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
    if (header.ascii)
        if (std::string reason = whyNotAsciiNumbers(std::string_view(bytes, size).substr(header.dataOffset));
            !reason.empty())
            return reason;
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
    return PlyDataWalk(std::string_view(bytes, size).substr(header.dataOffset), header).check();
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
    ObjGrammar grammar;
    const std::string_view text(bytes, size);
    int number = 1;
    for (std::size_t position = 0; position < size; ++number)
    {
        const std::size_t end = std::min(text.find('\n', position), size);
        if (std::string reason = grammar.check(text.substr(position, end - position)); !reason.empty())
            return fmt::format("line {}: {}", number, reason);
        position = end + 1;
    }
    if (std::string reason = grammar.unresolved(); !reason.empty())
        return reason;
    if (grammar.vertices > kMaxVertices)
        return announced(grammar.vertices, "vertices", kMaxVertices);
    if (grammar.faces > kMaxFaces)
        return announced(grammar.faces, "faces", kMaxFaces);
    return {};
}

} // namespace Kelvaros
