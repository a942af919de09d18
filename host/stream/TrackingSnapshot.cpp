#include "stream/TrackingSnapshot.h"

#include <algorithm>

namespace Kelvaros
{

bool TrackingSnapshot::showsSameAs(const TrackingSnapshot& other) const
{
    const auto same = [](const Instrument& a, const Instrument& b)
    { return a.id == b.id && a.seen == b.seen && a.everSeen == b.everSeen && a.toolToTracker == b.toolToTracker; };
    return trailVersion == other.trailVersion && instruments.size() == other.instruments.size() &&
           std::equal(instruments.begin(), instruments.end(), other.instruments.begin(), same);
}

} // namespace Kelvaros
