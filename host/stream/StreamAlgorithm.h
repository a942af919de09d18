#pragma once

#include "core/Export.h"
#include "lib/Algorithm.h"
#include "stream/StreamAlgorithmBase.h"

namespace Kelvaros
{

/// An algorithm that creates a stream: compute() builds (and usually opens and starts) it, and takeOutput()
/// hands it to the host through StreamAlgorithmBase::takeOutput.
class KELVAROS_API StreamAlgorithm
  : public StreamAlgorithmBase
  , public Algorithm
{
public:
    StreamAlgorithm();
    ~StreamAlgorithm() override;

    /// The created stream, handed over as StreamAlgorithmBase::takeOutput does.
    OwningDataList takeOutput() override;
    /// Forgets the created stream (releaseStream) when that is what the host deletes.
    void aboutToDeleteData(const Data* data) override;
};

} // namespace Kelvaros
