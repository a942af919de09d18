#pragma once

#include <memory>
#include <string>

#include "core/Export.h"
#include "lib/OwningDataList.h"

namespace Kelvaros
{

class Stream;

/// Interface of algorithms that create a stream. The algorithm owns the stream it built until the host takes it
/// with takeOutput(); from then on the host owns it, while the algorithm keeps a non-owning pointer so that its
/// configure()/configuration() and the stream's panel still reach the stream. When the host deletes a stream it
/// took, it calls releaseStream() first (the application controller does so through
/// Algorithm::aboutToDeleteData), so that the algorithm forgets it.
class KELVAROS_API StreamAlgorithmBase
{
public:
    virtual ~StreamAlgorithmBase();

    /// The stream the algorithm created (owned, or already handed over), or null before it did and after
    /// releaseStream(). User-interface thread.
    [[nodiscard]] virtual Stream* stream() const = 0;
    /// The group under which the host lists the created stream in its data list; empty: top level.
    [[nodiscard]] virtual std::string dataGroup() const;
    /// Hands the created stream over to the caller: a list with the stream the first time after it was created,
    /// an empty list afterwards. stream() still returns it. User-interface thread.
    virtual OwningDataList takeOutput();
    /// The host's request to forget the stream: afterwards stream() is null. A stream already handed over is not
    /// deleted (it is the host's); one never taken is closed and freed, since nobody else owns it.
    /// User-interface thread.
    virtual void releaseStream() = 0;

protected:
    /// Gives up ownership of the created stream in one step: the owning pointer the first time after the stream
    /// was created, null afterwards (and when there is none). The algorithm keeps only a non-owning pointer.
    [[nodiscard]] virtual std::unique_ptr<Stream> handOverStream() = 0;
};

} // namespace Kelvaros
