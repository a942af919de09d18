#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Export.h"
#include "stream/StreamData.h"
#include "stream/TrackingInstrument.h"

namespace Kelvaros
{

class TrackingStream;

/// One sample of a tracking stream: the instruments measured at one instant, with the sample's data components
/// (for example TrackingInstrumentFiducialsData). Immutable once published, like every StreamData.
class KELVAROS_API TrackingStreamData : public StreamData
{
public:
    /// A sample of `stream` (not owned; may be null) holding these instruments, timestamps not set.
    TrackingStreamData(TrackingStream* stream, std::vector<TrackingInstrument> instruments);
    TrackingStreamData(const TrackingStreamData& other);
    TrackingStreamData& operator=(const TrackingStreamData& other);
    ~TrackingStreamData() override;

    /// A copy of the instruments, in the order the stream delivered them.
    [[nodiscard]] std::vector<TrackingInstrument> instruments() const { return m_instruments; }
    /// The instruments without copying them (valid as long as the sample).
    [[nodiscard]] const std::vector<TrackingInstrument>& instrumentList() const { return m_instruments; }
    [[nodiscard]] size_t numInstruments() const { return m_instruments.size(); }
    /// The instrument whose TrackerID::ID equals `id` (the last one if a faulty device sent it twice), or an
    /// empty optional when the sample does not contain it.
    [[nodiscard]] std::optional<TrackingInstrument> instrument(const std::string& id) const;
    /// Replaces the instruments; only before the sample is published.
    void setInstruments(std::vector<TrackingInstrument> instruments) { m_instruments = std::move(instruments); }

    /// The stream that produced the sample (not owned; may be null).
    [[nodiscard]] TrackingStream* trackingStream() const { return m_trackingStream; }

    /// A deep copy (a TrackingStreamData), components included.
    [[nodiscard]] std::unique_ptr<StreamData> clone() const override;

private:
    TrackingStream* m_trackingStream = nullptr;
    std::vector<TrackingInstrument> m_instruments;
};

} // namespace Kelvaros
