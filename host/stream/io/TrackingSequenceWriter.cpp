#include "stream/io/TrackingSequenceWriter.h"

#include <charconv>
#include <cmath>

#include <fmt/format.h>

#include "core/AtomicFile.h"
#include "core/Log.h"
#include "stream/io/SequenceFileFormat.h"

namespace Kelvaros
{

using namespace SequenceFileFormat;

namespace
{
// Room for any frame count an int64 holds; the count is left-aligned and padded with spaces, which readers trim.
constexpr size_t kCountWidth = 20;
constexpr std::string_view kCountField = "DimSize = 0 0 ";

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

const char* metafileHeader = "ObjectType = Image\n"
                             "NDims = 3\n"
                             "AnatomicalOrientation = RAI\n"
                             "BinaryData = True\n"
                             "CompressedData = False\n";
const char* metafileHeaderAfterCount = "ElementSpacing = 1 1 1\n"
                                       "Offset = 0 0 0\n"
                                       "TransformMatrix = 1 0 0 0 1 0 0 0 1\n"
                                       "ElementType = MET_UCHAR\n"
                                       "Kinds = domain domain list\n";

/// Why a sample cannot be stored, or empty when it can.
std::string refusal(const TrackingSample& sample)
{
    const int64_t limit = kMaxTimestampSeconds * 1'000'000;
    if (sample.timestampDevice > limit || sample.timestampDevice < -limit)
        return fmt::format("timestamp {} µs is out of range", sample.timestampDevice);
    std::set<std::string> ids;
    for (const TrackingInstrument& instrument : sample.instruments)
    {
        const std::string& id = instrument.id.ID();
        if (!isStorableId(id))
            return fmt::format("instrument id '{}' is empty or contains white space, '=' or control characters", id);
        if (!ids.insert(id).second)
            return fmt::format("instrument '{}' appears twice", id);
        if (!instrument.matrix.allFinite() || !hasRigidLastRow(instrument.matrix) || !std::isfinite(instrument.quality))
            return fmt::format("instrument '{}' has a non-finite number or a matrix whose last row is not 0 0 0 1", id);
    }
    return {};
}
} // namespace

TrackingSequenceWriter::Format TrackingSequenceWriter::formatFor(const std::string& path)
{
    const bool csv = path.size() > 4 && path.compare(path.size() - 4, 4, ".csv") == 0;
    return csv ? Format::Csv : Format::Metafile;
}

TrackingSequenceWriter::TrackingSequenceWriter(const std::string& path) : TrackingSequenceWriter(path, formatFor(path))
{
}

TrackingSequenceWriter::TrackingSequenceWriter(const std::string& path, Format format)
  : m_format(format), m_file(std::make_unique<AtomicFile>(path))
{
}

TrackingSequenceWriter::TrackingSequenceWriter(Format format) : m_format(format) {}

TrackingSequenceWriter::~TrackingSequenceWriter() = default;

bool TrackingSequenceWriter::open()
{
    if (m_file && !m_file->open())
        return fail();
    if (m_format == Format::Csv)
    {
        m_text += "frame,timestamp,instrument,tracked,quality";
        for (int row = 0; row < 4; ++row)
            for (int column = 0; column < 4; ++column)
                m_text += fmt::format(",m{}{}", row, column);
        m_text += '\n';
    }
    else
    {
        m_text += metafileHeader;
        m_text += kCountField;
        m_countOffset = m_written + int64_t(m_text.size());
        m_text += std::string(kCountWidth, ' ') + '\n';
        m_text += metafileHeaderAfterCount;
    }
    return emit();
}

bool TrackingSequenceWriter::storable(const TrackingSample& sample) const
{
    std::string reason = refusal(sample);
    for (const TrackingInstrument& instrument : sample.instruments)
        if (reason.empty() && !m_identityIndex.count(instrument.id.ID()) && m_format == Format::Metafile &&
            (!isStorableValue(instrument.id.model()) || !isStorableValue(instrument.id.name())))
            reason = fmt::format("the model or name of instrument '{}' contains control characters or white space at "
                                 "either end",
                                 instrument.id.ID());
    // One line for the first refusal: a source that keeps sending such samples must not flood the log.
    if (!reason.empty() && m_refused == 0)
        Log::logf(Log::Error, kCategory, "Cannot write frame {} of {}: {}", m_frames,
                  m_file ? "'" + m_file->path() + "'" : std::string("the sequence"), reason);
    return reason.empty();
}

void TrackingSequenceWriter::rememberIdentities(const TrackingSample& sample)
{
    for (const TrackingInstrument& instrument : sample.instruments)
    {
        const auto [it, inserted] = m_identityIndex.try_emplace(instrument.id.ID(), m_identities.size());
        if (inserted)
            m_identities.push_back(instrument.id);
        else if (m_identities[it->second] != instrument.id)
        {
            // A derived stream may name its first sample as its input did (the smoothed stream's Kalman start), so
            // the name a tool settles on is the one kept, said once.
            if (m_renamed.insert(instrument.id.ID()).second)
                Log::logf(Log::Info, kCategory,
                          "Instrument '{}' changed its name or model during the recording; the file keeps the last",
                          instrument.id.ID());
            m_identities[it->second] = instrument.id;
        }
    }
}

TrackingSequenceWriter::Result TrackingSequenceWriter::append(const TrackingSample& sample)
{
    if (m_failed)
        return Result::Failed;
    if (!storable(sample))
    {
        ++m_refused;
        return Result::Refused;
    }
    if (m_format == Format::Csv)
        appendCsvRows(sample);
    else
    {
        rememberIdentities(sample);
        appendMetafileFrame(sample);
    }
    ++m_frames;
    return emit() ? Result::Written : Result::Failed;
}

void TrackingSequenceWriter::appendMetafileFrame(const TrackingSample& sample)
{
    const std::string prefix = fmt::format("{}{:04d}_", kFramePrefix, m_frames);
    for (const TrackingInstrument& instrument : sample.instruments)
    {
        const std::string& id = instrument.id.ID();
        m_text += fmt::format("{}{}{} = {}\n", prefix, id, kTransformSuffix, formatMatrix(instrument.matrix));
        m_text += fmt::format("{}{}{} = {}\n", prefix, id, kStatusSuffix, instrument.tracked ? "OK" : "INVALID");
        m_text += fmt::format("{}{}{} = {}\n", prefix, id, kQualitySuffix, formatDouble(instrument.quality));
    }
    m_text += fmt::format("{}Timestamp = {}\n", prefix, formatTimestamp(sample.timestampDevice));
}

void TrackingSequenceWriter::appendCsvRows(const TrackingSample& sample)
{
    for (const TrackingInstrument& instrument : sample.instruments)
    {
        m_text +=
          fmt::format("{},{},{},{},{}", m_frames, formatTimestamp(sample.timestampDevice), csvField(instrument.id.ID()),
                      instrument.tracked ? 1 : 0, formatDouble(instrument.quality));
        for (int row = 0; row < 4; ++row)
            for (int column = 0; column < 4; ++column)
                m_text += ',' + formatDouble(instrument.matrix(row, column));
        m_text += '\n';
    }
}

bool TrackingSequenceWriter::writeCount()
{
    const std::string count = fmt::format("{:<{}}", m_frames, kCountWidth);
    if (m_file)
        return m_file->overwrite(m_countOffset, count) || fail();
    m_text.replace(size_t(m_countOffset), kCountWidth, count);
    return true;
}

bool TrackingSequenceWriter::emit()
{
    if (!m_file || m_failed)
        return !m_failed;
    const bool ok = m_file->write(m_text);
    m_written += int64_t(m_text.size());
    m_text.clear();
    return ok || fail();
}

bool TrackingSequenceWriter::fail()
{
    if (!m_failed && m_file)
    {
        m_error = m_file->error();
        Log::log(Log::Error, kCategory, m_error);
    }
    m_failed = true;
    return false;
}

bool TrackingSequenceWriter::close()
{
    if (m_format == Format::Metafile && !m_failed)
    {
        for (const TrackerID& id : m_identities)
        {
            if (!id.model().empty())
                m_text += fmt::format("{}{}_Model = {}\n", kInstrumentPrefix, id.ID(), id.model());
            if (id.name() != id.ID())
                m_text += fmt::format("{}{}_Name = {}\n", kInstrumentPrefix, id.ID(), id.name());
        }
        m_text += "ElementDataFile = LOCAL\n";
        if (!emit() || !writeCount())
            return false;
    }
    if (m_file && !m_failed && !m_file->commit())
        fail();
    return !m_failed;
}

} // namespace Kelvaros
