#include "stream/TrackingStreamData.h"

#include <utility>

#include "stream/TrackingStream.h"

namespace Kelvaros
{

TrackingStreamData::TrackingStreamData(TrackingStream* stream, std::vector<TrackingInstrument> instruments)
  : StreamData(stream), m_trackingStream(stream), m_instruments(std::move(instruments))
{
}

TrackingStreamData::TrackingStreamData(const TrackingStreamData& other) = default;
TrackingStreamData& TrackingStreamData::operator=(const TrackingStreamData& other) = default;
TrackingStreamData::~TrackingStreamData() = default;

std::optional<TrackingInstrument> TrackingStreamData::instrument(const std::string& id) const
{
    for (auto it = m_instruments.rbegin(); it != m_instruments.rend(); ++it)
        if (it->id.ID() == id)
            return *it;
    return std::nullopt;
}

std::unique_ptr<StreamData> TrackingStreamData::clone() const
{
    return std::make_unique<TrackingStreamData>(*this);
}

} // namespace Kelvaros
