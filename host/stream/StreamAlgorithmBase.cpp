#include "stream/StreamAlgorithmBase.h"

#include "stream/Stream.h"

namespace Kelvaros
{

StreamAlgorithmBase::~StreamAlgorithmBase() = default;

std::string StreamAlgorithmBase::dataGroup() const
{
    return std::string();
}

OwningDataList StreamAlgorithmBase::takeOutput()
{
    OwningDataList output;
    output.add(handOverStream());
    return output;
}

} // namespace Kelvaros
