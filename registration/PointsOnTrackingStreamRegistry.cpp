#include "registration/PointsOnTrackingStreamRegistry.h"

#include <mutex>

#include "lib/points/PointCorrespondencesAlgorithm.h"
#include "lib/points/PointsStorageComponent.h"
#include "stream/TrackingStream.h"

#include "registration/PointsOnTrackingStream.h"

namespace Kelvaros
{

void registerTrackingStreamPoints()
{
    static std::once_flag once;
    std::call_once(once,
                   []
                   {
                       PointCorrespondencesAlgorithm::getCompatibilityChecks().push_back(
                         [](const Data& data) { return dynamic_cast<const TrackingStream*>(&data) != nullptr; });
                       PointCorrespondencesAlgorithm::addPointsOnDataFactory(
                         [](Data& data, const std::string& name) -> std::shared_ptr<PointsOnData>
                         { return pointsOnTrackingStream(data, name); },
                         2);
                   });
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
