#include "stream/StreamAlgorithm.h"

#include "stream/Stream.h"

namespace Kelvaros
{

StreamAlgorithm::StreamAlgorithm() = default;
StreamAlgorithm::~StreamAlgorithm() = default;

OwningDataList StreamAlgorithm::takeOutput()
{
    return StreamAlgorithmBase::takeOutput();
}

void StreamAlgorithm::aboutToDeleteData(const Data* data)
{
    if (data && data == static_cast<const Data*>(stream()))
        releaseStream();
}

} // namespace Kelvaros
