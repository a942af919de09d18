#include "CombinedTrackingStream.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <unordered_set>

#include <Eigen/LU>
#include <fmt/format.h>

#include "core/Log.h"
#include "core/Properties.h"
#include "core/String.h"

namespace Kelvaros
{

namespace
{
constexpr const char* kLogCategory = "CombinedTrackingStream";
constexpr const char* kDisplayName = "Combined Tracking Stream";
constexpr const char* kForwardKey = "forwardWithoutCombination";
constexpr const char* kInstructionsBlock = "CombinationInstructions";
constexpr const char* kInstructionBlock = "Combination";
constexpr const char* kFusionInstructionsKey = "fusionInstructions";

std::vector<TrackingStream*> trackingStreamsOf(const DataList& data)
{
    return data.getAll<TrackingStream>();
}

std::vector<TrackingStream*> withoutNulls(std::vector<TrackingStream*> streams)
{
    streams.erase(std::remove(streams.begin(), streams.end(), nullptr), streams.end());
    return streams;
}

/// Reads a decimal int the way the older text form was written: leading white space and a sign allowed, anything
/// after the digits ignored. False without digits or outside the 32-bit range.
bool parseIndex(const std::string& text, int& value)
{
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(begin, &end, 10);
    if (end == begin || errno == ERANGE || parsed < std::numeric_limits<int>::min() ||
        parsed > std::numeric_limits<int>::max())
        return false;
    value = static_cast<int>(parsed);
    return true;
}

std::string spacesForTildes(std::string text)
{
    std::replace(text.begin(), text.end(), '~', ' ');
    return text;
}

/// Name under which a sample's stream is remembered; a sample that names no stream is kept under "".
std::string producerName(const TrackingStreamData& sample)
{
    if (const TrackingStream* stream = sample.trackingStream())
        return stream->name();
    if (const Stream* stream = sample.stream())
        return stream->name();
    return std::string();
}
} // namespace

CombinedTrackingStream::CombinationInstruction::CombinationInstruction() = default;

CombinedTrackingStream::CombinationInstruction::CombinationInstruction(const CombinationInstruction& other)
  : Configurable()
{
    *this = other;
}

CombinedTrackingStream::CombinationInstruction& CombinedTrackingStream::CombinationInstruction::operator=(
  const CombinationInstruction& other)
{
    // Only the values are copied: each instruction owns its own parameters, registered with itself.
    if (this != &other)
    {
        p_outputInstrument = other.p_outputInstrument.value();
        p_preStreamName = other.p_preStreamName.value();
        p_preInstrument = other.p_preInstrument.value();
        p_postStreamName = other.p_postStreamName.value();
        p_postInstrument = other.p_postInstrument.value();
        p_combinationMode = other.p_combinationMode.value();
    }
    return *this;
}

CombinedTrackingStream::CombinationInstruction::~CombinationInstruction() = default;

CombinedTrackingStream::CombinedTrackingStream(const std::vector<TrackingStream*>& streams)
  : TrackingStream(kDisplayName), m_streams(withoutNulls(streams))
{
    requireDistinctNames();
    connectInputs();
}

CombinedTrackingStream::CombinedTrackingStream(const DataList& data)
  : TrackingStream(kDisplayName), m_streams(trackingStreamsOf(data))
{
    requireDistinctNames();
    connectInputs();
}

CombinedTrackingStream::~CombinedTrackingStream()
{
    // The inputs' threads must be out of onStreamData before the members go.
    disconnectAll();
    closeOnDestruction();
}

bool CombinedTrackingStream::isCompatible(const DataList& data)
{
    if (data.isEmpty())
        return false;
    return std::all_of(data.items().begin(), data.items().end(),
                       [](Data* d) { return dynamic_cast<TrackingStream*>(d) != nullptr; });
}

void CombinedTrackingStream::requireDistinctNames() const
{
    // The latest samples are kept, and instructions find their streams, by name: two inputs of one name would
    // overwrite each other's samples and either could stand for the other.
    std::unordered_set<std::string> names;
    for (const TrackingStream* stream : m_streams)
        if (!names.insert(stream->name()).second)
            throw std::invalid_argument("two input streams are named '" + stream->name() +
                                        "'; a combination tells its inputs apart by name, so select streams whose "
                                        "names differ");
}

void CombinedTrackingStream::connectInputs()
{
    for (TrackingStream* stream : m_streams)
        stream->signalStreamData.connect(static_cast<SignalReceiver*>(this),
                                         [this, stream](const std::shared_ptr<const StreamData>& data)
                                         { onStreamData(*stream, data); });
}

CombinedTrackingStream::Entry CombinedTrackingStream::makeEntry(const CombinationInstruction& instruction, size_t index)
{
    Entry entry{ instruction,
                 TrackingInstrument{},
                 instruction.p_preStreamName.value(),
                 TrackerID::fromIDModelNameString(instruction.p_preInstrument.value()).ID(),
                 instruction.p_postStreamName.value(),
                 TrackerID::fromIDModelNameString(instruction.p_postInstrument.value()).ID(),
                 instruction.p_combinationMode.value() };
    entry.output.id = TrackerID("relative-" + std::to_string(index), "", instruction.p_outputInstrument.value());
    return entry;
}

void CombinedTrackingStream::addOutputInstrument(const CombinationInstruction& instruction)
{
    std::lock_guard<std::mutex> lock(m_dataMutex);
    m_entries.push_back(makeEntry(instruction, m_entries.size()));
}

void CombinedTrackingStream::setForwardWithoutCombination(bool forward)
{
    std::lock_guard<std::mutex> lock(m_dataMutex);
    m_forwardWithoutCombination = forward;
}

bool CombinedTrackingStream::isForwardWithoutCombination() const
{
    std::lock_guard<std::mutex> lock(m_dataMutex);
    return m_forwardWithoutCombination;
}

std::vector<TrackingInstrument> CombinedTrackingStream::outputInstruments() const
{
    std::vector<TrackingInstrument> outputs;
    std::lock_guard<std::mutex> lock(m_dataMutex);
    outputs.reserve(m_entries.size());
    for (const Entry& entry : m_entries)
        outputs.push_back(entry.output);
    return outputs;
}

std::vector<TrackingInstrument> CombinedTrackingStream::devices() const
{
    std::lock_guard<std::mutex> lock(m_devicesMutex);
    return m_devices;
}

Stream::ThreadingMode CombinedTrackingStream::threadingMode() const
{
    return ThreadingMode::InputThread;
}

bool CombinedTrackingStream::openImpl()
{
    return true;
}

bool CombinedTrackingStream::closeImpl()
{
    return true;
}

bool CombinedTrackingStream::startImpl()
{
    return true;
}

bool CombinedTrackingStream::stopImpl()
{
    return true;
}

std::optional<Stream::WorkContinuation> CombinedTrackingStream::doWork()
{
    return std::nullopt;
}

void CombinedTrackingStream::configure(const Properties* properties)
{
    if (!properties)
        return;
    TrackingStream::configure(properties);

    // The new list is assembled first and swapped in as a whole, so that a sample arriving meanwhile is combined
    // either with the old instructions or with the new ones, never with a half-built list.
    std::vector<CombinationInstruction> instructions;
    std::string text;
    if (properties->param(kFusionInstructionsKey, text) && !text.empty())
    {
        if (std::optional<CombinationInstruction> instruction = instructionFromText(text))
            instructions.push_back(*instruction);
    }
    if (const Properties* block = properties->subProperties(kInstructionsBlock))
    {
        for (const Properties* combination : block->subPropertiesAll(kInstructionBlock))
        {
            instructions.emplace_back();
            instructions.back().configure(combination);
        }
    }
    std::vector<Entry> entries;
    entries.reserve(instructions.size());
    for (size_t i = 0; i < instructions.size(); ++i)
        entries.push_back(makeEntry(instructions[i], i));

    bool forward = false;
    const bool hasForward = properties->param(kForwardKey, forward);
    std::lock_guard<std::mutex> lock(m_dataMutex);
    m_entries.swap(entries);
    if (hasForward)
        m_forwardWithoutCombination = forward;
}

void CombinedTrackingStream::configuration(Properties* properties) const
{
    if (!properties)
        return;
    TrackingStream::configuration(properties);
    std::lock_guard<std::mutex> lock(m_dataMutex);
    properties->setParam(kForwardKey, m_forwardWithoutCombination);
    Properties* block = properties->subProperties(kInstructionsBlock);
    if (!block)
        block = properties->addSubProperties(kInstructionsBlock);
    // A reused block holds an earlier list; appending to it would duplicate every output instrument on reload.
    for (const Properties* old : block->subPropertiesAll(kInstructionBlock))
        block->removeSubProperties(old);
    for (const Entry& entry : m_entries)
        entry.instruction.configuration(block->addSubProperties(kInstructionBlock));
}

std::optional<CombinedTrackingStream::CombinationInstruction> CombinedTrackingStream::instructionFromText(
  const std::string& text) const
{
    const auto fail = [&text](const std::string& reason) -> std::optional<CombinationInstruction>
    {
        Log::log(Log::Error, "", "Failed to convert string to CombinationInstruction: " + text);
        Log::logf(Log::Info, kLogCategory, "fusionInstructions not used: {}", reason);
        return std::nullopt;
    };

    // "output,_,preStream,n,postStream,_": pieces 1 and 5 carry nothing this stream uses.
    // Empty pieces are kept: an unused piece 1 left empty must not shift the stream names and the index.
    const std::vector<std::string> pieces = String::split(text, ",;");
    if (pieces.size() < 5)
        return fail(fmt::format("{} pieces where at least 5 are needed", pieces.size()));
    int index = 0;
    if (!parseIndex(pieces[3], index))
        return fail(fmt::format("'{}' is not an instrument index", pieces[3]));

    CombinationInstruction instruction;
    instruction.p_outputInstrument = pieces[0];
    const std::string preStreamName = spacesForTildes(pieces[2]);
    const std::string postStreamName = spacesForTildes(pieces[4]);
    instruction.p_preStreamName = preStreamName;
    instruction.p_postStreamName = postStreamName;

    for (const TrackingStream* stream : m_streams)
    {
        const std::string name = stream->name();
        if (name != preStreamName && name != postStreamName)
            continue;
        const std::vector<TrackingInstrument> instruments = stream->instruments();
        if (index < 0 || static_cast<size_t>(index) >= instruments.size())
            return fail(fmt::format("instrument {} does not exist in stream '{}', which has {} instruments", index,
                                    name, instruments.size()));
        const std::string instrument = instruments[static_cast<size_t>(index)].id.toIDModelNameString(false);
        if (name == preStreamName)
            instruction.p_preInstrument = instrument;
        if (name == postStreamName)
            instruction.p_postInstrument = instrument;
    }
    instruction.p_combinationMode = index >= 0 ? CombinationMode::Composition : CombinationMode::Relative;
    return instruction;
}

CombinedTrackingStream::Found CombinedTrackingStream::findLocked(const std::string& streamName,
                                                                 const std::string& id) const
{
    // An empty id names no instrument, even if a faulty device sent one without an id.
    if (id.empty())
        return {};
    const auto it = m_latestSamples.find(streamName);
    if (it == m_latestSamples.end() || !it->second.sample)
        return {};
    const Latest& latest = it->second;
    const std::vector<TrackingInstrument>& instruments = latest.sample->instrumentList();
    const auto match = std::find_if(instruments.rbegin(), instruments.rend(),
                                    [&id](const TrackingInstrument& instrument) { return instrument.id.ID() == id; });
    if (match == instruments.rend())
        return {};
    return { &*match, latest.sample, latest.input->state() == State::Running };
}

void CombinedTrackingStream::onStreamData(const TrackingStream& input, const std::shared_ptr<const StreamData>& data)
{
    auto sample = std::dynamic_pointer_cast<const TrackingStreamData>(data);
    if (!sample)
        return;
    const std::string sourceName = producerName(*sample);
    {
        std::lock_guard<std::mutex> lock(m_dataMutex);
        m_latestSamples[sourceName] = Latest{ sample, &input };
    }
    const int64_t arrival = StreamData::nowMicroseconds();

    std::vector<TrackingInstrument> result;
    std::shared_ptr<const TrackingStreamData> componentSource;
    bool triggered = false;
    {
        std::lock_guard<std::mutex> lock(m_dataMutex);
        result.reserve(m_entries.size());
        const bool forward = m_forwardWithoutCombination;
        for (Entry& entry : m_entries)
        {
            Found reference;
            if (!forward)
            {
                reference = findLocked(entry.preStreamName, entry.preId);
                if (!reference.instrument)
                    continue;
            }
            const Found target = findLocked(entry.postStreamName, entry.postId);
            if (!target.instrument)
                continue;

            // Relative: target -> tracker, then tracker -> reference, i.e. the target in the reference's frame.
            Eigen::Matrix4d pose = target.instrument->matrix;
            if (!forward)
                pose = entry.mode == CombinationMode::Relative
                         ? Eigen::Matrix4d(reference.instrument->matrix.inverse() * pose)
                         : Eigen::Matrix4d(reference.instrument->matrix * pose);

            // Only a sample of a target's stream triggers an emission; a reference alone changes the next result.
            if (entry.postStreamName == sourceName)
            {
                triggered = true;
                componentSource = target.sample;
            }

            // A combination of a tool the tracker cannot see, or of a pose its stopped input left behind, is not
            // tracked either.
            const bool delivering = target.delivering && (forward || reference.delivering);
            const double quality =
              forward ? target.instrument->quality : reference.instrument->quality * target.instrument->quality;
            TrackingInstrument& output = entry.output;
            output.matrix = pose;
            output.quality = delivering ? quality : 0.0;
            output.timestamp = target.instrument->timestamp;
            output.tracked = delivering && target.instrument->tracked && (forward || reference.instrument->tracked);
            result.push_back(output);
        }
    }

    if (!triggered || result.empty())
        return;
    TrackingStreamData combined(this, std::move(result));
    combined.setTimestampArrival(arrival);
    combined.setTimestampDevice(combined.instrumentList().front().timestamp);
    if (componentSource)
        combined.updateComponents(*componentSource);
    sendStreamData(combined);
}

void CombinedTrackingStream::sendStreamData(TrackingStreamData& data)
{
    if (!isStateOneOf({ State::Running, State::Paused }))
        return;
    {
        std::lock_guard<std::mutex> lock(m_devicesMutex);
        m_devices = data.instruments();
    }
    emitStreamData(std::shared_ptr<const StreamData>(data.clone()));
}

} // namespace Kelvaros
