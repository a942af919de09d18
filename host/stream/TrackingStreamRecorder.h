#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/Export.h"
#include "stream/StreamRecorder.h"

namespace Kelvaros
{

class TrackingSequence;
class TrackingStream;

/// Records the instruments of a tracking stream into one TrackingSequence per instrument: either one chosen
/// instrument (setRecordingInstrument) or every instrument of the stream (setRecordAllInstruments(true), the
/// default).
///
/// Each sequence is named after its instrument (its name, or its id when the name is empty), carries its
/// TrackerID, the stream's registration matrix (Data::matrix of the stream) and the instrument's calibration
/// from the stream's InstrumentCalibrationDataComponent at the time the instrument was first recorded. Each
/// recorded sample keeps the instrument's pose, device timestamp (the instrument's own, else the sample's),
/// quality and tracked flag, and, when the sample carries TrackingInstrumentFiducialsData, that instrument's
/// fiducials as a component of the element (all fiducials when the device gives them no instrument keys).
/// Samples in which the instrument is not tracked are skipped unless setRecordUntracked(true).
///
/// Threads as for StreamRecorder: recording on the stream's thread under the recorder's mutex; the setters,
/// start, stop and takeOutput from the user-interface thread (setters take effect with the next sample).
class KELVAROS_API TrackingStreamRecorder : public StreamRecorder
{
public:
    /// A recorder on `stream` (not owned, not null; must outlive the recorder).
    explicit TrackingStreamRecorder(TrackingStream* stream);
    ~TrackingStreamRecorder() override;

    [[nodiscard]] TrackingStream* trackingStream() const { return m_trackingStream; }

    /// True: record every instrument; false: only the one set with setRecordingInstrument.
    void setRecordAllInstruments(bool all);
    [[nodiscard]] bool recordAllInstruments() const;
    /// The instrument (TrackerID::ID) recorded when not recording all.
    void setRecordingInstrument(const std::string& instrumentId);
    [[nodiscard]] std::string recordingInstrument() const;
    /// Whether samples where the instrument is not tracked are recorded too (default false).
    void setRecordUntracked(bool record);

    /// One TrackingSequence per recorded instrument, in the order the instruments first appeared; empty when
    /// nothing was recorded.
    [[nodiscard]] OwningDataList takeOutput() override;

protected:
    bool recordSample(const StreamData& data) override;
    void discardRecording() override;

private:
    TrackingStream* m_trackingStream;
    // Guarded by mutex().
    bool m_recordAll = true;
    bool m_recordUntracked = false;
    std::string m_instrumentId;
    std::vector<std::unique_ptr<TrackingSequence>> m_sequences;
};

} // namespace Kelvaros
