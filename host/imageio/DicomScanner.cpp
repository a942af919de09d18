#include "imageio/DicomScanner.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>

#include <Eigen/Geometry>
#include <fmt/format.h>

#include "core/FileSystem.h"

namespace Kelvaros
{
namespace
{
namespace fs = std::filesystem;
using FileFacts = DicomScanner::FileFacts;

// Bounds on what a header may make the walk do; real image headers stay far below each.
constexpr long long kMaxElements = 1000000;
constexpr long long kMaxFragments = 1 << 20;
constexpr int kMaxDepth = 16;
constexpr long long kMaxHeaderBytes = 64LL << 20;
constexpr size_t kMaxValueBytes = 1024;
constexpr long long kReadChunk = 64 << 10;
constexpr uint32_t kUndefinedLength = 0xFFFFFFFF;

constexpr uint32_t makeTag(uint32_t group, uint32_t element)
{
    return group << 16 | element;
}
constexpr uint32_t kItem = makeTag(0xFFFE, 0xE000);
constexpr uint32_t kItemEnd = makeTag(0xFFFE, 0xE00D);
constexpr uint32_t kSequenceEnd = makeTag(0xFFFE, 0xE0DD);
constexpr uint32_t kTransferSyntax = makeTag(0x0002, 0x0010);
constexpr uint32_t kSopClass = makeTag(0x0008, 0x0016);
constexpr uint32_t kSopInstance = makeTag(0x0008, 0x0018);
constexpr uint32_t kSeries = makeTag(0x0020, 0x000E);
constexpr uint32_t kPosition = makeTag(0x0020, 0x0032);
constexpr uint32_t kOrientation = makeTag(0x0020, 0x0037);
constexpr uint32_t kSamples = makeTag(0x0028, 0x0002);
constexpr uint32_t kFrames = makeTag(0x0028, 0x0008);
constexpr uint32_t kRows = makeTag(0x0028, 0x0010);
constexpr uint32_t kColumns = makeTag(0x0028, 0x0011);
constexpr uint32_t kBits = makeTag(0x0028, 0x0100);
constexpr uint32_t kPixelData = makeTag(0x7FE0, 0x0010);

const std::string kImplicitLittle = "1.2.840.10008.1.2";
const std::string kExplicitLittle = "1.2.840.10008.1.2.1";
const std::string kExplicitBig = "1.2.840.10008.1.2.2";
const std::string kDeflated = "1.2.840.10008.1.2.1.99";

std::string tagText(uint32_t tag)
{
    return fmt::format("({:04X},{:04X})", tag >> 16, tag & 0xFFFF);
}

std::string tagName(uint32_t tag)
{
    switch (tag)
    {
        case kSamples:
            return "Samples per Pixel " + tagText(tag);
        case kFrames:
            return "Number of Frames " + tagText(tag);
        case kRows:
            return "Rows " + tagText(tag);
        case kColumns:
            return "Columns " + tagText(tag);
        case kBits:
            return "Bits Allocated " + tagText(tag);
        case kPosition:
            return "Image Position Patient " + tagText(tag);
        case kOrientation:
            return "Image Orientation Patient " + tagText(tag);
        case kPixelData:
            return "Pixel Data " + tagText(tag);
        default:
            return "element " + tagText(tag);
    }
}

/// The bytes of the file under check: all in memory, or read from the file on demand. Header reads grow a prefix
/// (one read of the file from its start), reads past the header (fragment headers) go to a scratch buffer that is
/// not kept, so no more than the header and a few bytes at a time are ever held.
struct Source
{
    std::string_view memory;
    std::ifstream* file = nullptr;
    long long size = 0;
    std::string prefix;
    std::string scratch;
};

bool readFromFile(Source& source, long long offset, size_t count, std::string& into)
{
    const size_t start = into.size();
    into.resize(start + count);
    source.file->clear();
    source.file->seekg(offset);
    source.file->read(into.data() + start, std::streamsize(count));
    if (source.file->gcount() == std::streamsize(count))
        return true;
    // The file shrank since its size was taken: nothing of this read may pass for file content.
    into.resize(start);
    return false;
}

/// `count` bytes at `offset`, or nothing when the file ends before them. With `keep`, the prefix grows to hold
/// them (refused past kMaxHeaderBytes: the caller then reports a header that is too large).
std::optional<std::string_view> bytesAt(Source& source, long long offset, size_t count, bool keep = true)
{
    if (offset < 0 || offset + (long long)count > source.size)
        return std::nullopt;
    if (!source.file)
        return source.memory.substr(size_t(offset), count);
    const long long end = offset + (long long)count;
    if (end <= (long long)source.prefix.size())
        return std::string_view(source.prefix).substr(size_t(offset), count);
    if (!keep || end > kMaxHeaderBytes)
    {
        if (keep || count > kMaxValueBytes)
            return std::nullopt;
        source.scratch.clear();
        if (!readFromFile(source, offset, count, source.scratch))
            return std::nullopt;
        return std::string_view(source.scratch);
    }
    const long long target = std::min(source.size, std::max(end, (long long)source.prefix.size() + kReadChunk));
    const long long have = (long long)source.prefix.size();
    if (!readFromFile(source, have, size_t(target - have), source.prefix))
        return std::nullopt;
    return std::string_view(source.prefix).substr(size_t(offset), count);
}

uint32_t u16(std::string_view bytes, size_t at)
{
    return uint32_t(uint8_t(bytes[at])) | uint32_t(uint8_t(bytes[at + 1])) << 8;
}

uint32_t u32(std::string_view bytes, size_t at)
{
    return u16(bytes, at) | u16(bytes, at + 2) << 16;
}

bool isKnownVr(std::string_view vr)
{
    static const std::set<std::string_view> known = { "AE", "AS", "AT", "CS", "DA", "DS", "DT", "FD", "FL",
                                                      "IS", "LO", "LT", "OB", "OD", "OF", "OL", "OV", "OW",
                                                      "PN", "SH", "SL", "SQ", "SS", "ST", "SV", "TM", "UC",
                                                      "UI", "UL", "UN", "UR", "US", "UT", "UV" };
    return known.count(vr) > 0;
}

/// VRs whose explicit header has two reserved bytes and a 32-bit length.
bool hasLongLength(std::string_view vr)
{
    static const std::set<std::string_view> wide = { "OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                                     "SV", "UC", "UN", "UR", "UT", "UV" };
    return wide.count(vr) > 0;
}

std::string_view trimmed(std::string_view text)
{
    const auto padding = [](char c) { return c == ' ' || c == '\0'; };
    while (!text.empty() && padding(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && padding(text.back()))
        text.remove_suffix(1);
    return text;
}

/// Backslash-separated decimal strings; empty unless there are exactly `count` finite numbers.
std::vector<double> decimals(std::string_view text, size_t count)
{
    std::vector<double> values;
    while (values.size() < count)
    {
        const size_t cut = text.find('\\');
        std::string_view part = trimmed(text.substr(0, cut));
        if (!part.empty() && part.front() == '+')
            part.remove_prefix(1);
        double value = 0;
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (part.empty() || error != std::errc() || end != part.data() + part.size() || !std::isfinite(value))
            return {};
        values.push_back(value);
        if (cut == std::string_view::npos)
            break;
        text.remove_prefix(cut + 1);
    }
    return values.size() == count && text.find('\\') == std::string_view::npos ? values : std::vector<double>();
}

struct Element
{
    uint32_t tag = 0;
    /// Empty in implicit VR and for item tags.
    std::string vr;
    uint32_t length = 0;
    long long valueOffset = 0;
};

/// One walk over one file's data set; the first failure stops it and is kept in `reason`.
struct Walk
{
    Source& source;
    FileFacts& facts;
    std::string reason;
    long long elements = 0;
    bool pixelDataFound = false;
};

bool fail(Walk& walk, std::string reason)
{
    if (walk.reason.empty())
        walk.reason = std::move(reason);
    return false;
}

bool countElement(Walk& walk)
{
    if (++walk.elements <= kMaxElements)
        return true;
    return fail(walk, fmt::format("more than {} elements in the header", kMaxElements));
}

bool readHeader(Walk& walk, long long offset, bool explicitVr, Element& element)
{
    const auto head = bytesAt(walk.source, offset, 8);
    if (!head)
    {
        if (offset + 8 > kMaxHeaderBytes && offset + 8 <= walk.source.size)
            return fail(walk, fmt::format("more than {} bytes of header before the pixel data", kMaxHeaderBytes));
        return fail(walk, fmt::format("the file ends inside an element header at byte {}", offset));
    }
    element.tag = u16(*head, 0) << 16 | u16(*head, 2);
    element.vr.clear();
    element.length = u32(*head, 4);
    element.valueOffset = offset + 8;
    if (!explicitVr || element.tag >> 16 == 0xFFFE)
        return true;
    element.vr = std::string(head->substr(4, 2));
    if (!isKnownVr(element.vr))
        return fail(walk, fmt::format("{} has no known value representation", tagName(element.tag)));
    element.length = u16(*head, 6);
    if (hasLongLength(element.vr))
    {
        const auto length = bytesAt(walk.source, offset + 8, 4);
        if (!length)
            return fail(walk, fmt::format("the file ends inside the header of {}", tagName(element.tag)));
        element.length = u32(*length, 0);
        element.valueOffset = offset + 12;
    }
    return true;
}

std::optional<std::string_view> valueOf(Walk& walk, const Element& element)
{
    if (element.length > kMaxValueBytes)
    {
        fail(walk,
             fmt::format("{} holds {} bytes, far more than its kind of value", tagName(element.tag), element.length));
        return std::nullopt;
    }
    const auto value = bytesAt(walk.source, element.valueOffset, element.length);
    if (!value)
        fail(walk, fmt::format("{} cannot be read within the first {} bytes of the file", tagName(element.tag),
                               kMaxHeaderBytes));
    return value;
}

bool readUnsigned(Walk& walk, const Element& element, int& into)
{
    const auto value = valueOf(walk, element);
    if (!value)
        return false;
    if (value->size() != 2)
        return fail(walk, fmt::format("{} has {} bytes, not 2", tagName(element.tag), value->size()));
    into = int(u16(*value, 0));
    return true;
}

bool readFrames(Walk& walk, const Element& element)
{
    const auto value = valueOf(walk, element);
    if (!value)
        return false;
    std::string_view text = trimmed(*value);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    long long frames = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), frames);
    if (error != std::errc() || end != text.data() + text.size() || frames < 1 || frames > INT32_MAX)
        return fail(walk, fmt::format("{} is not a positive integer", tagName(element.tag)));
    walk.facts.frames = frames;
    return true;
}

bool readUid(Walk& walk, const Element& element, std::string& into)
{
    const auto value = valueOf(walk, element);
    if (!value)
        return false;
    const std::string_view uid = trimmed(*value);
    // What passes here reaches log lines: printable characters only.
    const bool printable = std::all_of(uid.begin(), uid.end(), [](char c) { return c >= ' ' && c <= '~'; });
    if (uid.size() > 64 || !printable)
        return fail(
          walk, fmt::format("{} holds no UID (more than 64 characters, or unprintable ones)", tagName(element.tag)));
    into = std::string(uid);
    return true;
}

bool readPosition(Walk& walk, const Element& element)
{
    const auto value = valueOf(walk, element);
    if (!value)
        return false;
    const std::vector<double> numbers = decimals(*value, 3);
    if (numbers.empty())
        return fail(walk, fmt::format("{} is not 3 decimal numbers", tagName(element.tag)));
    walk.facts.position = Eigen::Vector3d(numbers[0], numbers[1], numbers[2]);
    return true;
}

bool readOrientation(Walk& walk, const Element& element)
{
    const auto value = valueOf(walk, element);
    if (!value)
        return false;
    const std::vector<double> numbers = decimals(*value, 6);
    const std::string wrong = fmt::format("{} is not two unit vectors at right angles", tagName(element.tag));
    if (numbers.empty())
        return fail(walk, wrong);
    const Eigen::Vector3d row(numbers[0], numbers[1], numbers[2]);
    const Eigen::Vector3d column(numbers[3], numbers[4], numbers[5]);
    // Values are decimal strings of at most 16 characters, so a little rounding is expected.
    constexpr double tolerance = 1e-3;
    if (std::abs(row.norm() - 1) > tolerance || std::abs(column.norm() - 1) > tolerance ||
        std::abs(row.dot(column)) > tolerance)
        return fail(walk, wrong);
    walk.facts.rowDirection = row.normalized();
    walk.facts.columnDirection = column.normalized();
    return true;
}

/// Keeps the value of a top-level element that the facts hold; others are skipped unread.
bool collect(Walk& walk, const Element& element)
{
    FileFacts& facts = walk.facts;
    switch (element.tag)
    {
        case kSopClass:
            return readUid(walk, element, facts.sopClassUid);
        case kSopInstance:
            return readUid(walk, element, facts.sopInstanceUid);
        case kSeries:
            return readUid(walk, element, facts.seriesUid);
        case kPosition:
            return readPosition(walk, element);
        case kOrientation:
            return readOrientation(walk, element);
        case kSamples:
            return readUnsigned(walk, element, facts.samplesPerPixel);
        case kFrames:
            return readFrames(walk, element);
        case kRows:
            return readUnsigned(walk, element, facts.rows);
        case kColumns:
            return readUnsigned(walk, element, facts.columns);
        case kBits:
            return readUnsigned(walk, element, facts.bitsAllocated);
        default:
            return true;
    }
}

bool walkDataSet(Walk& walk, long long& offset, long long end, bool delimited, bool explicitVr, int depth, bool top);

/// The items of a sequence from `offset`: up to `end`, or with `delimited` up to the sequence delimiter.
bool walkSequence(Walk& walk, long long& offset, long long end, bool delimited, bool explicitVr, int depth)
{
    if (depth > kMaxDepth)
        return fail(walk, fmt::format("sequences nested deeper than {}", kMaxDepth));
    while (offset < end)
    {
        Element item;
        if (!countElement(walk) || !readHeader(walk, offset, false, item))
            return false;
        offset = item.valueOffset;
        if (delimited && item.tag == kSequenceEnd)
            return true;
        if (item.tag != kItem)
            return fail(walk, fmt::format("{} stands in a sequence where an item belongs", tagName(item.tag)));
        if (item.length == kUndefinedLength)
        {
            if (!walkDataSet(walk, offset, end, true, explicitVr, depth, false))
                return false;
            continue;
        }
        if (offset + item.length > end)
            return fail(walk, fmt::format("a sequence item at byte {} runs past its end", offset - 8));
        if (!walkDataSet(walk, offset, offset + item.length, false, explicitVr, depth, false))
            return false;
    }
    if (delimited)
        return fail(walk, "a sequence of undefined length has no delimiter before its end");
    return true;
}

/// The items of encapsulated pixel data: an offset table, then fragments, then the sequence delimiter. Only the
/// item headers are read.
bool walkFragments(Walk& walk, long long& offset)
{
    for (long long items = 0; items <= kMaxFragments; ++items)
    {
        const auto head = bytesAt(walk.source, offset, 8, false);
        if (!head)
            return fail(walk, fmt::format("the file ends inside the encapsulated pixel data at byte {}", offset));
        const uint32_t tag = u16(*head, 0) << 16 | u16(*head, 2);
        const uint32_t length = u32(*head, 4);
        offset += 8;
        if (tag == kSequenceEnd)
            return items >= 2 ? true : fail(walk, "the encapsulated pixel data hold no fragment");
        if (tag != kItem || length == kUndefinedLength)
            return fail(walk, fmt::format("the encapsulated pixel data hold {} at byte {} where a fragment belongs",
                                          tagName(tag), offset - 8));
        if (offset + length > walk.source.size)
            return fail(walk, fmt::format("a pixel data fragment at byte {} claims {} bytes; the file ends {} bytes "
                                          "after its header",
                                          offset - 8, length, walk.source.size - offset));
        offset += length;
    }
    return fail(walk, fmt::format("more than {} pixel data fragments", kMaxFragments));
}

bool walkPixelData(Walk& walk, const Element& element)
{
    FileFacts& facts = walk.facts;
    walk.pixelDataFound = true;
    facts.pixelOffset = element.valueOffset;
    if (element.length == kUndefinedLength)
    {
        facts.encapsulated = true;
        facts.pixelLength = -1;
        long long offset = element.valueOffset;
        return walkFragments(walk, offset);
    }
    const long long remaining = walk.source.size - element.valueOffset;
    if (element.length > remaining)
        return fail(walk, fmt::format("{} claims {} bytes; the file holds {} after its header", tagName(element.tag),
                                      element.length, remaining));
    facts.pixelLength = element.length;
    return true;
}

/// An element of undefined length below the top level: encapsulated pixel data (an icon), else a sequence (any VR
/// in implicit encoding; UN, whose content is then implicit VR).
bool walkUndefined(Walk& walk, const Element& element, long long& offset, long long end, bool explicitVr, int depth)
{
    offset = element.valueOffset;
    if (element.tag == kPixelData)
        return walkFragments(walk, offset);
    if (explicitVr && element.vr != "SQ" && element.vr != "UN")
        return fail(walk, fmt::format("{} of VR {} has an undefined length", tagName(element.tag), element.vr));
    return walkSequence(walk, offset, end, true, explicitVr && element.vr == "SQ", depth + 1);
}

/// One element of a data set, its value skipped or, for sequences, walked.
bool walkElement(Walk& walk, const Element& element, long long& offset, long long end, bool explicitVr, int depth,
                 bool top)
{
    if (element.tag >> 16 == 0xFFFE)
        return fail(walk, fmt::format("{} stands outside a sequence", tagName(element.tag)));
    if (element.length == kUndefinedLength)
        return walkUndefined(walk, element, offset, end, explicitVr, depth);
    if (element.valueOffset + element.length > end)
        return fail(walk, fmt::format("{} at byte {} claims {} bytes; {}", tagName(element.tag), offset, element.length,
                                      end == walk.source.size ? "the file ends before" : "its item ends before"));
    if (top && !collect(walk, element))
        return false;
    const long long valueEnd = element.valueOffset + element.length;
    if (element.vr == "SQ")
    {
        offset = element.valueOffset;
        return walkSequence(walk, offset, valueEnd, false, explicitVr, depth + 1);
    }
    offset = valueEnd;
    return true;
}

/// The elements from `offset` up to `end`, or with `delimited` up to an item delimiter. At the top level the walk
/// ends at the Pixel Data.
bool walkDataSet(Walk& walk, long long& offset, long long end, bool delimited, bool explicitVr, int depth, bool top)
{
    uint32_t previous = 0;
    bool first = true;
    while (offset < end)
    {
        Element element;
        if (!countElement(walk) || !readHeader(walk, offset, explicitVr, element))
            return false;
        if (delimited && element.tag == kItemEnd)
        {
            offset = element.valueOffset;
            return true;
        }
        if (!first && element.tag <= previous)
            return fail(walk, fmt::format("{} follows {}: tags must ascend", tagName(element.tag), tagText(previous)));
        first = false;
        previous = element.tag;
        if (top && element.tag == kPixelData)
            return walkPixelData(walk, element);
        if (!walkElement(walk, element, offset, end, explicitVr, depth, top))
            return false;
    }
    if (delimited)
        return fail(walk, "a sequence item of undefined length has no delimiter before its end");
    if (offset > end)
        return fail(walk, "encapsulated pixel data run past the end of their sequence item");
    return true;
}

/// The file meta group (explicit VR little endian) from `offset`; sets the transfer syntax.
bool walkMeta(Walk& walk, long long& offset)
{
    uint32_t previous = 0;
    for (;;)
    {
        const auto group = bytesAt(walk.source, offset, 2);
        if (!group || u16(*group, 0) != 0x0002)
            break;
        Element element;
        if (!countElement(walk) || !readHeader(walk, offset, true, element))
            return false;
        if (element.tag <= previous)
            return fail(walk, fmt::format("{} follows {}: tags must ascend", tagName(element.tag), tagText(previous)));
        previous = element.tag;
        if (element.length == kUndefinedLength || element.valueOffset + element.length > walk.source.size)
            return fail(walk, fmt::format("the file meta information element {} runs past the end of the file",
                                          tagText(element.tag)));
        if (element.tag == kTransferSyntax && !readUid(walk, element, walk.facts.transferSyntax))
            return false;
        offset = element.valueOffset + element.length;
    }
    if (walk.facts.transferSyntax.empty())
        return fail(walk, "the file meta information has no Transfer Syntax UID (0002,0010)");
    return true;
}

/// Where the data set starts and whether it is in explicit VR; false when the file is no DICOM we can walk.
bool walkPreamble(Walk& walk, long long& offset, bool& explicitVr)
{
    const auto marker = bytesAt(walk.source, 128, 4);
    offset = marker && *marker == "DICM" ? 132 : 0;
    const auto start = bytesAt(walk.source, offset, 6);
    const uint32_t group = start ? u16(*start, 0) : 0;
    if (group == 0x0002)
    {
        if (!walkMeta(walk, offset))
            return false;
    }
    else if (offset == 132)
        return fail(walk, "no file meta information after the DICM marker");
    else if (group == 0x0008)
        walk.facts.transferSyntax = isKnownVr(start->substr(4, 2)) ? kExplicitLittle : kImplicitLittle;
    else
        return fail(walk, "not a DICOM file (no DICM marker at byte 128, no data set at its start)");

    const std::string& syntax = walk.facts.transferSyntax;
    if (syntax == kExplicitBig || syntax == kDeflated)
        return fail(walk, fmt::format("the transfer syntax {} is not supported", syntax));
    if (syntax != kImplicitLittle && syntax.rfind(kImplicitLittle + ".", 0) != 0)
        return fail(walk, fmt::format("unknown transfer syntax {}", syntax));
    explicitVr = syntax != kImplicitLittle;
    return true;
}

std::string pixelShape(const FileFacts& facts)
{
    std::string shape = fmt::format("Rows {} x Columns {}", facts.rows, facts.columns);
    if (facts.samplesPerPixel != 1)
        shape += fmt::format(" x {} samples", facts.samplesPerPixel);
    if (facts.frames != 1)
        shape += fmt::format(" x {} frames", facts.frames);
    return shape + fmt::format(" x {} bits", facts.bitsAllocated);
}

/// Whether the pixel description is complete and the pixel data can hold it within the budget.
std::string whyPixelsRefused(FileFacts& facts, long long maxPixelBytes)
{
    if (facts.rows == 0 || facts.columns == 0)
        return fmt::format("Rows {} and Columns {} describe no image", facts.rows, facts.columns);
    if (facts.samplesPerPixel == 0)
        return "Samples per Pixel (0028,0002) is 0";
    const int bits = facts.bitsAllocated;
    if (bits != 1 && bits != 8 && bits != 16 && bits != 32 && bits != 64)
        return fmt::format("Bits Allocated (0028,0100) {} is not supported", bits);
    // In double: the product of the fields can pass 2^64, and the budget is far below 2^53.
    const double samples = double(facts.rows) * facts.columns * facts.samplesPerPixel * double(facts.frames);
    const double bytes = std::ceil(samples * bits / 8);
    if (bytes > double(maxPixelBytes))
        return fmt::format("{} need {:.0f} bytes of pixels, more than the {} allowed per file", pixelShape(facts),
                           bytes, maxPixelBytes);
    facts.decodedBytes = (long long)bytes;
    const bool compressed = facts.transferSyntax != kImplicitLittle && facts.transferSyntax != kExplicitLittle;
    if (facts.encapsulated != compressed)
        return fmt::format("{} pixel data in the transfer syntax {}", facts.encapsulated ? "encapsulated" : "native",
                           facts.transferSyntax);
    if (!facts.encapsulated && facts.pixelLength < facts.decodedBytes)
        return fmt::format("pixel data holds {} bytes; {} need {}", facts.pixelLength, pixelShape(facts),
                           facts.decodedBytes);
    return {};
}

DicomScanner::FileCheck check(Source& source, long long maxPixelBytes)
{
    DicomScanner::FileCheck result;
    Walk walk{ source, result.facts, {}, 0, false };
    long long offset = 0;
    bool explicitVr = false;
    if (walkPreamble(walk, offset, explicitVr) && walkDataSet(walk, offset, source.size, false, explicitVr, 0, true))
    {
        if (!walk.pixelDataFound)
            walk.reason = "no Pixel Data (7FE0,0010)";
        else
            walk.reason = whyPixelsRefused(result.facts, maxPixelBytes);
    }
    result.reason = walk.reason;
    return result;
}

DicomScanner::FileCheck checkQuietly(const std::string& path, long long maxPixelBytes)
{
    DicomScanner::FileCheck result;
    result.reason = FileSystem::whyNotReadable(path);
    std::ifstream file;
    Source source;
    if (result.reason.empty())
    {
        file.open(path, std::ios::binary);
        source.file = &file;
        source.size = FileSystem::fileSize(path);
        if (!file || source.size < 0)
            result.reason = "cannot be opened";
        else
            result = check(source, maxPixelBytes);
    }
    result.facts.path = path;
    return result;
}

/// Orientations closer than this (per component of the unit vectors) are taken as one.
constexpr double kOrientationTolerance = 1e-4;
/// Positions along the normal closer than this (mm) are one slice position.
constexpr double kPositionTolerance = 1e-3;

bool sameDirection(const std::optional<Eigen::Vector3d>& a, const std::optional<Eigen::Vector3d>& b)
{
    if (!a || !b)
        return !a && !b;
    return (*a - *b).cwiseAbs().maxCoeff() <= kOrientationTolerance;
}

bool sameGeometry(const FileFacts& a, const FileFacts& b)
{
    return a.rows == b.rows && a.columns == b.columns && a.bitsAllocated == b.bitsAllocated &&
           a.samplesPerPixel == b.samplesPerPixel && sameDirection(a.rowDirection, b.rowDirection) &&
           sameDirection(a.columnDirection, b.columnDirection);
}

std::string fileName(const std::string& path)
{
    return fs::path(path).filename().string();
}

/// "2.5", "5.0", "0.625": millimetres as a reader would write them.
std::string millimetres(double value)
{
    std::string text = fmt::format("{:.3f}", value);
    while (text.size() > 1 && text.back() == '0' && text[text.size() - 2] != '.')
        text.pop_back();
    return text;
}

std::string whyGeometryDiffers(const std::vector<FileFacts>& files)
{
    for (const FileFacts& file : files)
        if (!sameGeometry(file, files.front()))
            return fmt::format("{} and {} differ in size, bits or orientation ({} x {} x {} bits, {} x {} x {} bits)",
                               fileName(files.front().path), fileName(file.path), files.front().rows,
                               files.front().columns, files.front().bitsAllocated, file.rows, file.columns,
                               file.bitsAllocated);
    return {};
}

/// Sorts positioned files along the normal; returns the refusal for a repeated position or uneven gaps.
std::string sortAlongNormal(DicomScanner::Series& series)
{
    auto& files = series.files;
    const FileFacts& first = files.front();
    const Eigen::Vector3d normal = first.rowDirection->cross(*first.columnDirection);
    const auto depth = [&](const FileFacts& file) { return file.position->dot(normal); };
    std::stable_sort(files.begin(), files.end(),
                     [&](const FileFacts& a, const FileFacts& b) { return depth(a) < depth(b); });
    double smallest = HUGE_VAL, largest = 0;
    for (size_t i = 1; i < files.size(); ++i)
    {
        const double gap = depth(files[i]) - depth(files[i - 1]);
        if (gap < kPositionTolerance)
            return fmt::format("{} and {} lie at the same position {} mm along the slice normal (a duplicate slice)",
                               fileName(files[i - 1].path), fileName(files[i].path), millimetres(depth(files[i])));
        smallest = std::min(smallest, gap);
        largest = std::max(largest, gap);
    }
    // Scanners round positions to a few micrometres; a real gap in the stack differs by far more. A volume has one
    // spacing, so such a stack would be placed stretched: a missing slice must not pass for anatomy.
    if (files.size() > 2 && largest - smallest > 0.01 * largest + kPositionTolerance)
        return fmt::format("uneven slice spacing ({} mm to {} mm): a slice is missing, or the slices do not make one "
                           "volume",
                           millimetres(smallest), millimetres(largest));
    return {};
}

std::string whyNotAVolume(DicomScanner::Series& series)
{
    auto& files = series.files;
    std::stable_sort(files.begin(), files.end(),
                     [](const FileFacts& a, const FileFacts& b) { return a.path < b.path; });
    if (files.size() < 2)
        return {};
    if (std::string differs = whyGeometryDiffers(files); !differs.empty())
        return differs;
    const auto positioned =
      std::count_if(files.begin(), files.end(), [](const FileFacts& file) { return file.position.has_value(); });
    if (positioned != 0 && positioned != (long)files.size())
        return fmt::format("only {} of {} files state Image Position Patient (0020,0032)", positioned, files.size());
    if (positioned == 0 || !files.front().rowDirection)
    {
        series.warning =
          fmt::format("no Image {} Patient; slices ordered by file name", positioned == 0 ? "Position" : "Orientation");
        return {};
    }
    return sortAlongNormal(series);
}

/// The paths of the folder's entries in name order, at most kMaxFolderEntries of them.
std::vector<std::string> listFolder(DicomScanner::FolderScan& scan)
{
    std::vector<std::string> paths;
    std::error_code error;
    fs::directory_iterator entries(scan.folder, error);
    for (; !error && entries != fs::directory_iterator(); entries.increment(error))
    {
        if (paths.size() == size_t(DicomScanner::kMaxFolderEntries))
        {
            scan.error = fmt::format("more than {} entries; only {} were looked at", paths.size(), paths.size());
            break;
        }
        paths.push_back(entries->path().string());
    }
    if (error)
        scan.error = error.message();
    std::sort(paths.begin(), paths.end());
    return paths;
}

void addToSeries(std::vector<DicomScanner::Series>& series, FileFacts facts)
{
    for (DicomScanner::Series& known : series)
        if (known.uid == facts.seriesUid && sameGeometry(known.files.front(), facts))
        {
            known.files.push_back(std::move(facts));
            return;
        }
    series.push_back({ facts.seriesUid, {}, {}, {} });
    series.back().files.push_back(std::move(facts));
}
} // namespace

DicomScanner::FileCheck DicomScanner::checkBytes(std::string_view bytes, long long maxPixelBytes)
{
    Source source;
    source.memory = bytes;
    source.size = (long long)bytes.size();
    return check(source, maxPixelBytes);
}

DicomScanner::FileCheck DicomScanner::checkFile(const std::string& path, long long maxPixelBytes)
{
    return checkQuietly(path, maxPixelBytes);
}

void DicomScanner::checkSeries(Series& series)
{
    series.warning.clear();
    series.refusal = series.files.empty() ? "no files" : whyNotAVolume(series);
}

DicomScanner::FolderScan DicomScanner::scanFolder(const std::string& folder, long long maxPixelBytes)
{
    FolderScan scan;
    scan.folder = folder;
    scan.error = FileSystem::whyNotReadable(folder, true);
    if (scan.error.empty() && !fs::is_directory(folder))
        scan.error = "not a folder";
    const std::vector<std::string> paths = scan.error.empty() ? listFolder(scan) : std::vector<std::string>();
    for (const std::string& path : paths)
    {
        std::error_code error;
        if (fs::is_directory(path, error))
            continue;
        ++scan.fileCount;
        FileCheck check = checkQuietly(path, maxPixelBytes);
        if (check.ok() && check.facts.seriesUid.empty())
            check.reason = "no Series Instance UID (0020,000E)";
        if (check.ok())
            addToSeries(scan.series, std::move(check.facts));
        else
            scan.skipped.push_back({ path, check.reason });
    }
    for (Series& series : scan.series)
        checkSeries(series);
    std::stable_sort(scan.series.begin(), scan.series.end(),
                     [](const Series& a, const Series& b) { return a.files.size() > b.files.size(); });
    if (scan.series.empty() && scan.error.empty())
        scan.error = scan.skipped.empty()
                       ? "no files"
                       : fmt::format("no DICOM series among {} files; {}: {}", scan.fileCount,
                                     fileName(scan.skipped.front().path), scan.skipped.front().reason);
    return scan;
}

std::string DicomScanner::skippedSummary(const FolderScan& scan, const Series& chosen)
{
    const long long left = scan.fileCount - (long long)chosen.files.size();
    if (left <= 0)
        return {};
    std::string first;
    if (!scan.skipped.empty())
        first = fileName(scan.skipped.front().path) + ": " + scan.skipped.front().reason;
    std::set<std::string> taken;
    for (const FileFacts& file : chosen.files)
        taken.insert(file.path);
    for (const Series& other : scan.series)
        if (first.empty() && !taken.count(other.files.front().path))
            first = fmt::format("{}: in series {} ({} x {})", fileName(other.files.front().path), other.uid,
                                other.files.front().rows, other.files.front().columns);
    return fmt::format("{} of {} files in {} skipped: {}", left, scan.fileCount, scan.folder, first);
}

} // namespace Kelvaros
