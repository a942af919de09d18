#include "registration/PointsOnTrackingStreamRegistry.h"

#include <mutex>

#include "lib/points/PointCorrespondencesAlgorithm.h"
#include "lib/points/PointsStorageComponent.h"
#include "stream/TrackingStream.h"

#include "registration/PointsOnTrackingStream.h"

namespace Kelvaros
{

namespace
{
bool isTrackingStream(const Data& data)
{
    return dynamic_cast<const TrackingStream*>(&data) != nullptr;
}

std::shared_ptr<PointsOnData> pointsOnStream(Data& data, const std::string& name)
{
    return pointsOnTrackingStream(data, name);
}

// Every live NavigationAlgorithmFactory holds one registration; the entries go when the last one does, before
// the module that holds these functions can be unloaded.
std::mutex g_mutex;
int g_registrations = 0;
} // namespace

void registerTrackingStreamPoints()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_registrations++ > 0)
        return;
    PointCorrespondencesAlgorithm::getCompatibilityChecks().emplace_back(&isTrackingStream);
    PointCorrespondencesAlgorithm::addPointsOnDataFactory(&pointsOnStream, 2);
}

void unregisterTrackingStreamPoints()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_registrations == 0 || --g_registrations > 0)
        return;
    PointCorrespondencesAlgorithm::removeCompatibilityCheck(&isTrackingStream);
    PointCorrespondencesAlgorithm::removePointsOnDataFactory(&pointsOnStream);
}

std::shared_ptr<PointsOnTrackingStream> pointsOnTrackingStream(Data& data, const std::string& name)
{
    auto* stream = dynamic_cast<TrackingStream*>(&data);
    if (!stream)
        return nullptr;
    auto& storage = stream->components().getOrAdd<PointsStorageComponent>();
    return storage.getOrCreate<PointsOnTrackingStream>(name, [stream]
                                                       { return std::make_shared<PointsOnTrackingStream>(*stream); });
}

} // namespace Kelvaros
