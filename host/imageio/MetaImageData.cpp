#include "imageio/MetaImageData.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <vector>

#include <fmt/format.h>

#include "core/FileSystem.h"

#include "imageio/ZlibStream.h"

namespace Kelvaros
{

namespace
{
/// Headers are a few hundred bytes; one without its ElementDataFile line in this much is not read.
constexpr size_t kMaxHeader = 64 * 1024;
/// MetaIO copies each key, everything up to the next '=' across lines, into a 255-byte buffer unchecked.
constexpr size_t kMaxKey = 200;
/// MetaIO copies these values into 255-byte buffers unchecked; a longer one overran them and aborted the program.
constexpr size_t kMaxText = 254;
constexpr const char* kTextKeys[] = { "Comment", "ObjectType", "ObjectSubType", "Name", "AcquisitionDate" };

/// A header key as MetaImage writers give them: a letter, then letters, digits and underscores. MetaIO reads a key
/// as whatever precedes the next '=', across lines and bytes of any kind, so a damaged header made it take a later
/// "ElementDataFile" whose file pattern divided by a zero step.
bool isKey(const std::string& key)
{
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return !key.empty() && key.size() <= kMaxKey && letter(key.front()) &&
           std::all_of(key.begin(), key.end(), [&](char c) { return letter(c) || digit(c) || c == '_'; });
}

std::string trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool parseInteger(const std::string& text, long long& value)
{
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && stop == end && !text.empty();
}

/// What of a header's bytes may reach a log line: printable ASCII, '?' for the rest.
std::string shown(std::string text)
{
    std::replace_if(
      text.begin(), text.end(), [](char c) { return c < ' ' || c > '~'; }, '?');
    return text;
}

std::string head(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::string text(kMaxHeader, '\0');
    file.read(text.data(), std::streamsize(text.size()));
    text.resize(size_t(file.gcount()));
    return text;
}
} // namespace

bool MetaImageData::parseLine(const std::string& key, const std::string& value, std::string& error)
{
    long long number = 0;
    const bool text = std::find(std::begin(kTextKeys), std::end(kTextKeys), key) != std::end(kTextKeys);
    // MetaIO reads as many numbers per array field as NDims says, without a bound.
    if (key == "NDims" && (!parseInteger(value, number) || number < 1 || number > 10))
        error = fmt::format("NDims '{}' is not a number of dimensions from 1 to 10", value);
    else if (text && value.size() > kMaxText)
        error =
          fmt::format("its {} is {} characters long, more than the {} this reader takes", key, value.size(), kMaxText);
    else if (key == "CompressedData")
        m_compressed = value == "True" || value == "true" || value == "TRUE";
    else if (key == "CompressedDataSize" && !parseInteger(value, m_compressedSize))
        error = fmt::format("CompressedDataSize '{}' is not a number", value);
    else if (key == "HeaderSize" && (!parseInteger(value, m_headerSize) || m_headerSize < -1))
        error = fmt::format("HeaderSize '{}' is not a size", value);
    return error.empty();
}

std::optional<MetaImageData> MetaImageData::locate(const std::string& path, std::string& error)
{
    const std::string text = head(path);
    MetaImageData data;
    data.m_fileSize = uint64_t(std::max(0ll, FileSystem::fileSize(path)));
    for (size_t start = 0; start < text.size();)
    {
        const size_t end = std::min(text.find('\n', start), text.size());
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (trimmed(line).empty())
            continue;
        const size_t equals = line.find('=');
        const std::string key = trimmed(line.substr(0, equals));
        if (equals == std::string::npos || !isKey(key))
        {
            error = fmt::format("the header line '{}' is not 'Key = value' with a key of letters, digits and "
                                "underscores of at most {} characters",
                                shown(line.substr(0, 40)), kMaxKey);
            return std::nullopt;
        }
        const std::string value = trimmed(line.substr(equals + 1));
        if (!data.parseLine(key, value, error))
            return std::nullopt;
        if (key != "ElementDataFile")
            continue;
        if (value == "LOCAL" || value == "Local" || value == "local")
        {
            data.m_headerEnd = std::min(start, text.size());
            data.m_dataFile = path;
            return data;
        }
        if (value.find_first_of(" %") != std::string::npos || value == "LIST")
        {
            error =
              fmt::format("ElementDataFile '{}' names several slice files, which this reader does not read", value);
            return std::nullopt;
        }
        const std::filesystem::path file(value);
        data.m_dataFile = file.is_absolute() ? value : (std::filesystem::path(path).parent_path() / file).string();
        const std::string why = FileSystem::whyNotReadable(data.m_dataFile);
        if (!why.empty())
        {
            error = fmt::format("its data file '{}' is {}", data.m_dataFile, why);
            return std::nullopt;
        }
        data.m_fileSize = uint64_t(std::max(0ll, FileSystem::fileSize(data.m_dataFile)));
        return data;
    }
    error = fmt::format("no ElementDataFile line in its first {} bytes", kMaxHeader);
    return std::nullopt;
}

std::optional<uint64_t> MetaImageData::dataStart(uint64_t bytes, std::string& error) const
{
    if (m_headerSize == -1 && !m_compressed)
    {
        if (m_fileSize >= bytes)
            return m_fileSize - bytes;
        error = fmt::format("the header announces {} bytes of voxels, the data file holds only {}", bytes, m_fileSize);
        return std::nullopt;
    }
    const uint64_t start = m_headerEnd + uint64_t(std::max(0ll, m_headerSize));
    if (start > m_fileSize)
    {
        error = fmt::format("its voxels would start at byte {}, beyond the file's {} bytes", start, m_fileSize);
        return std::nullopt;
    }
    return start;
}

std::string MetaImageData::whyIncomplete(uint64_t bytes) const
{
    std::string error;
    const auto start = dataStart(bytes, error);
    if (!start)
        return error;
    const uint64_t available = m_fileSize - *start;
    if (!m_compressed)
        return available >= bytes
                 ? std::string()
                 : fmt::format("the header announces {} bytes of voxels, the file holds only {}", bytes, available);
    if (m_compressedSize > 0 && uint64_t(m_compressedSize) > available)
        return fmt::format("the header announces {} bytes of compressed voxels, the file holds only {}",
                           m_compressedSize, available);
    const uint64_t length = m_compressedSize > 0 ? uint64_t(m_compressedSize) : available;
    const auto inflated = ZlibStream::inflatedSize(m_dataFile, *start, length, bytes, error);
    if (!inflated)
        return error;
    if (*inflated != bytes)
        return fmt::format("the compressed voxels inflate to {} bytes, the header announces {}", *inflated, bytes);
    return {};
}

uint64_t MetaImageData::compressedBytesHeld() const
{
    if (!m_compressed)
        return 0;
    return m_compressedSize > 0 ? uint64_t(m_compressedSize) : m_fileSize;
}

} // namespace Kelvaros
