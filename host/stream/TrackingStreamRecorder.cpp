#include "stream/TrackingStreamRecorder.h"

#include <algorithm>
#include <utility>

#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingInstrumentFiducialsData.h"
#include "stream/TrackingSequence.h"
#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"

namespace Kelvaros
{

TrackingStreamRecorder::TrackingStreamRecorder(TrackingStream* stream)
  : StreamRecorder(stream), m_trackingStream(stream)
{
}

TrackingStreamRecorder::~TrackingStreamRecorder()
{
    // recordSample uses this class's members: no call may be running or start once they begin to go away.
    detachFromStream();
}

void TrackingStreamRecorder::setRecordAllInstruments(bool all)
{
    std::lock_guard<std::mutex> lock(mutex());
    m_recordAll = all;
}

bool TrackingStreamRecorder::recordAllInstruments() const
{
    std::lock_guard<std::mutex> lock(mutex());
    return m_recordAll;
}

void TrackingStreamRecorder::setRecordingInstrument(const std::string& instrumentId)
{
    std::lock_guard<std::mutex> lock(mutex());
    m_instrumentId = instrumentId;
}

std::string TrackingStreamRecorder::recordingInstrument() const
{
    std::lock_guard<std::mutex> lock(mutex());
    return m_instrumentId;
}

void TrackingStreamRecorder::setRecordUntracked(bool record)
{
    std::lock_guard<std::mutex> lock(mutex());
    m_recordUntracked = record;
}

OwningDataList TrackingStreamRecorder::takeOutput()
{
    std::vector<std::unique_ptr<TrackingSequence>> sequences;
    {
        std::lock_guard<std::mutex> lock(mutex());
        sequences.swap(m_sequences);
    }
    OwningDataList output;
    for (auto& sequence : sequences)
        output.add(std::move(sequence));
    return output;
}

bool TrackingStreamRecorder::recordSample(const StreamData& data)
{
    const auto* sample = dynamic_cast<const TrackingStreamData*>(&data);
    if (!sample)
        return false;
    const auto* fiducials = sample->components().get<TrackingInstrumentFiducialsData>();

    bool recorded = false;
    for (const TrackingInstrument& instrument : sample->instrumentList())
    {
        if (!m_recordAll && instrument.id.ID() != m_instrumentId)
            continue;
        if (!instrument.tracked && !m_recordUntracked)
            continue;

        auto found = std::find_if(m_sequences.begin(), m_sequences.end(),
                                  [&](const auto& s) { return s->trackerID().ID() == instrument.id.ID(); });
        TrackingSequence* sequence = nullptr;
        if (found != m_sequences.end())
        {
            sequence = found->get();
        }
        else
        {
            const std::string& name = instrument.id.name().empty() ? instrument.id.ID() : instrument.id.name();
            auto created = std::make_unique<TrackingSequence>(name);
            created->setTrackerID(instrument.id);
            if (m_trackingStream)
            {
                created->setRegistration(m_trackingStream->matrix());
                if (auto* calibrations = m_trackingStream->components().get<InstrumentCalibrationDataComponent>())
                    if (auto calibration = calibrations->calibration(instrument.id.ID()))
                        created->setCalibration(calibration->matrix);
            }
            sequence = created.get();
            m_sequences.push_back(std::move(created));
        }

        const int64_t timestamp = instrument.timestamp != 0 ? instrument.timestamp : sample->timestampDevice();
        const int index = sequence->add(instrument.matrix, timestamp, instrument.quality, instrument.tracked);
        if (fiducials && !fiducials->empty())
        {
            if (!fiducials->hasInstrumentKeys())
            {
                sequence->elementwiseComponents().element(index).add(fiducials->cloneDerived());
            }
            else
            {
                auto own = std::make_unique<TrackingInstrumentFiducialsData>(
                  fiducials->forInstrument(TrackingInstrumentFiducialsData::instrumentKey(instrument.id.ID())));
                if (!own->empty())
                    sequence->elementwiseComponents().element(index).add(std::move(own));
            }
        }
        recorded = true;
    }
    return recorded;
}

void TrackingStreamRecorder::discardRecording()
{
    m_sequences.clear();
}

} // namespace Kelvaros
