#include "stream/StreamAlgorithmBase.h"

#include <memory>

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
    Stream* created = stream();
    if (!created)
        return output;
    // Ownership moves into the list first and the algorithm lets go right after; between the two nothing can
    // fail, so the stream is never owned twice nor leaked.
    output.add(std::unique_ptr<Data>(created));
    releaseStream();
    return output;
}

} // namespace Kelvaros
