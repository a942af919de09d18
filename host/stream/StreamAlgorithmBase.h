#pragma once

#include <string>

#include "core/Export.h"
#include "lib/OwningDataList.h"

namespace Kelvaros
{

class Stream;

/// Interface of algorithms that create a stream. The algorithm keeps the stream it built until the host takes
/// it with takeOutput(); from then on the host owns it and the algorithm forgets it (releaseStream).
class KELVAROS_API StreamAlgorithmBase
{
public:
    virtual ~StreamAlgorithmBase();

    /// The stream the algorithm created, or null before it did (or after it was taken).
    [[nodiscard]] virtual Stream* stream() const = 0;
    /// The group under which the host lists the created stream in its data list; empty: top level.
    [[nodiscard]] virtual std::string dataGroup() const;
    /// Hands the created stream over to the caller (an empty list when there is none) and then calls
    /// releaseStream(), so the algorithm no longer owns or uses it. User-interface thread.
    virtual OwningDataList takeOutput();

protected:
    /// Makes the algorithm forget its stream WITHOUT deleting it: the stream now belongs to whoever called
    /// takeOutput(). Afterwards stream() returns null.
    virtual void releaseStream() = 0;
};

} // namespace Kelvaros
