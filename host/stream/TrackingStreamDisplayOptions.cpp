#include "stream/TrackingStreamDisplayOptions.h"

#include <algorithm>
#include <typeinfo>

#include "stream/TrackingStream.h"

namespace Kelvaros
{

TrackingStreamDisplayOptions::TrackingStreamDisplayOptions(const TrackingStreamDisplayOptions& other)
  : DataComponent(other),
    m_instrumentDisplay(other.instrumentDisplay()),
    m_pathDisplay(other.pathDisplay()),
    m_axisLength(other.axisLength())
{
}

TrackingStreamDisplayOptions::~TrackingStreamDisplayOptions() = default;

std::unique_ptr<DataComponent> TrackingStreamDisplayOptions::cloneDerived() const
{
    return std::make_unique<TrackingStreamDisplayOptions>(*this);
}

bool TrackingStreamDisplayOptions::assign(const DataComponent& other)
{
    if (typeid(other) != typeid(TrackingStreamDisplayOptions))
        return false;
    const auto* options = static_cast<const TrackingStreamDisplayOptions*>(&other);
    // Bitwise or, not ||: every value is stored even when an earlier one already changed.
    const bool changed = store(m_instrumentDisplay, options->instrumentDisplay()) |
                         store(m_pathDisplay, options->pathDisplay()) | store(m_axisLength, options->axisLength());
    if (changed)
        signalChanged.emitSignal();
    return true;
}

void TrackingStreamDisplayOptions::setInstrumentDisplay(int display)
{
    if (store(m_instrumentDisplay, std::clamp(display, int(NoInstruments), int(AxesAndNames))))
        signalChanged.emitSignal();
}

void TrackingStreamDisplayOptions::setPathDisplay(int display)
{
    if (store(m_pathDisplay, std::clamp(display, int(NoPath), int(Recording))))
        signalChanged.emitSignal();
}

void TrackingStreamDisplayOptions::setAxisLength(double millimetres)
{
    if (store(m_axisLength, std::max(millimetres, 0.0)))
        signalChanged.emitSignal();
}

TrackingStreamDisplayOptions& TrackingStreamDisplayOptions::of(TrackingStream& stream)
{
    return stream.components().getOrAdd<TrackingStreamDisplayOptions>();
}

} // namespace Kelvaros
