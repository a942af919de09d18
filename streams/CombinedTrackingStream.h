#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/Configurable.h"
#include "core/Parameter.h"
#include "core/Signal.h"
#include "lib/DataList.h"
#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"

namespace Kelvaros
{

class Properties;

/// A derived tracking stream that combines instruments of several input tracking streams. Each output instrument
/// is the pose of a target instrument expressed in the frame of a reference instrument (Relative), or the reference
/// pose composed with the target pose (Composition); the two may come from different input streams. A sample of the
/// stream carrying a target triggers one output sample holding every output instrument that can be evaluated, so the
/// combination looks like a tracker of its own to everything downstream. An output instrument's quality is the product
/// of the reference's and the target's (the target's alone when forwarding), its timestamp the target's, and it is
/// tracked only when the instruments it is made of are.
///
/// The last sample of every input is kept, so that a stream that sent a fixed pose once can serve as a reference.
/// But the stored pose of an input that is not delivering (not Running: stopped, paused, closed or disconnected) is
/// no pose to navigate by: outputs that use it are reported untracked with quality 0 until the input runs again.
/// Instructions name their inputs by Data::name, so the inputs' names must differ.
///
/// The stream works from construction on (it stores the inputs' samples), but emits only while it is Running or
/// Paused. Its lifecycle calls do not touch the inputs. The inputs must outlive it.
///
/// Threads and locks: onStreamData runs on the delivery threads of all inputs, possibly at the same time. The data
/// mutex guards the latest samples, the instructions and the forward flag; the devices mutex guards the instruments
/// of the last emitted sample. Both are plain and never held together, and neither is held while listeners run, so a
/// listener may call any method of this stream.
class CombinedTrackingStream
  : public TrackingStream
  , public SignalReceiver
{
public:
    /// How the reference pose enters an output instrument.
    enum class CombinationMode : int
    {
        Relative = 0,   ///< inverse(reference) * target: the target in the reference's frame.
        Composition = 1 ///< reference * target.
    };

    /// One output instrument: where its reference and target come from and how they combine. The settings are host
    /// parameters, so Configurable's configure/configuration read and write them under their keys.
    class CombinationInstruction : public Configurable
    {
    public:
        CombinationInstruction();
        CombinationInstruction(const CombinationInstruction& other);
        CombinationInstruction& operator=(const CombinationInstruction& other);
        ~CombinationInstruction() override;

        /// Display name of the output instrument.
        Parameter<std::string> p_outputInstrument{ "outputInstrument", "", this };
        /// Data::name of the input stream carrying the reference instrument.
        Parameter<std::string> p_preStreamName{ "preStreamName", "", this };
        /// The reference instrument in TrackerID's text form (toIDModelNameString(false)).
        Parameter<std::string> p_preInstrument{ "preInstrument", "", this };
        /// Data::name of the input stream carrying the target instrument.
        Parameter<std::string> p_postStreamName{ "postStreamName", "", this };
        /// The target instrument in TrackerID's text form.
        Parameter<std::string> p_postInstrument{ "postInstrument", "", this };
        /// Stored as its integer value.
        Parameter<CombinationMode> p_combinationMode{ "combinationMode", CombinationMode::Relative, this };
    };

    /// A stream over these inputs (null entries are skipped), in this order. Connects to their samples at once.
    /// std::invalid_argument when two inputs have the same name (instructions could not tell them apart).
    explicit CombinedTrackingStream(const std::vector<TrackingStream*>& streams);
    /// A stream over every TrackingStream of the list, in list order; refused like the other constructor.
    explicit CombinedTrackingStream(const DataList& data);
    /// Drops the connections to the inputs first (waiting for a running listener call), then closes the stream.
    ~CombinedTrackingStream() override;

    /// True when the list is not empty and every item is a TrackingStream.
    [[nodiscard]] static bool isCompatible(const DataList& data);

    /// Appends an output instrument. Its identity is TrackerID("relative-<index>", "", outputInstrument), where
    /// index is the number of instructions before it. Any thread.
    void addOutputInstrument(const CombinationInstruction& instruction);
    /// When set, every output instrument is its target instrument, unchanged, under the output identity; no
    /// reference is needed. Any thread.
    void setForwardWithoutCombination(bool forward);
    [[nodiscard]] bool isForwardWithoutCombination() const;

    /// The input streams, in construction order. Any thread.
    [[nodiscard]] std::vector<TrackingStream*> streams() const { return m_streams; }
    /// The output instrument of every instruction as last computed (identity set when added, pose and quality from
    /// the last evaluation), in instruction order. Any thread.
    [[nodiscard]] std::vector<TrackingInstrument> outputInstruments() const;
    /// The instruments of the last emitted sample. Any thread.
    [[nodiscard]] std::vector<TrackingInstrument> devices() const override;

    /// InputThread: the stream emits on the thread of the input whose sample triggered it.
    [[nodiscard]] ThreadingMode threadingMode() const override;

    /// Reads "forwardWithoutCombination", the older single-instruction text "fusionInstructions" and the blocks
    /// "CombinationInstructions"/"Combination"; the instruction list is replaced as a whole (ids restart at 0).
    /// Null: nothing. User-interface thread (reads the inputs' instrument lists for the older text).
    void configure(const Properties* properties) override;
    /// Writes "forwardWithoutCombination" and one "Combination" block per instruction into
    /// "CombinationInstructions" (a block of that name already present is reused, its old entries replaced).
    void configuration(Properties* properties) const override;

protected:
    bool openImpl() override;
    bool closeImpl() override;
    bool startImpl() override;
    bool stopImpl() override;
    std::optional<WorkContinuation> doWork() override;

private:
    /// An instruction with its text fields parsed once, and the output instrument last computed for it.
    struct Entry
    {
        CombinationInstruction instruction;
        TrackingInstrument output;
        std::string preStreamName;
        std::string preId;
        std::string postStreamName;
        std::string postId;
        CombinationMode mode = CombinationMode::Relative;
    };

    /// The latest sample of one input, and the input that delivered it (whose state says whether it still counts).
    struct Latest
    {
        std::shared_ptr<const TrackingStreamData> sample;
        const TrackingStream* input = nullptr;
    };
    /// An instrument found in a stored sample, with that sample and whether its input is delivering.
    struct Found
    {
        const TrackingInstrument* instrument = nullptr;
        std::shared_ptr<const TrackingStreamData> sample;
        bool delivering = false;
    };

    /// Throws std::invalid_argument when two inputs share a name.
    void requireDistinctNames() const;
    void connectInputs();
    /// Converts the older text form "output,_,preStream,n,postStream,_" ("~" stands for a space in stream names)
    /// into an instruction: reference and target are instrument n of the named streams' instruments() lists, mode
    /// Composition for n >= 0. Empty when the text is malformed or n is not an index of a named stream's list
    /// (then the error is logged).
    [[nodiscard]] std::optional<CombinationInstruction> instructionFromText(const std::string& text) const;
    [[nodiscard]] static Entry makeEntry(const CombinationInstruction& instruction, size_t index);
    /// Listener of every input's samples, on that input's delivery thread.
    void onStreamData(const TrackingStream& input, const std::shared_ptr<const StreamData>& data);
    /// Publishes a sample while Running or Paused; drops it silently otherwise.
    void sendStreamData(TrackingStreamData& data);
    /// The instrument of that id in the latest sample of that stream (the last match); no instrument when there is
    /// none. Data mutex held.
    [[nodiscard]] Found findLocked(const std::string& streamName, const std::string& id) const;

    const std::vector<TrackingStream*> m_streams;

    mutable std::mutex m_dataMutex;
    std::unordered_map<std::string, Latest> m_latestSamples;
    std::vector<Entry> m_entries;
    bool m_forwardWithoutCombination = false;

    mutable std::mutex m_devicesMutex;
    std::vector<TrackingInstrument> m_devices;
};

} // namespace Kelvaros
