#include "stream/io/TrackingSequenceFile.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <system_error>
#include <tuple>
#include <utility>

#include <fmt/format.h>

#include "core/FileSystem.h"
#include "core/Log.h"
#include "lib/numerics/Pose.h"
#include "stream/TrackingSequence.h"
#include "stream/io/BoundedLineReader.h"
#include "stream/io/SequenceFileFormat.h"
#include "stream/io/TrackingSequenceReader.h"
#include "stream/io/TrackingSequenceWriter.h"

namespace Kelvaros
{

using namespace SequenceFileFormat;

namespace
{

bool endsWith(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
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
    std::set<std::string> keys;
};

/// Questionable but readable content: counted while reading, reported in one warning per kind with the first
/// frame at fault, so that a million-frame file does not write a million lines.
struct Tally
{
    int64_t count = 0;
    int firstFrame = -1;
    std::string firstName;

    void add(int frame, const std::string& name = std::string())
    {
        if (count++ == 0)
        {
            firstFrame = frame;
            firstName = name;
        }
    }
};

/// The strict reader, fed one line at a time, handing each frame to `sink` once it is complete, so that a file is
/// never held whole. Instruments come with their ids only; identities() gives their names and models.
class Parser
{
public:
    using Sink = std::function<void(TrackingSample&&)>;

    Parser(const std::string& source, Sink sink) : m_source(source), m_sink(std::move(sink)) {}

    /// One line without its line feed; false after an Error.
    bool feed(std::string_view line)
    {
        ++m_lineNumber;
        if (!m_dataFileSeen)
            return parseLine(line, m_lineNumber);
        return trimmed(line).empty() ||
               error(m_lineNumber, "unexpected data after ElementDataFile (image data is not supported)");
    }

    /// A line past the length limit (`limit` in words): no recording has one, and reading on would hold it whole.
    bool refuseLongLine(const char* limit)
    {
        return error(0, fmt::format("line {} is longer than {}; not a recording", ++m_lineNumber, limit));
    }

    /// After the last line: the checks that need the whole file, then the warnings; false after an Error.
    bool finish()
    {
        if (!m_dataFileSeen)
            return error(0, "the header does not end with 'ElementDataFile = LOCAL'");
        if (!m_objectTypeSeen)
            return error(0, "missing field 'ObjectType'");
        if (!m_nDimsSeen)
            return error(0, "missing field 'NDims'");
        if (!m_frameCount)
            return error(0, "missing field 'DimSize'");
        if (m_frames != *m_frameCount)
            return error(0, fmt::format("DimSize announces {} frames but the file holds {}", *m_frameCount, m_frames));
        warnAbout(m_unknownFields, "per-frame fields are not supported and are left out, the first '{1}' in frame {0}");
        warnAbout(m_backwardTimestamps, "frames have a negative time stamp or one earlier than the frame before, "
                                        "the first frame {0}");
        warnAbout(m_nonRigidPoses, "tracked poses are not rigid (or not finite) and are read as untracked, the first "
                                   "of '{1}' in frame {0}");
        return true;
    }

    /// The instruments the header names, with their models and display names.
    std::map<std::string, TrackerID> identities() const
    {
        std::map<std::string, TrackerID> result;
        for (const auto& [id, model] : m_models)
            result[id] = TrackerID(id, model, id);
        for (const auto& [id, name] : m_names)
            result[id] = TrackerID(id, result.count(id) ? result[id].model() : std::string(), name);
        return result;
    }

private:
    bool error(int line, const std::string& message) const
    {
        fail(line, message);
        return false;
    }

    void fail(int line, const std::string& message) const
    {
        if (line > 0)
            Log::logf(Log::Error, kCategory, "Cannot read '{}', line {}: {}", m_source, line, message);
        else
            Log::logf(Log::Error, kCategory, "Cannot read '{}': {}", m_source, message);
    }

    bool duplicateKey(int lineNumber, const std::string& key) const
    {
        return error(lineNumber, fmt::format("duplicate key '{}'", clip(key)));
    }

    void warnAbout(const Tally& tally, const char* what) const
    {
        if (tally.count > 0)
            Log::logf(Log::Warning, kCategory, "'{}': {} {}", m_source, tally.count,
                      fmt::format(fmt::runtime(what), tally.firstFrame, clip(tally.firstName)));
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
        if (startsWith(key, kFramePrefix))
            return parseFrameField(key, value, lineNumber);
        if (!m_keys.insert(key).second)
            return duplicateKey(lineNumber, key);
        if (m_frame.number >= 0)
        {
            // Header fields after the frames: only the terminator, and the instruments' names and models, which a
            // recording written as it comes learns on the way.
            if (key != "ElementDataFile" && !startsWith(key, kInstrumentPrefix))
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
            if (m_frame.number >= 0 && !finishFrame())
                return false;
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
        // Keys of other frames cannot repeat (frames only move forward), so only this frame's are remembered.
        if (!m_frame.keys.insert(key).second)
            return duplicateKey(lineNumber, key);

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
            // reader cannot keep it, so it says so instead of dropping it silently.
            m_unknownFields.add(number, field);
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
        if (sample.timestampDevice < 0 || (m_lastTimestamp && sample.timestampDevice < *m_lastTimestamp))
            m_backwardTimestamps.add(number);
        m_lastTimestamp = sample.timestampDevice;
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
            // A scaled, sheared or absurdly far pose would pass as a measurement: downstream stages trust "tracked".
            if (instrument.tracked && !Pose::isRigid(instrument.matrix))
            {
                m_nonRigidPoses.add(number, id);
                instrument.tracked = false;
                instrument.quality = 0.0;
            }
            instrument.timestamp = sample.timestampDevice;
            sample.instruments.push_back(std::move(instrument));
        }
        ++m_frames;
        m_sink(std::move(sample));
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

    const std::string& m_source;
    Sink m_sink;
    int m_lineNumber = 0;
    int64_t m_frames = 0;
    std::optional<int64_t> m_lastTimestamp;
    std::set<std::string> m_keys;
    Tally m_unknownFields;
    Tally m_backwardTimestamps;
    Tally m_nonRigidPoses;
    std::map<std::string, std::string> m_models;
    std::map<std::string, std::string> m_names;
    bool m_objectTypeSeen = false;
    bool m_nDimsSeen = false;
    bool m_dataFileSeen = false;
    std::optional<int64_t> m_frameCount;
    FrameFields m_frame;
};

/// Names and models of the instruments, which a file may give after its frames.
void applyIdentities(std::vector<TrackingSample>& samples, const std::map<std::string, TrackerID>& identities)
{
    for (TrackingSample& sample : samples)
        for (TrackingInstrument& instrument : sample.instruments)
            if (const auto identity = identities.find(instrument.id.ID()); identity != identities.end())
                instrument.id = identity->second;
}

/// All or nothing: a refused sample refuses the whole recording, as the reader would.
bool writeAll(TrackingSequenceWriter& writer, const std::vector<TrackingSample>& samples)
{
    if (!writer.open())
        return false;
    for (const TrackingSample& sample : samples)
        if (writer.append(sample) != TrackingSequenceWriter::Result::Written)
            return false;
    return writer.close();
}

} // namespace

std::optional<std::vector<TrackingSample>> TrackingSequenceFile::read(const std::string& path)
{
    TrackingSequenceReader reader(path);
    std::vector<TrackingSample> samples;
    while (auto sample = reader.next())
        samples.push_back(std::move(*sample));
    if (!reader.complete())
        return std::nullopt;
    applyIdentities(samples, reader.identities());
    return samples;
}

std::optional<std::vector<TrackingSample>> TrackingSequenceFile::parse(std::string_view text, const std::string& source)
{
    std::vector<TrackingSample> samples;
    Parser parser(source, [&samples](TrackingSample&& sample) { samples.push_back(std::move(sample)); });
    for (size_t position = 0; position < text.size();)
    {
        const size_t end = std::min(text.find('\n', position), text.size());
        // The same limit as for a file, so that text and file of the same bytes read alike.
        if (end - position > BoundedLineReader::kMaxLineBytes)
        {
            (void)parser.refuseLongLine(BoundedLineReader::limitText());
            return std::nullopt;
        }
        if (!parser.feed(text.substr(position, end - position)))
            return std::nullopt;
        position = end + 1;
    }
    if (!parser.finish())
        return std::nullopt;
    applyIdentities(samples, parser.identities());
    return samples;
}

std::optional<std::string> TrackingSequenceFile::format(const std::vector<TrackingSample>& samples)
{
    TrackingSequenceWriter writer(TrackingSequenceWriter::Format::Metafile);
    return writeAll(writer, samples) ? std::optional<std::string>(writer.text()) : std::nullopt;
}

bool TrackingSequenceFile::write(const std::string& path, const std::vector<TrackingSample>& samples)
{
    TrackingSequenceWriter writer(path, TrackingSequenceWriter::Format::Metafile);
    return writeAll(writer, samples);
}

std::optional<std::string> TrackingSequenceFile::formatCsv(const std::vector<TrackingSample>& samples)
{
    TrackingSequenceWriter writer(TrackingSequenceWriter::Format::Csv);
    return writeAll(writer, samples) ? std::optional<std::string>(writer.text()) : std::nullopt;
}

bool TrackingSequenceFile::writeCsv(const std::string& path, const std::vector<TrackingSample>& samples)
{
    TrackingSequenceWriter writer(path, TrackingSequenceWriter::Format::Csv);
    return writeAll(writer, samples);
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

// The reader drives the parser above, so it is implemented beside it.
struct TrackingSequenceReader::Impl
{
    Impl(const std::string& path, std::map<std::string, TrackerID> identities)
      : path(path),
        lines(file),
        parser(this->path, [this](TrackingSample&& sample) { ready.push_back(std::move(sample)); }),
        known(std::move(identities))
    {
    }

    /// Reads lines until a frame is complete or the file ends; sets `done`, and `accepted` at a good end.
    void readFrame()
    {
        std::string line;
        while (ready.empty() && !done)
        {
            const BoundedLineReader::Result result = lines.next(line);
            if (result == BoundedLineReader::Result::TooLong)
                done = !parser.refuseLongLine(BoundedLineReader::limitText());
            if (result != BoundedLineReader::Result::End)
            {
                empty = false;
                done = done || !parser.feed(line);
                continue;
            }
            done = true;
            if (file.bad())
                Log::logf(Log::Error, kCategory, "Cannot read '{}'", path);
            else if (empty)
                Log::logf(Log::Error, kCategory, "Cannot read '{}': the file is empty", path);
            else
                accepted = parser.finish();
        }
    }

    const std::string path;
    std::ifstream file;
    BoundedLineReader lines;
    Parser parser;
    std::deque<TrackingSample> ready;
    std::map<std::string, TrackerID> known;
    bool empty = true;
    bool done = false;
    bool accepted = false;
};

TrackingSequenceReader::TrackingSequenceReader(const std::string& path, std::map<std::string, TrackerID> identities)
  : m_impl(std::make_unique<Impl>(path, std::move(identities)))
{
    m_impl->done = true;
    // A pipe would block the open and a device such as /dev/zero never end; a folder gets words of its own.
    if (const std::string why = FileSystem::whyNotReadable(path, true); !why.empty())
    {
        Log::logf(Log::Error, kCategory, "Cannot open '{}': {}", path, why);
        return;
    }
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
    {
        Log::logf(Log::Error, kCategory, "Cannot read '{}': it is a folder, not a sequence file", path);
        return;
    }
    m_impl->file.open(path, std::ios::binary);
    if (!m_impl->file.is_open())
    {
        Log::logf(Log::Error, kCategory, "Cannot open '{}'", path);
        return;
    }
    m_impl->done = false;
}

TrackingSequenceReader::~TrackingSequenceReader() = default;

std::optional<TrackingSample> TrackingSequenceReader::next()
{
    m_impl->readFrame();
    if (m_impl->ready.empty())
        return std::nullopt;
    TrackingSample sample = std::move(m_impl->ready.front());
    m_impl->ready.pop_front();
    // Names from the header (or handed over from an earlier pass, when the file gives them after the frames).
    for (TrackingInstrument& instrument : sample.instruments)
    {
        const std::string& id = instrument.id.ID();
        if (const auto known = m_impl->known.find(id); known != m_impl->known.end())
            instrument.id = known->second;
    }
    return sample;
}

bool TrackingSequenceReader::complete() const
{
    return m_impl->accepted && m_impl->ready.empty();
}

std::map<std::string, TrackerID> TrackingSequenceReader::identities() const
{
    return m_impl->parser.identities();
}

} // namespace Kelvaros
