#include "stream/io/TrackingSequenceFile.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <system_error>
#include <tuple>
#include <utility>

#include <fmt/format.h>

#include "core/Log.h"
#include "stream/TrackingSequence.h"

namespace Kelvaros
{

namespace
{

constexpr const char* kCategory = "SequenceFile";
constexpr std::string_view kFramePrefix = "Seq_Frame";
constexpr std::string_view kInstrumentPrefix = "Kelvaros_Instrument_";
constexpr std::string_view kTransformSuffix = "ToTrackerTransform";
constexpr std::string_view kStatusSuffix = "ToTrackerTransformStatus";
constexpr std::string_view kQualitySuffix = "ToTrackerTransformQuality";
// Largest |timestamp| in seconds whose microseconds still fit an int64 with margin.
constexpr int64_t kMaxTimestampSeconds = 9'000'000'000'000LL;

bool endsWith(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

std::vector<std::string_view> tokens(std::string_view text)
{
    std::vector<std::string_view> result;
    size_t i = 0;
    while (i < text.size())
    {
        while (i < text.size() && isSpace(text[i]))
            ++i;
        const size_t begin = i;
        while (i < text.size() && !isSpace(text[i]))
            ++i;
        if (i > begin)
            result.push_back(text.substr(begin, i - begin));
    }
    return result;
}

/// A finite double occupying the whole token.
std::optional<double> parseDouble(std::string_view token)
{
    double value = 0.0;
    const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (error != std::errc() || end != token.data() + token.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<int64_t> parseInteger(std::string_view token)
{
    int64_t value = 0;
    const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (error != std::errc() || end != token.data() + token.size())
        return std::nullopt;
    return value;
}

/// Seconds → microseconds. A plain decimal ("-12.3456789") is converted digit by digit, so that the six decimals
/// this writer produces come back exactly even for timestamps beyond 2^53 µs; further digits round half away from
/// zero. Other forms (exponents) go through double.
std::optional<int64_t> parseTimestamp(std::string_view token)
{
    std::string_view digits = token;
    const bool negative = !digits.empty() && digits.front() == '-';
    if (negative)
        digits.remove_prefix(1);
    const size_t dot = digits.find('.');
    const std::string_view whole = digits.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? std::string_view() : digits.substr(dot + 1);
    const auto allDigits = [](std::string_view part)
    { return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }); };
    if (!digits.empty() && allDigits(whole) && allDigits(fraction) && !(whole.empty() && fraction.empty()))
    {
        std::string_view significant = whole;
        while (significant.size() > 1 && significant.front() == '0')
            significant.remove_prefix(1);
        if (significant.size() > 13)
            return std::nullopt;
        int64_t seconds = 0;
        for (char c : significant)
            seconds = seconds * 10 + (c - '0');
        if (seconds > kMaxTimestampSeconds)
            return std::nullopt;
        int64_t micro = seconds;
        for (size_t i = 0; i < 6; ++i)
            micro = micro * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
        if (fraction.size() > 6 && fraction[6] >= '5')
            ++micro;
        return negative ? -micro : micro;
    }
    const auto seconds = parseDouble(token);
    if (!seconds || std::abs(*seconds) > double(kMaxTimestampSeconds))
        return std::nullopt;
    return static_cast<int64_t>(std::llround(*seconds * 1e6));
}

std::string formatDouble(double value)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return std::string(buffer, result.ptr);
}

std::string formatTimestamp(int64_t microseconds)
{
    const bool negative = microseconds < 0;
    const uint64_t magnitude = negative ? uint64_t(0) - uint64_t(microseconds) : uint64_t(microseconds);
    return fmt::format("{}{}.{:06d}", negative ? "-" : "", magnitude / 1000000u, magnitude % 1000000u);
}

std::string formatMatrix(const Eigen::Matrix4d& matrix)
{
    std::string text;
    for (int row = 0; row < 4; ++row)
        for (int column = 0; column < 4; ++column)
        {
            if (!text.empty())
                text += ' ';
            text += formatDouble(matrix(row, column));
        }
    return text;
}

bool hasRigidLastRow(const Eigen::Matrix4d& matrix)
{
    return matrix(3, 0) == 0.0 && matrix(3, 1) == 0.0 && matrix(3, 2) == 0.0 && matrix(3, 3) == 1.0;
}

/// Whether a text survives as a header value or a field name part: no control characters, and no white space at
/// either end (values are trimmed on reading).
bool isStorableValue(const std::string& text)
{
    if (std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
        return false;
    return trimmed(text).size() == text.size();
}

bool isStorableId(const std::string& id)
{
    return !id.empty() && isStorableValue(id) &&
           std::none_of(id.begin(), id.end(), [](char c) { return c == '=' || isSpace(c); });
}

/// Statuses other toolkits write for a tool they did not see.
bool isUntrackedStatus(std::string_view status)
{
    static const std::set<std::string_view> untracked = { "INVALID",       "MISSING",          "OUT_OF_VIEW",
                                                          "OUT_OF_VOLUME", "REQUIRED_MISSING", "DISABLED",
                                                          "UNKNOWN" };
    return untracked.count(status) > 0;
}

struct InstrumentFields
{
    std::optional<Eigen::Matrix4d> matrix;
    std::optional<bool> tracked;
    std::optional<double> quality;
};

struct FrameFields
{
    int number = -1;
    int firstLine = 0;
    std::optional<int64_t> timestamp;
    std::vector<std::string> order; // instrument ids in the order their first field appeared
    std::map<std::string, InstrumentFields> instruments;
};

class Parser
{
public:
    Parser(std::string_view text, const std::string& source) : m_text(text), m_source(source) {}

    std::optional<std::vector<TrackingSample>> run()
    {
        size_t position = 0;
        int lineNumber = 0;
        while (position < m_text.size() && !m_dataFileSeen)
        {
            size_t end = m_text.find('\n', position);
            if (end == std::string_view::npos)
                end = m_text.size();
            ++lineNumber;
            const std::string_view line = m_text.substr(position, end - position);
            position = end + 1;
            if (!parseLine(line, lineNumber))
                return std::nullopt;
        }
        if (!m_dataFileSeen)
            return fail(0, "the header does not end with 'ElementDataFile = LOCAL'");
        if (position < m_text.size() && !trimmed(m_text.substr(position)).empty())
            return fail(lineNumber + 1, "unexpected data after ElementDataFile (image data is not supported)");
        if (!m_objectTypeSeen)
            return fail(0, "missing field 'ObjectType'");
        if (!m_nDimsSeen)
            return fail(0, "missing field 'NDims'");
        if (!m_frameCount)
            return fail(0, "missing field 'DimSize'");
        if (m_frame.number >= 0 && !finishFrame())
            return std::nullopt;
        if (int64_t(m_samples.size()) != *m_frameCount)
            return fail(
              0, fmt::format("DimSize announces {} frames but the file holds {}", *m_frameCount, m_samples.size()));
        for (TrackingSample& sample : m_samples)
            for (TrackingInstrument& instrument : sample.instruments)
            {
                const std::string id = instrument.id.ID();
                const auto model = m_models.find(id);
                const auto name = m_names.find(id);
                instrument.id = TrackerID(id, model != m_models.end() ? model->second : std::string(),
                                          name != m_names.end() ? name->second : id);
            }
        return std::move(m_samples);
    }

private:
    bool error(int line, const std::string& message) const
    {
        fail(line, message);
        return false;
    }

    std::nullopt_t fail(int line, const std::string& message) const
    {
        if (line > 0)
            Log::logf(Log::Error, kCategory, "Cannot read '{}', line {}: {}", m_source, line, message);
        else
            Log::logf(Log::Error, kCategory, "Cannot read '{}': {}", m_source, message);
        return std::nullopt;
    }

    bool parseLine(std::string_view line, int lineNumber)
    {
        if (trimmed(line).empty())
            return true;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            return error(lineNumber, fmt::format("expected 'key = value', found '{}'", clip(line)));
        const std::string key(trimmed(line.substr(0, equals)));
        const std::string_view value = trimmed(line.substr(equals + 1));
        if (key.empty())
            return error(lineNumber, "empty key");
        if (!m_keys.insert(key).second)
            return error(lineNumber, fmt::format("duplicate key '{}'", clip(key)));

        if (startsWith(key, kFramePrefix))
            return parseFrameField(key, value, lineNumber);
        if (m_frame.number >= 0)
        {
            // Header fields after the frames: only the terminator is allowed there.
            if (key != "ElementDataFile")
                return error(lineNumber, fmt::format("header field '{}' after the frames", clip(key)));
        }
        return parseHeaderField(key, value, lineNumber);
    }

    bool parseHeaderField(const std::string& key, std::string_view value, int lineNumber)
    {
        if (key == "ObjectType")
        {
            if (value != "Image")
                return error(lineNumber, fmt::format("ObjectType is '{}', expected 'Image'", clip(value)));
            m_objectTypeSeen = true;
        }
        else if (key == "NDims")
        {
            if (value != "3")
                return error(lineNumber, fmt::format("NDims is '{}', expected 3", clip(value)));
            m_nDimsSeen = true;
        }
        else if (key == "DimSize")
        {
            const auto parts = tokens(value);
            std::vector<int64_t> sizes;
            for (std::string_view part : parts)
                if (const auto size = parseInteger(part); size && *size >= 0)
                    sizes.push_back(*size);
            if (parts.size() != 3 || sizes.size() != 3)
                return error(lineNumber, fmt::format("DimSize is '{}', expected three counts", clip(value)));
            if (sizes[0] != 0 || sizes[1] != 0)
                return error(lineNumber, "DimSize announces image data, which is not supported");
            if (sizes[2] > std::numeric_limits<int>::max())
                return error(lineNumber, "DimSize announces too many frames");
            m_frameCount = sizes[2];
        }
        else if (key == "ElementDataFile")
        {
            if (value != "LOCAL")
                return error(lineNumber, fmt::format("ElementDataFile is '{}', expected LOCAL", clip(value)));
            m_dataFileSeen = true;
        }
        else if (startsWith(key, kInstrumentPrefix))
        {
            const std::string_view rest = std::string_view(key).substr(kInstrumentPrefix.size());
            if (!isStorableValue(std::string(value)))
                return error(lineNumber, fmt::format("'{}' contains control characters", clip(key)));
            if (endsWith(rest, "_Model") && rest.size() > 6)
                m_models[std::string(rest.substr(0, rest.size() - 6))] = std::string(value);
            else if (endsWith(rest, "_Name") && rest.size() > 5)
                m_names[std::string(rest.substr(0, rest.size() - 5))] = std::string(value);
            else
                return error(lineNumber, fmt::format("unknown instrument field '{}'", clip(key)));
        }
        // Every other header field is image metadata (spacing, orientation, element type, ...): nothing to keep
        // for zero-sized frames.
        return true;
    }

    bool parseFrameField(const std::string& key, std::string_view value, int lineNumber)
    {
        const std::string_view rest = std::string_view(key).substr(kFramePrefix.size());
        size_t digits = 0;
        while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9')
            ++digits;
        if (digits == 0 || digits >= rest.size() || rest[digits] != '_' || digits > 9)
            return error(lineNumber, fmt::format("malformed frame field name '{}'", clip(key)));
        const int number = int(*parseInteger(rest.substr(0, digits)));
        const std::string field(rest.substr(digits + 1));
        if (field.empty())
            return error(lineNumber, fmt::format("frame {}: empty field name", number));

        if (number != m_frame.number)
        {
            const int expected = m_frame.number + 1;
            if (number != expected)
            {
                return error(lineNumber,
                             fmt::format("frame {} (field '{}') out of order: expected frame {}{}", number, clip(field),
                                         expected, m_frame.number >= 0 ? fmt::format(" or {}", m_frame.number) : ""));
            }
            if (m_frame.number >= 0 && !finishFrame())
                return false;
            if (m_frameCount && number >= *m_frameCount)
                return error(lineNumber,
                             fmt::format("frame {} beyond the {} frames of DimSize", number, *m_frameCount));
            m_frame = FrameFields();
            m_frame.number = number;
            m_frame.firstLine = lineNumber;
        }

        const auto badValue = [&](const char* what)
        {
            fail(lineNumber,
                 fmt::format("frame {}, field '{}': {}, found '{}'", number, clip(field), what, clip(value)));
            return false;
        };

        const auto duplicate = [&]
        {
            fail(lineNumber, fmt::format("frame {}: field '{}' given twice", number, clip(field)));
            return false;
        };

        if (field == "Timestamp")
        {
            if (m_frame.timestamp)
                return duplicate();
            const auto timestamp = parseTimestamp(value);
            if (!timestamp)
                return badValue("expected a finite time in seconds");
            m_frame.timestamp = *timestamp;
            return true;
        }

        std::string_view suffix;
        for (std::string_view candidate : { kStatusSuffix, kQualitySuffix, kTransformSuffix })
            if (endsWith(field, candidate))
            {
                suffix = candidate;
                break;
            }
        if (suffix.empty() || field.size() == suffix.size())
        {
            if (!suffix.empty())
                return error(lineNumber, fmt::format("frame {}, field '{}': no instrument name", number, clip(field)));
            // A field of another kind (image status, unfiltered timestamp, transforms into other frames): this
            // reader cannot keep it, so it says so once per field name instead of dropping it silently.
            if (m_ignoredFields.insert(field).second)
                Log::logf(Log::Warning, kCategory, "'{}': per-frame field '{}' is not supported and is left out",
                          m_source, clip(field));
            return true;
        }

        const std::string id = field.substr(0, field.size() - suffix.size());
        if (!isStorableId(id))
            return error(lineNumber, fmt::format("frame {}, field '{}': the instrument name contains white space or "
                                                 "control characters",
                                                 number, clip(field)));
        auto [entry, inserted] = m_frame.instruments.try_emplace(id);
        if (inserted)
            m_frame.order.push_back(id);
        InstrumentFields& fields = entry->second;
        if ((suffix == kTransformSuffix && fields.matrix) || (suffix == kStatusSuffix && fields.tracked) ||
            (suffix == kQualitySuffix && fields.quality))
            return duplicate();
        if (suffix == kTransformSuffix)
        {
            const auto parts = tokens(value);
            if (parts.size() != 16)
                return badValue(fmt::format("expected 16 matrix entries, got {}", parts.size()).c_str());
            Eigen::Matrix4d matrix;
            for (int i = 0; i < 16; ++i)
            {
                const auto entryValue = parseDouble(parts[size_t(i)]);
                if (!entryValue)
                    return badValue(fmt::format("matrix entry {} is not a finite number", i + 1).c_str());
                matrix(i / 4, i % 4) = *entryValue;
            }
            if (!hasRigidLastRow(matrix))
                return badValue("the last matrix row must be 0 0 0 1");
            fields.matrix = matrix;
        }
        else if (suffix == kStatusSuffix)
        {
            if (value == "OK")
                fields.tracked = true;
            else if (isUntrackedStatus(value))
                fields.tracked = false;
            else
                return badValue("expected OK or INVALID");
        }
        else
        {
            const auto quality = parseDouble(value);
            if (!quality)
                return badValue("expected a finite quality");
            fields.quality = *quality;
        }
        return true;
    }

    bool finishFrame()
    {
        const int number = m_frame.number;
        if (!m_frame.timestamp)
            return error(m_frame.firstLine, fmt::format("frame {}: missing field 'Timestamp'", number));
        TrackingSample sample;
        sample.timestampDevice = *m_frame.timestamp;
        for (const std::string& id : m_frame.order)
        {
            const InstrumentFields& fields = m_frame.instruments.at(id);
            if (!fields.matrix)
                return error(m_frame.firstLine,
                             fmt::format("frame {}: missing field '{}{}'", number, clip(id), kTransformSuffix));
            if (!fields.tracked)
                return error(m_frame.firstLine,
                             fmt::format("frame {}: missing field '{}{}'", number, clip(id), kStatusSuffix));
            TrackingInstrument instrument;
            instrument.id = TrackerID(id, std::string(), id);
            instrument.matrix = *fields.matrix;
            instrument.tracked = *fields.tracked;
            instrument.quality = fields.quality ? *fields.quality : (instrument.tracked ? 1.0 : 0.0);
            instrument.timestamp = sample.timestampDevice;
            sample.instruments.push_back(std::move(instrument));
        }
        m_samples.push_back(std::move(sample));
        return true;
    }

    /// Keeps log lines readable when a fuzzer or a binary file feeds megabytes into one field.
    static std::string clip(std::string_view text)
    {
        std::string result;
        for (char c : text.substr(0, 80))
            result += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
        if (text.size() > 80)
            result += "...";
        return result;
    }

    std::string_view m_text;
    const std::string& m_source;
    std::set<std::string> m_keys;
    std::set<std::string> m_ignoredFields;
    std::map<std::string, std::string> m_models;
    std::map<std::string, std::string> m_names;
    bool m_objectTypeSeen = false;
    bool m_nDimsSeen = false;
    bool m_dataFileSeen = false;
    std::optional<int64_t> m_frameCount;
    FrameFields m_frame;
    std::vector<TrackingSample> m_samples;
};

/// Checks what the reader would refuse, so that a file we write always reads back.
bool checkWritable(const std::vector<TrackingSample>& samples, const char* what)
{
    for (size_t frame = 0; frame < samples.size(); ++frame)
    {
        const int64_t timestamp = samples[frame].timestampDevice;
        if (timestamp > kMaxTimestampSeconds * 1'000'000 || timestamp < -kMaxTimestampSeconds * 1'000'000)
        {
            Log::logf(Log::Error, kCategory, "Cannot write {}: frame {}: timestamp {} µs is out of range", what, frame,
                      timestamp);
            return false;
        }
        std::set<std::string> ids;
        for (const TrackingInstrument& instrument : samples[frame].instruments)
        {
            const std::string& id = instrument.id.ID();
            if (!isStorableId(id))
            {
                Log::logf(Log::Error, kCategory,
                          "Cannot write {}: frame {}: instrument id '{}' is empty or contains white space, '=' or "
                          "control characters",
                          what, frame, id);
                return false;
            }
            if (!ids.insert(id).second)
            {
                Log::logf(Log::Error, kCategory, "Cannot write {}: frame {}: instrument '{}' appears twice", what,
                          frame, id);
                return false;
            }
            if (!instrument.matrix.allFinite() || !hasRigidLastRow(instrument.matrix) ||
                !std::isfinite(instrument.quality))
            {
                Log::logf(Log::Error, kCategory,
                          "Cannot write {}: frame {}: instrument '{}' has a non-finite number or a matrix whose last "
                          "row is not 0 0 0 1",
                          what, frame, id);
                return false;
            }
        }
    }
    return true;
}

bool writeText(const std::string& path, const std::string& text)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (file)
        file.write(text.data(), std::streamsize(text.size()));
    if (file)
        file.close();
    if (!file)
    {
        Log::logf(Log::Error, kCategory, "Cannot write '{}'", path);
        return false;
    }
    return true;
}

std::string csvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
    {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

} // namespace

std::optional<std::vector<TrackingSample>> TrackingSequenceFile::read(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
    {
        Log::logf(Log::Error, kCategory, "Cannot open '{}'", path);
        return std::nullopt;
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad())
    {
        Log::logf(Log::Error, kCategory, "Cannot read '{}'", path);
        return std::nullopt;
    }
    return parse(text.str(), path);
}

std::optional<std::vector<TrackingSample>> TrackingSequenceFile::parse(std::string_view text, const std::string& source)
{
    return Parser(text, source).run();
}

std::optional<std::string> TrackingSequenceFile::format(const std::vector<TrackingSample>& samples)
{
    if (!checkWritable(samples, "the sequence file"))
        return std::nullopt;

    // Identity of each instrument as first seen; a later rename cannot be represented (one name per file).
    std::vector<TrackerID> identities;
    std::map<std::string, size_t> identityIndex;
    for (const TrackingSample& sample : samples)
        for (const TrackingInstrument& instrument : sample.instruments)
        {
            const auto [it, inserted] = identityIndex.try_emplace(instrument.id.ID(), identities.size());
            if (inserted)
                identities.push_back(instrument.id);
            else if (identities[it->second] != instrument.id)
                Log::logf(Log::Warning, kCategory,
                          "Instrument '{}' changed its name or model during the recording; the file keeps the first",
                          instrument.id.ID());
        }
    for (const TrackerID& id : identities)
        if (!isStorableValue(id.model()) || !isStorableValue(id.name()))
        {
            Log::logf(Log::Error, kCategory,
                      "Cannot write the sequence file: the model or name of instrument '{}' contains control "
                      "characters or white space at either end",
                      id.ID());
            return std::nullopt;
        }

    std::string text;
    text += "ObjectType = Image\n";
    text += "NDims = 3\n";
    text += "AnatomicalOrientation = RAI\n";
    text += "BinaryData = True\n";
    text += "CompressedData = False\n";
    text += fmt::format("DimSize = 0 0 {}\n", samples.size());
    text += "ElementSpacing = 1 1 1\n";
    text += "Offset = 0 0 0\n";
    text += "TransformMatrix = 1 0 0 0 1 0 0 0 1\n";
    text += "ElementType = MET_UCHAR\n";
    text += "Kinds = domain domain list\n";
    for (const TrackerID& id : identities)
    {
        if (!id.model().empty())
            text += fmt::format("{}{}_Model = {}\n", kInstrumentPrefix, id.ID(), id.model());
        if (id.name() != id.ID())
            text += fmt::format("{}{}_Name = {}\n", kInstrumentPrefix, id.ID(), id.name());
    }
    for (size_t frame = 0; frame < samples.size(); ++frame)
    {
        const TrackingSample& sample = samples[frame];
        const std::string prefix = fmt::format("Seq_Frame{:04d}_", frame);
        for (const TrackingInstrument& instrument : sample.instruments)
        {
            const std::string& id = instrument.id.ID();
            text += fmt::format("{}{}{} = {}\n", prefix, id, kTransformSuffix, formatMatrix(instrument.matrix));
            text += fmt::format("{}{}{} = {}\n", prefix, id, kStatusSuffix, instrument.tracked ? "OK" : "INVALID");
            text += fmt::format("{}{}{} = {}\n", prefix, id, kQualitySuffix, formatDouble(instrument.quality));
        }
        text += fmt::format("{}Timestamp = {}\n", prefix, formatTimestamp(sample.timestampDevice));
    }
    text += "ElementDataFile = LOCAL\n";
    return text;
}

bool TrackingSequenceFile::write(const std::string& path, const std::vector<TrackingSample>& samples)
{
    const auto text = format(samples);
    return text && writeText(path, *text);
}

std::optional<std::string> TrackingSequenceFile::formatCsv(const std::vector<TrackingSample>& samples)
{
    if (!checkWritable(samples, "the CSV file"))
        return std::nullopt;
    std::string text = "frame,timestamp,instrument,tracked,quality";
    for (int row = 0; row < 4; ++row)
        for (int column = 0; column < 4; ++column)
            text += fmt::format(",m{}{}", row, column);
    text += '\n';
    for (size_t frame = 0; frame < samples.size(); ++frame)
        for (const TrackingInstrument& instrument : samples[frame].instruments)
        {
            text +=
              fmt::format("{},{},{},{},{}", frame, formatTimestamp(samples[frame].timestampDevice),
                          csvField(instrument.id.ID()), instrument.tracked ? 1 : 0, formatDouble(instrument.quality));
            for (int row = 0; row < 4; ++row)
                for (int column = 0; column < 4; ++column)
                    text += ',' + formatDouble(instrument.matrix(row, column));
            text += '\n';
        }
    return text;
}

bool TrackingSequenceFile::writeCsv(const std::string& path, const std::vector<TrackingSample>& samples)
{
    const auto text = formatCsv(samples);
    return text && writeText(path, *text);
}

std::vector<std::unique_ptr<TrackingSequence>> TrackingSequenceFile::toSequences(
  const std::vector<TrackingSample>& samples)
{
    std::vector<std::unique_ptr<TrackingSequence>> sequences;
    std::map<std::string, size_t> index;
    for (const TrackingSample& sample : samples)
        for (const TrackingInstrument& instrument : sample.instruments)
        {
            const auto [it, inserted] = index.try_emplace(instrument.id.ID(), sequences.size());
            if (inserted)
            {
                auto sequence = std::make_unique<TrackingSequence>(instrument.id.name().empty() ? instrument.id.ID()
                                                                                                : instrument.id.name());
                sequence->setTrackerID(instrument.id);
                sequences.push_back(std::move(sequence));
            }
            const int64_t timestamp = instrument.timestamp != 0 ? instrument.timestamp : sample.timestampDevice;
            sequences[it->second]->add(instrument.matrix, timestamp, instrument.quality, instrument.tracked);
        }
    return sequences;
}

std::vector<TrackingSample> TrackingSequenceFile::fromSequences(const std::vector<const TrackingSequence*>& sequences)
{
    // Key of a frame: (timestamp, rank of that timestamp within each sequence). Pairing by rank keeps every sample
    // of a sequence that repeats a timestamp in a frame of its own instead of merging two poses of one tool.
    std::map<std::pair<int64_t, int>, TrackingSample> frames;
    for (const TrackingSequence* sequence : sequences)
    {
        if (!sequence)
            continue;
        std::map<int64_t, int> rank;
        for (int i = 0; i < sequence->size(); ++i)
        {
            const int64_t timestamp = sequence->timestamp(i);
            TrackingSample& frame = frames[{ timestamp, rank[timestamp]++ }];
            frame.timestampDevice = timestamp;
            frame.instruments.push_back(TrackingInstrument{ sequence->trackerID(), sequence->matrix(i),
                                                            sequence->quality(i), timestamp, sequence->tracked(i) });
        }
    }
    std::vector<TrackingSample> samples;
    samples.reserve(frames.size());
    for (auto& [key, frame] : frames)
        samples.push_back(std::move(frame));
    return samples;
}

} // namespace Kelvaros
