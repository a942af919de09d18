#include "registration/StreamAndVolume.h"

#include "lib/DataList.h"
#include "lib/SharedImageSet.h"
#include "stream/TrackingStream.h"

namespace Kelvaros
{

std::pair<TrackingStream*, SharedImageSet*> streamAndVolume(const DataList& data)
{
    const auto streams = data.getAll<TrackingStream>();
    const auto volumes = data.getImages(Data::Kind::Volume, Data::Modality::NA);
    if (streams.size() != 1 || volumes.size() != 1)
        return { nullptr, nullptr };
    return { streams.front(), volumes.front() };
}

} // namespace Kelvaros
