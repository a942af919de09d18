#include "stream/StreamAlgorithm.h"

namespace Kelvaros
{

StreamAlgorithm::StreamAlgorithm() = default;
StreamAlgorithm::~StreamAlgorithm() = default;

OwningDataList StreamAlgorithm::takeOutput()
{
    return StreamAlgorithmBase::takeOutput();
}

} // namespace Kelvaros
